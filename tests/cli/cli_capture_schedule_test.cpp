// pelkan-cli capture --schedule end to end: the program itself, the virtual tuner's broadcast clock
// set a little before a reservation of schedule.ini and delivered four times faster than real time.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cli/cli_commands.h"
#include "schedule/schedule_file.h"
#include "streamgen/broadcast_generator.h"
#include "tests/support/cli_process.h"
#include "tests/support/mock_logind.h"

namespace pelkan::cli {
namespace {

const std::string kCli = std::string(PELKAN_BINARY_DIR) + "/src/cli/pelkan-cli";

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

uint16_t PidAt(const std::string& file, size_t off) {
  return static_cast<uint16_t>((file[off + 1] & 0x1F) << 8 | static_cast<uint8_t>(file[off + 2]));
}

class CliCaptureSchedule : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelkan-cli-sched-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Starts pelkan-cli in the temporary folder with stdout and stderr in out.txt and err.txt.
  pid_t Start(std::vector<std::string> args) { return testing::StartCliInFolder(dir_, std::move(args)); }

  // A date-time reservation of the broadcast day the virtual tuner starts on, into `directory`.
  static ScheduleItem At2059(uint32_t second, uint32_t duration, const std::string& directory) {
    ScheduleItem item{};
    item.flags = SI_BY_TIME;
    item.start_day = MjdFromDate(2026, 12, 7);
    item.start_second = 20 * 3600 + 59 * 60 + second;
    item.duration = duration;
    SetText(item.directory, directory);
    return item;
  }

  std::string Err() { return ReadText(dir_ + "/err.txt"); }

  std::string dir_;
};

TEST_F(CliCaptureSchedule, RecordsTheReservationAsItComesDue) {
  // The virtual tuner plays the default synthetic broadcast; its second service is reserved.
  streamgen::GeneratorOptions options;
  const streamgen::BroadcastGenerator probe(options);
  const streamgen::ServiceInfo service = probe.Multiplex(0).services.at(1);
  std::set<uint16_t> own_pids{service.pmt_pid, service.pcr_pid};
  for (const auto& c : service.components) own_pids.insert(c.pid);
  std::set<uint16_t> other_pids;
  for (const auto& s : probe.Multiplex(0).services) {
    for (const auto& c : s.components) {
      if (s.service_id != service.service_id && !own_pids.count(c.pid)) other_pids.insert(c.pid);
    }
  }
  ASSERT_FALSE(other_pids.empty());

  // The broadcast begins at 2026-12-07 20:59:00; the reservation is 20:59:12 for 10 seconds.
  ScheduleItem item = At2059(12, 10, dir_);
  item.flags |= SI_SERVICE_LIMIT;
  SetText(item.service_id_text, std::to_string(service.service_id));
  ASSERT_TRUE(SaveScheduleFile(dir_ + "/schedule.ini", {item}));

  // At four times real time the reservation is over after about 6 s; the time limit only bounds a
  // run on a very slow machine. Once the reservation is reported finished the capture is ended
  // with Ctrl-C, which must leave the same state as the time limit.
  const pid_t child = Start({"capture", "--schedule", "--seconds", "90", "--virtual-start",
                             "2026-12-07 20:59:00", "--virtual-speed", "4", "--json"});
  ASSERT_GT(child, 0);
  const std::optional<int> ended = testing::WaitInterruptingWhen(child, std::chrono::seconds(120), [this] {
    const std::string err = Err();
    return err.find("finished") != std::string::npos || err.find("failed") != std::string::npos;
  });
  if (!ended) FAIL() << "pelkan-cli did not end: " << Err();
  const int status = *ended;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << Err();
  const std::string err = Err();
  SCOPED_TRACE(err);
  const std::string path = dir_ + "/20261207-2059.ts";
  EXPECT_NE(err.find("scheduled recording to " + path), std::string::npos) << err;
  EXPECT_NE(err.find("reservation 2026年12月07日"), std::string::npos) << err;
  EXPECT_NE(err.find("finished"), std::string::npos) << err;

  // The reservation has left the file: it is finished.
  ASSERT_TRUE(std::filesystem::exists(dir_ + "/schedule.ini"));
  EXPECT_TRUE(LoadScheduleFile(dir_ + "/schedule.ini").empty()) << ReadText(dir_ + "/schedule.ini");

  // About 16 s of one service (opened 5 s early, closed 1 s late) at a few Mbit/s.
  const std::string file = ReadText(path);
  ASSERT_GT(file.size(), 1000u * 188);
  ASSERT_EQ(file.size() % 188, 0u);
  std::set<uint16_t> seen;
  for (size_t off = 0; off < file.size(); off += 188) {
    ASSERT_EQ(file[off], 0x47) << off;
    seen.insert(PidAt(file, off));
  }
  for (uint16_t pid : other_pids) EXPECT_FALSE(seen.count(pid)) << "PID " << pid << " of another service";
  for (const auto& c : service.components) EXPECT_TRUE(seen.count(c.pid)) << "PID " << c.pid;
  EXPECT_TRUE(seen.count(0));
}

// A reservation added with `pelkan-cli schedule add` while `capture --schedule` runs used to be
// listed, never recorded, and gone at exit (the capture wrote the list it had loaded at start).
TEST_F(CliCaptureSchedule, ReservationsAddedByAnotherProcessAreRecordedAndKept) {
  const ScheduleItem first = At2059(10, 10, dir_);
  ASSERT_TRUE(SaveScheduleFile(dir_ + "/schedule.ini", {first}));

  const pid_t child = Start({"capture", "--schedule", "--seconds", "120", "--virtual-start",
                             "2026-12-07 20:59:00", "--virtual-speed", "8", "--json"});
  ASSERT_GT(child, 0);
  auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
  };
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(150);
  int status = 0;
  pid_t done = 0;
  bool added = false, signalled = false;
  while (done == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    done = waitpid(child, &status, WNOHANG);
    const std::string err = Err();
    if (!added && err.find("scheduled recording to") != std::string::npos) {
      // The second process, while the first reservation is being recorded.
      const std::string cd = "cd " + dir_ + " && " + kCli + " schedule add ";
      ASSERT_EQ(std::system((cd + "--start '2026-12-07 20:59:40' --minutes 1 > add1.txt 2>&1").c_str()), 0)
          << ReadText(dir_ + "/add1.txt");
      ASSERT_EQ(std::system((cd + "--start '2027-01-01 10:00' --minutes 1 > add2.txt 2>&1").c_str()), 0)
          << ReadText(dir_ + "/add2.txt");
      added = true;
    }
    if (added && !signalled && count(err, "finished") + count(err, "failed") >= 2) {
      kill(child, SIGINT);
      signalled = true;
    }
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "pelkan-cli did not end: " << Err();
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << Err();
  const std::string err = Err();
  EXPECT_EQ(count(err, "finished"), 2u) << err;
  EXPECT_NE(err.find("scheduled recording to " + dir_ + "/20261207-2059.ts"), std::string::npos) << err;
  // Both reservations start in the same minute: the second file has a name of its own.
  EXPECT_NE(err.find("scheduled recording to " + dir_ + "/20261207-2059-1.ts"), std::string::npos) << err;
  EXPECT_GT(std::filesystem::file_size(dir_ + "/20261207-2059.ts"), 1000u * 188);
  EXPECT_GT(std::filesystem::file_size(dir_ + "/20261207-2059-1.ts"), 1000u * 188);
  // What each side wrote is in the file: both recorded reservations are gone, the later one stays.
  const auto items = LoadScheduleFile(dir_ + "/schedule.ini");
  ASSERT_EQ(items.size(), 1u) << ReadText(dir_ + "/schedule.ini");
  EXPECT_EQ(items[0].start_day, MjdFromDate(2027, 1, 1));
}

// Two reservations on two services of the stream being received overlap: both are recorded at
// once, each whole into its own file whose PAT lists only its service, and each checks clean.
TEST_F(CliCaptureSchedule, OverlappingReservationsOfOneStreamRecordAtOnce) {
  streamgen::GeneratorOptions options;
  const streamgen::BroadcastGenerator probe(options);
  const auto& services = probe.Multiplex(0).services;
  ASSERT_GE(services.size(), 3u);
  const uint16_t first = services.at(0).service_id, second = services.at(2).service_id;
  ScheduleItem a = At2059(10, 20, dir_);
  ScheduleItem b = At2059(20, 20, dir_);
  for (auto [item, service] : {std::pair<ScheduleItem*, uint16_t>{&a, first}, {&b, second}}) {
    item->flags |= SI_SERVICE_LIMIT | SI_FILE_NAME;
    SetText(item->service_id_text, std::to_string(service));
    SetText(item->file_name, "svc" + std::to_string(service));
    SetText(item->extension, ".ts");
  }
  ASSERT_TRUE(SaveScheduleFile(dir_ + "/schedule.ini", {a, b}));
  // On a failure the capture's status lines (its clock, counters and schedule state each second)
  // and its messages tell what the scheduler saw.
  struct StatusOnFailure {
    std::string dir;
    ~StatusOnFailure() {
      if (!::testing::Test::HasFailure()) return;
      std::fprintf(stderr, "capture's status lines:\n%s\ncapture's messages:\n%s\n",
                   ReadText(dir + "/out.txt").c_str(), ReadText(dir + "/err.txt").c_str());
    }
  } status_on_failure{dir_};
  const pid_t child = Start({"capture", "--schedule", "--seconds", "120", "--virtual-start",
                             "2026-12-07 20:59:00", "--virtual-speed", "4", "--json"});
  ASSERT_GT(child, 0);
  const std::optional<int> ended = testing::WaitInterruptingWhen(child, std::chrono::seconds(150), [this] {
    const std::string err = Err();
    const size_t finished = err.find("finished");
    return finished != std::string::npos && err.find("finished", finished + 1) != std::string::npos;
  });
  ASSERT_TRUE(ended) << "pelkan-cli did not end: " << Err();
  ASSERT_TRUE(WIFEXITED(*ended));
  EXPECT_EQ(WEXITSTATUS(*ended), 0) << Err();
  for (const uint16_t service : {first, second}) {
    SCOPED_TRACE(service);
    const std::string path = dir_ + "/svc" + std::to_string(service) + ".ts";
    const std::string file = ReadText(path);
    ASSERT_GT(file.size(), 1000u * 188) << Err();
    // Every PAT in the file lists exactly its own programme.
    size_t pats = 0;
    for (size_t off = 0; off + 188 <= file.size(); off += 188) {
      if (PidAt(file, off) != 0 || !(file[off + 1] & 0x40)) continue;
      const auto* p = reinterpret_cast<const uint8_t*>(file.data()) + off;
      const size_t section = 5 + p[4];
      const uint16_t length = static_cast<uint16_t>((p[section + 1] & 0x0F) << 8 | p[section + 2]);
      ASSERT_GE(length, 13u);
      bool own = false;
      for (size_t e = section + 8; e + 4 <= section + 3 + length - 4; e += 4) {
        const uint16_t number = static_cast<uint16_t>(p[e] << 8 | p[e + 1]);
        EXPECT_TRUE(number == 0 || number == service) << number;
        own = own || number == service;
      }
      EXPECT_TRUE(own);
      ++pats;
    }
    EXPECT_GT(pats, 0u);
    const testing::CliRun check = testing::RunCli("check " + path);
    EXPECT_EQ(check.exit_code, 0) << check.out;
  }
}

// The broadcast clock of a report's line `key` ("start" or "end"): "... (broadcast 2026-12-07 21:07:00)",
// as seconds of the day; -1 when there is none.
int BroadcastSecondOf(const std::string& report, const std::string& key) {
  const size_t line = report.find("\n" + key + " ");
  if (line == std::string::npos) return -1;
  const size_t at = report.find("(broadcast ", line);
  if (at == std::string::npos || at > report.find('\n', line + 1)) return -1;
  int h = 0, m = 0, sec = 0;
  if (std::sscanf(report.c_str() + at + 11 + 11, "%d:%d:%d", &h, &m, &sec) != 3) return -1;
  return h * 3600 + m * 60 + sec;
}

// An event reservation records its programme whole however the broadcast moves it: one 7 minutes
// late and 12 minutes over, and one whose length the tables never tell (it ends when the next
// programme goes on air). The broadcast runs 16 times faster than real time, so the heartbeat sees
// it every 16 s: margins of 30 s.
class CliFollow : public CliCaptureSchedule {
 protected:
  // The event id of the programme of 1032 (15-minute slots) scheduled at 21:00.
  static uint16_t AtNine() {
    return static_cast<uint16_t>((uint64_t{MjdFromDate(2026, 12, 7)} * 86400 + 21 * 3600) / 900 % 0xFFFE + 1);
  }
  // Records programme 1032:AtNine() from a capture started at `start` with the changes `extra`; the
  // report of its recording, after checking that the file is clean.
  std::string Record(const std::string& start, std::vector<std::string> extra) {
    ScheduleItem item{};
    item.flags = SI_BY_EVENT | SI_SERVICE_LIMIT | SI_FILE_NAME;
    item.service_id = 1032;
    item.event_id = AtNine();
    item.margin_before = 30;
    item.margin_after = 30;
    SetText(item.directory, dir_);
    SetText(item.file_name, "followed");
    SetText(item.extension, ".ts");
    SetText(item.service_id_text, "1032");
    EXPECT_TRUE(SaveScheduleFile(dir_ + "/schedule.ini", {item}));
    std::vector<std::string> args = {"capture",         "--schedule",     "--seconds", "280", "--virtual-start",
                                     start,             "--virtual-speed", "16",       "--virtual-rate", "3.2M"};
    args.insert(args.end(), extra.begin(), extra.end());
    const pid_t child = Start(args);
    EXPECT_GT(child, 0);
    const std::optional<int> ended = testing::WaitInterruptingWhen(
        child, std::chrono::seconds(290), [this] { return Err().find("reservation ") != std::string::npos; });
    EXPECT_TRUE(ended && WIFEXITED(*ended) && WEXITSTATUS(*ended) == 0) << Err();
    EXPECT_NE(Err().find("finished"), std::string::npos) << Err();
    const testing::CliRun check = testing::RunCli("check " + dir_ + "/followed.ts");
    EXPECT_EQ(check.exit_code, 0) << check.out;
    return ReadText(dir_ + "/followed.ts.err");
  }
  // The report says it ended complete, from before `on_air` to past `off_air` (seconds of the day)
  // by no more than the margin and two heartbeats.
  static void ExpectWhole(const std::string& report, int earliest, int on_air, int off_air) {
    EXPECT_NE(report.find("result              complete\n"), std::string::npos) << report;
    const int first = BroadcastSecondOf(report, "start"), last = BroadcastSecondOf(report, "end");
    EXPECT_GE(first, earliest) << report;
    EXPECT_LE(first, on_air) << report;
    EXPECT_GE(last, off_air) << report;
    EXPECT_LE(last, off_air + 30 + 2 * 16 + 5) << report;
  }
};

TEST_F(CliFollow, ProgrammeSevenMinutesLateAndTwelveOverIsRecordedWhole) {
  // The capture starts after the late start was told (21:00): the tables say 21:07 from the first.
  const std::string id = "1032:" + std::to_string(AtNine());
  const std::string report =
      Record("2026-12-07 21:05:00", {"--virtual-late", id + ":420", "--virtual-extend", id + ":720"});
  ExpectWhole(report, 21 * 3600 + 5 * 60, 21 * 3600 + 7 * 60, 21 * 3600 + 27 * 60);
  EXPECT_NE(report.find("programme start     2026-12-07 21:07:00 (offset "), std::string::npos) << report;
  EXPECT_NE(report.find("end moved from 21:15:00 to 21:27:00 by the tables"), std::string::npos) << report;
  EXPECT_NE(report.find("off the air at 21:27:"), std::string::npos) << report;
}

TEST_F(CliFollow, ProgrammeOfUntoldLengthEndsWhenTheNextGoesOnAir) {
  const std::string report =
      Record("2026-12-07 20:59:00", {"--virtual-undetermined", "1032:" + std::to_string(AtNine())});
  ExpectWhole(report, 21 * 3600 - 30 - 16, 21 * 3600, 21 * 3600 + 15 * 60);
  EXPECT_NE(report.find("programme end       2026-12-07 21:15:"), std::string::npos) << report;
  EXPECT_NE(report.find("off the air at 21:15:"), std::string::npos) << report;
}

// Waits up to `seconds` for the child to end; its exit code, or -1 (after killing it) when it did
// not end or ended by a signal.
int ExitCode(pid_t child, int seconds) {
  int status = 0;
  for (int i = 0; i < seconds * 20; ++i) {
    if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return -1;
}

// A reservation whose file cannot be created (its folder was removed) used to end as "failed" with
// no reason given, and the capture exited 0. A run that ends by its time limit exits 1 for it; the
// recorder service stopped by a signal (systemctl stop, Ctrl-C, a closing terminal) exits 0, the
// failure having been told when it happened (it used to exit 1, so the stopped unit showed as failed).
TEST_F(CliCaptureSchedule, ReservationWhoseFileCannotBeCreatedSaysWhyAndFails) {
  struct Case {
    int signal;  // 0: the run ends by --seconds
    int exit_code;
  };
  for (const Case& c : {Case{0, 1}, Case{SIGTERM, 0}, Case{SIGINT, 0}, Case{SIGHUP, 0}}) {
    SCOPED_TRACE(c.signal);
    ASSERT_TRUE(SaveScheduleFile(dir_ + "/schedule.ini", {At2059(10, 10, dir_ + "/removed")}));
    std::vector<std::string> args{"capture", "--schedule", "--virtual-start", "2026-12-07 20:59:00",
                                  "--virtual-speed", "8"};
    // Time enough for the reservation to come due on a loaded machine (a start before the first
    // clock can take seconds there); the run's end is what this case is about, not its length.
    if (c.signal == 0) args.insert(args.end(), {"--seconds", "8"});
    std::filesystem::remove(dir_ + "/err.txt");  // the last run's messages
    const pid_t child = Start(args);
    ASSERT_GT(child, 0);
    if (c.signal != 0) {
      for (int i = 0; i < 400 && Err().find("failed") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      kill(child, c.signal);
    }
    const int exit_code = ExitCode(child, 30);
    const std::string err = Err();
    EXPECT_EQ(exit_code, c.exit_code) << err;
    EXPECT_NE(
        err.find("scheduled recording to " + dir_ +
                 "/removed/20261207-2059.ts could not start: "
                 "録画ファイルを作成できないので予約録画を開始できませんでした。 (No such file or directory)"),
        std::string::npos)
        << err;
    EXPECT_NE(err.find("failed"), std::string::npos) << err;
  }
}

// A run that ends by --seconds exits 1 after any reservation that failed, not only after one whose
// file could not be written: one whose tuner stayed away past its end, one not recorded in its time.
TEST_F(CliCaptureSchedule, EveryFailedReservationMakesATimedRunExit1) {
  struct Case {
    const char* name;
    uint32_t second;    // the reservation's start, 20:59:SS
    uint32_t duration;  // its length, seconds
    std::vector<std::string> args;
    const char* said;  // what stderr says of it
  };
  const Case cases[] = {
      // The broadcast begins at 20:59:00, after the reservation's time.
      {"missed", 0, 0, {"--virtual-start", "2026-12-07 21:00:00"}, "not recorded in its time"},
      {"tuner lost", 1, 2, {"--virtual-start", "2026-12-07 20:59:00", "--virtual-dropout", "2:600"}, "failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScheduleItem item = At2059(c.second, c.duration == 0 ? 10 : c.duration, dir_);
    ASSERT_TRUE(SaveScheduleFile(dir_ + "/schedule.ini", {item}));
    std::filesystem::remove(dir_ + "/err.txt");
    std::vector<std::string> args{"capture", "--schedule", "--seconds", "8"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const pid_t child = Start(args);
    ASSERT_GT(child, 0);
    const int exit_code = ExitCode(child, 60);
    const std::string err = Err();
    EXPECT_NE(err.find(c.said), std::string::npos) << err;
    EXPECT_EQ(exit_code, 1) << err;
  }
}

TEST_F(CliCaptureSchedule, BadVirtualTunerOptionsExitWith2) {
  auto run = [](std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return RunCapture(static_cast<int>(argv.size()), argv.data());
  };
  EXPECT_EQ(run({"--virtual-start", "2026-02-30 10:00:00"}), 2);
  EXPECT_EQ(run({"--virtual-start", "20:59"}), 2);
  EXPECT_EQ(run({"--virtual-start"}), 2);
  EXPECT_EQ(run({"--virtual-speed", "0"}), 2);
  EXPECT_EQ(run({"--virtual-speed", "17"}), 2);
}

// Without a system bus the recording goes on as ever, after one warning.
TEST_F(CliCaptureSchedule, WithoutASystemBusTheRecordingGoesOnWithOneWarning) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", testing::UnreachableBusAddress().c_str(), 1);
  const pid_t child = Start({"capture", "--seconds", "2", "--record", "rec.ts"});
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  ASSERT_GT(child, 0);
  ASSERT_EQ(ExitCode(child, 60), 0) << Err();
  const std::string err = Err();
  const std::string warning = "pelkan-cli: the computer may go to sleep during the recording";
  const size_t at = err.find(warning);
  EXPECT_NE(at, std::string::npos) << err;
  EXPECT_EQ(err.find(warning, at + 1), std::string::npos) << err;
  EXPECT_GT(std::filesystem::file_size(dir_ + "/rec.ts"), 100000u);
}

// A system bus that hangs costs the recording nothing: the inhibitor is asked for on its own thread,
// so the whole 8 s are recorded at the tuner's rate (17 Mbit/s) and the report says complete,
// whether logind never answers or the bus socket accepts and never speaks.
TEST_F(CliCaptureSchedule, HangingSystemBusDoesNotDelayTheRecording) {
  enum class Hang { kLogindSilent, kSocketSilent };
  for (const Hang hang : {Hang::kLogindSilent, Hang::kSocketSilent}) {
    SCOPED_TRACE(hang == Hang::kLogindSilent ? "logind does not answer" : "the bus socket never speaks");
    testing::MockLogind logind;
    testing::SilentBus silent;
    if (hang == Hang::kLogindSilent) {
      ASSERT_TRUE(logind.Start()) << logind.Error();
      logind.Freeze();
    } else {
      ASSERT_TRUE(silent.Start()) << silent.Error();
    }
    std::filesystem::remove(dir_ + "/rec.ts");
    std::filesystem::remove(dir_ + "/rec.ts.err");
    const pid_t child = Start({"capture", "--seconds", "8", "--record", "rec.ts"});
    ASSERT_GT(child, 0);
    ASSERT_EQ(ExitCode(child, 60), 0) << Err();
    const double bytes = static_cast<double>(std::filesystem::file_size(dir_ + "/rec.ts"));
    const double expected = 17'000'000.0 / 8 * 8;
    // The virtual tuner drops what a starved reader (a loaded machine) misses by more than 0.2 s;
    // a start that waited for the bus (5 s or more of the 8) stays far below this bound.
    EXPECT_GT(bytes, expected * 0.75) << bytes << "\n" << Err();
    EXPECT_LT(bytes, expected * 1.1) << bytes << "\n" << Err();
    const std::string report = ReadText(dir_ + "/rec.ts.err");
    EXPECT_NE(report.find("result              complete\n"), std::string::npos) << report;
    const std::string warning = "pelkan-cli: the computer may go to sleep during the recording";
    EXPECT_EQ(Err().find(warning, Err().find(warning) + 1), std::string::npos) << Err();
  }
}

// capture --schedule keeps the computer awake from two minutes before a reservation (before its
// file opens, 5 s ahead) until it has ended, and no longer while the capture goes on.
TEST_F(CliCaptureSchedule, ReservationKeepsTheComputerAwakeFromTwoMinutesAhead) {
  testing::MockLogind logind;
  ASSERT_TRUE(logind.Start()) << logind.Error();
  ScheduleItem item{};
  item.flags = SI_BY_TIME;
  item.start_day = MjdFromDate(2026, 12, 7);
  item.start_second = 20 * 3600 + 59 * 60;
  item.duration = 10;
  SetText(item.directory, dir_);
  ASSERT_TRUE(SaveScheduleFile(dir_ + "/schedule.ini", {item}));
  // 2.5 broadcast minutes ahead, at 16 times real time: about 10 s until the start.
  const pid_t child = Start({"capture", "--schedule", "--seconds", "90", "--virtual-start",
                             "2026-12-07 20:56:30", "--virtual-speed", "16"});
  ASSERT_GT(child, 0);
  const auto list = logind.WaitFor([](const auto& l) { return !l.empty(); }, 30000);
  const std::string err_when_held = Err();
  ASSERT_EQ(list.size(), 1u) << err_when_held;
  EXPECT_EQ(list[0].why, dir_ + "/20261207-2059.ts");
  EXPECT_EQ(err_when_held.find("scheduled recording to"), std::string::npos) << err_when_held;

  bool finished = false;
  for (int i = 0; i < 1200 && !finished; ++i) {
    finished = Err().find("finished") != std::string::npos;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(finished) << Err();
  EXPECT_TRUE(logind.WaitFor([](const auto& l) { return l.empty(); }).empty());
  EXPECT_EQ(waitpid(child, nullptr, WNOHANG), 0) << "the capture goes on";
  kill(child, SIGTERM);
  EXPECT_EQ(ExitCode(child, 60), 0) << Err();
}

}  // namespace
}  // namespace pelkan::cli
