#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_commands.h"
#include "guide/guide_store.h"
#include "platform/text_codec.h"
#include "streamgen/broadcast_generator.h"
#include "tests/streamgen/stream_scan.h"
#include "tests/support/cli_process.h"
#include "tests/support/loopback_udp.h"
#include "tests/support/report_table.h"
#include "ts/tables/eit_section.h"

namespace pelkan::cli {
namespace {

const std::string kCli = std::string(PELKAN_BINARY_DIR) + "/src/cli/pelkan-cli";

int Capture(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  return RunCapture(static_cast<int>(argv.size()), argv.data());
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

constexpr uint16_t kLateService = 1032;  // programmes of 15 minutes
// The programme scheduled at 21:00 on the day the generator starts on by default, and the one before.
const uint64_t kNineIndex = (uint64_t{MjdFromDate(2026, 12, 7)} * 86400 + 21 * 3600) / 900;
const uint16_t kAtNine = static_cast<uint16_t>(kNineIndex % 0xFFFE + 1);
const uint16_t kBefore = static_cast<uint16_t>(kAtNine - 1);

class CliCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelkan-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs pelkan-cli in the temporary folder (no pelkan.ini there: every setting at its default).
  int Run(const std::string& args) {
    const std::string cmd = "cd " + dir_ + " && " + kCli + " " + args + " > out.txt 2> err.txt";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Out() { return ReadText(dir_ + "/out.txt"); }
  std::string Err() { return ReadText(dir_ + "/err.txt"); }

  // True when ffprobe is present and lists `program` in the file.
  bool ProbeHasProgram(const std::string& file, const std::string& program) {
    if (std::system("ffprobe -version > /dev/null 2>&1") != 0) return true;
    const std::string cmd = "ffprobe -v error -show_entries program=program_id -of csv=p=0 " + file + " > " +
                            dir_ + "/probe.txt 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) return false;
    return ReadText(dir_ + "/probe.txt").find(program) != std::string::npos;
  }

  static void ExpectWholePackets(const std::string& bytes) {
    ASSERT_GT(bytes.size(), 0u);
    ASSERT_EQ(bytes.size() % 188, 0u);
    for (size_t off = 0; off < bytes.size(); off += 188) ASSERT_EQ(bytes[off], 0x47) << off;
  }

  // Breaks of the continuity counter in a recording of whole 188-byte packets: a packet with
  // payload whose counter does not follow the last one of its PID (null packets aside).
  static int ContinuityBreaks(const std::string& bytes) {
    int breaks = 0;
    std::vector<int> last(0x2000, -1);
    for (size_t off = 0; off + 188 <= bytes.size(); off += 188) {
      const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + off);
      const int pid = (p[1] & 0x1F) << 8 | p[2];
      if (pid == 0x1FFF || !(p[3] & 0x10)) continue;
      const int cc = p[3] & 0x0F;
      if (last[pid] >= 0 && cc != ((last[pid] + 1) & 0x0F)) ++breaks;
      last[pid] = cc;
    }
    return breaks;
  }

  pid_t Start(std::vector<std::string> args) { return testing::StartCliInFolder(dir_, std::move(args)); }

  std::string dir_;
};

TEST_F(CliCapture, BadArgumentsExitWith2) {
  EXPECT_EQ(Capture({"--bogus"}), 2);
  EXPECT_EQ(Capture({"--seconds", "0"}), 2);
  EXPECT_EQ(Capture({"--seconds"}), 2);
  EXPECT_EQ(Capture({"--in", "0x02"}), 2);  // an OUT address
  EXPECT_EQ(Capture({"--out", "0x86"}), 2);
  EXPECT_EQ(Capture({"--send", "localhost"}), 2);
  EXPECT_EQ(Capture({"--send", "localhost:x"}), 2);
  EXPECT_EQ(Capture({"--service", "1024,,1025"}), 2);
  EXPECT_EQ(Capture({"--service", "70000"}), 2);
  EXPECT_EQ(Capture({"--init", "--out", "none"}), 2);
  EXPECT_EQ(Capture({"--status-every", "0"}), 2);
  EXPECT_EQ(Capture({"--status-every", "86401"}), 2);
  EXPECT_EQ(Capture({"--http", "70000"}), 2);
  EXPECT_EQ(Capture({"--http", ":8080"}), 2);
  EXPECT_EQ(Capture({"--http-clients", "0"}), 2);
  EXPECT_EQ(Capture({"--help"}), 0);
}

TEST_F(CliCapture, RecordsAFileThatProbeAndInspectRead) {
  ASSERT_EQ(Run("capture --seconds 2 --in 0x86 --record rec.ts"), 0) << Err();
  const std::string file = ReadText(dir_ + "/rec.ts");
  ExpectWholePackets(file);
  EXPECT_GT(file.size(), 2'000'000u);  // about 17 Mbit/s for 2 s
  EXPECT_TRUE(ProbeHasProgram(dir_ + "/rec.ts", "1024"));
  const std::string status = Out();
  EXPECT_NE(status.find("packet 188"), std::string::npos) << status;
  EXPECT_NE(status.find("録画中"), std::string::npos) << status;
  ASSERT_EQ(Run("inspect rec.ts"), 0) << Err();
  EXPECT_NE(Out().find("Packet size:       188"), std::string::npos) << Out();
  EXPECT_NE(Out().find("(1025)"), std::string::npos) << Out();
}

TEST_F(CliCapture, WithoutInTheTunersStreamEndpointIsUsed) {
  ASSERT_EQ(Run("capture --seconds 2 --record rec.ts"), 0) << Err();
  const std::string file = ReadText(dir_ + "/rec.ts");
  ExpectWholePackets(file);
  EXPECT_GT(file.size(), 1'000'000u);
  EXPECT_EQ(Err().find("no data arrived"), std::string::npos) << Err();
}

// The service prints one status line a minute into the journal; the capture and its end are as
// without the option.
TEST_F(CliCapture, StatusEveryThinsTheLines) {
  auto status_lines = [this] {
    const std::string out = Out();
    size_t n = 0;
    for (size_t pos = out.find("time "); pos != std::string::npos; pos = out.find("\ntime ", pos + 1)) ++n;
    return n;
  };
  ASSERT_EQ(Run("capture --seconds 3 --status-every 60 --record r.ts"), 0) << Err();
  EXPECT_EQ(status_lines(), 1u) << Out();  // the last one only
  EXPECT_GT(std::filesystem::file_size(dir_ + "/r.ts"), 1000000u);
  ASSERT_EQ(Run("capture --seconds 3"), 0) << Err();
  EXPECT_GE(status_lines(), 3u) << Out();
}

// While the guide cannot be written (another program holds its lock from before the capture
// began), the status lines say so; the capture itself goes on.
TEST_F(CliCapture, StatusLinesSayWhenTheGuideCannotBeWritten) {
  std::ofstream(dir_ + "/pelkan.ini") << "[Pelkan_Q_PSI]\r\nDECODE_PSI=1\r\nPROC_EPG=1\r\n";
  const std::string path = dir_ + "/epg.sqlite";
  ASSERT_TRUE(GuideStore::Open(path, GuideStore::Access::kWrite, true, nullptr, nullptr));
  sqlite3* blocker = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &blocker), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(blocker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const int code = Run("capture --seconds 7");
  sqlite3_exec(blocker, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(blocker);
  EXPECT_EQ(code, 0) << Err();
  const std::string out = Out();
  EXPECT_NE(out.find(" | 番組表を保存できません"), std::string::npos) << out;
  EXPECT_NE(Err().find("epg.sqlite に書き込めない"), std::string::npos) << Err();
}

TEST_F(CliCapture, FolderGetsAnAutomaticNameAndJsonLines) {
  std::filesystem::create_directory(dir_ + "/recs");
  ASSERT_EQ(Run("capture --seconds 1 --in 0x86 --record recs --json"), 0) << Err();
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(dir_ + "/recs")) files.push_back(e.path());
  // The recording and its report.
  ASSERT_EQ(files.size(), 2u);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files[0].filename().string().substr(0, 4), "cap-");
  EXPECT_EQ(files[0].extension(), ".ts");
  EXPECT_EQ(files[1], files[0].string() + ".err");
  const std::string out = Out();
  ASSERT_FALSE(out.empty());
  size_t lines = 0;
  for (size_t pos = 0; pos < out.size();) {
    const size_t end = out.find('\n', pos);
    const std::string line = out.substr(pos, end - pos);
    EXPECT_EQ(line.front(), '{');
    EXPECT_EQ(line.back(), '}');
    EXPECT_NE(line.find("\"recording\":"), std::string::npos);
    // Both continuity figures, each under its own name, as numbers.
    for (const char* key : {"\"continuity_errors\":", "\"dropped_packets\":"}) {
      const size_t at = line.find(key);
      ASSERT_NE(at, std::string::npos) << line;
      EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(line[at + std::strlen(key)]))) << line;
    }
    ++lines;
    pos = end == std::string::npos ? out.size() : end + 1;
  }
  EXPECT_GE(lines, 1u);
}

TEST_F(CliCapture, ServiceChoiceKeepsOnlyThatProgramme) {
  ASSERT_EQ(Run("capture --seconds 1 --in 0x86 --record one.ts --service 1032"), 0) << Err();
  const std::string file = ReadText(dir_ + "/one.ts");
  ExpectWholePackets(file);
  for (size_t off = 0; off < file.size(); off += 188) {
    const int pid = (file[off + 1] & 0x1F) << 8 | static_cast<uint8_t>(file[off + 2]);
    ASSERT_TRUE(pid < 0x111 || pid > 0x13C) << "PID " << pid << " of services 1024 or 1025";
  }
  EXPECT_TRUE(ProbeHasProgram(dir_ + "/one.ts", "1032"));
}

TEST_F(CliCapture, StartFailuresExitWith1) {
  EXPECT_EQ(Run("capture --device 7 --seconds 1"), 1);
  EXPECT_NE(Err().find("no capture device 7"), std::string::npos) << Err();
  EXPECT_EQ(Run("capture --in 0x81 --seconds 1"), 1);
  EXPECT_NE(Err().find("入力EP指定エラー"), std::string::npos) << Err();
  EXPECT_NE(Err().find("0x81"), std::string::npos) << Err();
  EXPECT_EQ(Run("capture --in 0x86 --seconds 1 --record missing/dir/x.ts"), 1);
  EXPECT_NE(Err().find("開始に失敗しました"), std::string::npos) << Err();
  EXPECT_NE(Err().find("No such file or directory"), std::string::npos) << Err();
  EXPECT_EQ(Run("capture --in 0x86 --seconds 1 --send no-such-host.invalid:1234"), 1);
  EXPECT_NE(Err().find("cannot send"), std::string::npos) << Err();
  // --init writes to the preselected OUT endpoint, the last one; LAST_EP_OUT may remember "none".
  EXPECT_EQ(Run("capture --in 0x86 --seconds 1 --init"), 0) << Err();
  std::ofstream(dir_ + "/pelkan.ini") << "[Pelkan_Q]\r\nLAST_EP_OUT=65535\r\n";
  EXPECT_EQ(Run("capture --in 0x86 --seconds 1 --init"), 1);
  EXPECT_NE(Err().find("Sorvalink"), std::string::npos) << Err();
  // The virtual tuner's interrupt IN endpoint (its remote-control receiver) never delivers anything.
  EXPECT_EQ(Run("capture --in 0x88 --seconds 1"), 1);
  EXPECT_NE(Err().find("no data arrived from endpoint 0x88"), std::string::npos) << Err();
}

// Numbers starting with 0 used to be read as octal ("--service 01032" was service 538, "--seconds 08"
// was refused).
TEST_F(CliCapture, NumbersAreDecimalAndHexadecimalOnlyWith0x) {
  EXPECT_EQ(Capture({"--seconds", "08", "--device", "7"}), 1);  // parsed; no device 7
  EXPECT_EQ(Capture({"--seconds", "0x10", "--device", "7"}), 1);
  EXPECT_EQ(Capture({"--seconds", "1e3"}), 2);
  EXPECT_EQ(Capture({"--seconds", "-1"}), 2);
  EXPECT_EQ(Capture({"--seconds", "0x"}), 2);
  ASSERT_EQ(Run("capture --seconds 1 --in 134 --record one.ts --service 01032"), 0) << Err();
  EXPECT_TRUE(ProbeHasProgram(dir_ + "/one.ts", "1032"));
}

TEST_F(CliCapture, ExistingFileIsKeptUnlessForced) {
  std::ofstream(dir_ + "/rec.ts") << "keep";
  EXPECT_EQ(Run("capture --seconds 1 --record rec.ts"), 1);
  EXPECT_NE(Err().find("already exists"), std::string::npos) << Err();
  EXPECT_NE(Err().find("--force"), std::string::npos) << Err();
  EXPECT_EQ(ReadText(dir_ + "/rec.ts"), "keep");
  ASSERT_EQ(Run("capture --seconds 1 --record rec.ts --force"), 0) << Err();
  ExpectWholePackets(ReadText(dir_ + "/rec.ts"));
}

TEST_F(CliCapture, NameWithoutShiftJisFormIsRefusedAtOnce) {
  EXPECT_EQ(Run("capture --seconds 1 --record caf\xC3\xA9.ts"), 2);
  EXPECT_NE(Err().find("Shift-JIS"), std::string::npos) << Err();
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/caf?.ts"));
}

// A disk that fills (/dev/full fails every write with ENOSPC) or a file-size limit (RLIMIT_FSIZE,
// which used to end the process by SIGXFSZ mid-packet): the recording stops, says why on stderr,
// and the command fails instead of reporting success; a limited file keeps whole packets and its
// finished report.
TEST_F(CliCapture, FailedWriteEndsTheRecordingWithExit1) {
  struct Case {
    const char* target;
    rlim_t size_limit;  // 0: none
    const char* reason;
  };
  const Case cases[] = {
      {"/dev/full", 0, "No space left on device"},
      {"rec.ts", 1000001, "File too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (c.size_limit != 0) {
        const rlimit limit{c.size_limit, c.size_limit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(97);
      }
      const std::string dir = dir_;
      execl("/bin/sh", "sh", "-c",
            ("cd " + dir + " && exec " + kCli + " capture --seconds 5 --record " + c.target + " > out.txt 2> err.txt")
                .c_str(),
            static_cast<char*>(nullptr));
      _exit(98);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(Err().find("録画ファイルに書き込めないので録画停止しました。"), std::string::npos) << Err();
    EXPECT_NE(Err().find(c.reason), std::string::npos) << Err();
    if (c.size_limit != 0) {
      const std::string file = ReadText(dir_ + "/rec.ts");
      ExpectWholePackets(file);
      EXPECT_LE(file.size(), c.size_limit);
      const std::string report = ReadText(dir_ + "/rec.ts.err");
      EXPECT_NE(report.find("stopped: the file could not be written (File too large)"), std::string::npos)
          << report;
      EXPECT_NE(report.find("\ntotal       packets " + std::to_string(file.size() / 188) + " "), std::string::npos)
          << report;
    }
  }
}

// The virtual tuner leaves the bus a second into the recording. Back two seconds later, it streams
// on into the same file, whose report has one gap of about that length and which `check` finds
// whole with that gap; not back by the stop time, the recording ends as "tuner lost", exit 1.
TEST_F(CliCapture, TunerDropOutIsAGapOrEndsTheRecording) {
  struct Case {
    const char* dropout;
    int exit_code;
    const char* result;
  };
  const Case cases[] = {
      {"1:2", 0, "result              recovered (gap 0:00:0"},
      {"1:600", 1, "result              tuner lost: the tuner dropped out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dropout);
    std::filesystem::remove(dir_ + "/rec.ts");
    std::filesystem::remove(dir_ + "/rec.ts.err");
    ASSERT_EQ(Run(std::string("capture --seconds 4 --record rec.ts --virtual-dropout ") + c.dropout), c.exit_code)
        << Err();
    EXPECT_NE(Err().find("チューナーが外れました — 再接続待ち (removed)"), std::string::npos) << Err();
    EXPECT_NE(Out().find(platform::SjisToUtf8(platform::Sjis("チューナーが外れました — 再接続待ち"))),
              std::string::npos);
    const std::string file = ReadText(dir_ + "/rec.ts");
    ExpectWholePackets(file);
    const std::string report = ReadText(dir_ + "/rec.ts.err");
    EXPECT_NE(report.find(c.result), std::string::npos) << report;
    // The packets the gap lost are no drops.
    const size_t total = report.find("\ntotal ");
    ASSERT_NE(total, std::string::npos) << report;
    EXPECT_NE(report.substr(total, report.find('\n', total + 1) - total).find("  drop 0  "), std::string::npos)
        << report;
    const size_t gap = report.find("\ngap  ");
    ASSERT_NE(gap, std::string::npos) << report;
    EXPECT_EQ(report.find("\ngap  ", gap + 1), std::string::npos) << report;
    const size_t offset = report.find("offset ", gap);
    ASSERT_NE(offset, std::string::npos);
    const uint64_t at = std::stoull(report.substr(offset + 7));
    // A second of the stream (at least a few hundred kilobytes) lies before the gap, on a packet
    // boundary, and the file goes on after it only when the tuner came back.
    EXPECT_GT(at, 500000u);
    EXPECT_EQ(at % 188, 0u);
    if (c.exit_code == 0) {
      const std::string length = report.substr(report.find("length 0:00:0", gap) + 13, 1);
      EXPECT_GE(length, "2") << report;
      EXPECT_LE(length, "3") << report;
      EXPECT_GT(file.size(), at + 500000u);
      // A recording with a gap is not whole, though the gap's lost packets are no drops.
      EXPECT_EQ(Run("check rec.ts"), 1) << Out();
      EXPECT_NE(Out().find("gaps         1, from rec.ts.err"), std::string::npos) << Out();
      EXPECT_NE(Out().find("gap          at offset " + std::to_string(at) + ": "), std::string::npos) << Out();
    } else {
      EXPECT_EQ(file.size(), at);
      EXPECT_NE(Err().find("was not back by the stop time"), std::string::npos) << Err();
    }
  }
}

// The tuner plays a file with dropped packets (VIRTUAL_TUNER_FILE, made by generate --fault): the
// recording's report shows each drop with its counters, and `check` of the recording gives the
// report's very table.
TEST_F(CliCapture, ReportOfAPlayedFileWithDropsShowsThemAsCheckDoes) {
  // The drops come in the first second of the file (about 10,000 packets a second), so that the
  // status line printed at two seconds has seen them all before the recording stops.
  ASSERT_EQ(Run("generate -q -o faults.ts --seconds 6 --fault drop@1000 --fault drop@3000 --fault drop@5000 "
                "--fault drop@7000 --fault drop@9000"),
            0)
      << Err();
  std::ofstream(dir_ + "/pelkan.ini") << "[Pelkan_Q]\nVIRTUAL_TUNER_FILE=" << dir_ << "/faults.ts\n";
  ASSERT_EQ(Run("capture --seconds 3 --in 0x86 --record rec.ts"), 0) << Err();
  EXPECT_NE(Err().find("recording checked: packets "), std::string::npos) << Err();
  EXPECT_EQ(Err().find(", drop 0,"), std::string::npos) << Err();
  const std::string report = ReadText(dir_ + "/rec.ts.err");
  EXPECT_NE(report.find("result              complete\n"), std::string::npos) << report;
  EXPECT_NE(report.find("  drop 1 (counter expected "), std::string::npos) << report;
  EXPECT_EQ(report.find("\ntotal       packets " + std::to_string(ReadText(dir_ + "/rec.ts").size() / 188) +
                        "  drop 0 "),
            std::string::npos)
      << report;

  // The status lines count the drops as the report does, over all the capture received (which
  // holds the recording; the line after the disconnect shows the zeroed counters); the breaks at
  // unit starts are named as such, not "cc".
  const std::string out = Out();
  size_t status_drop = 0;
  for (size_t at = out.find(" drop "); at != std::string::npos; at = out.find(" drop ", at + 1)) {
    status_drop = std::max<size_t>(status_drop, std::stoul(out.substr(at + 6)));
  }
  EXPECT_EQ(out.find(" cc "), std::string::npos) << out;
  EXPECT_NE(out.find(" cc-at-unit-starts "), std::string::npos) << out;
  const size_t report_drop_at = report.find("\ntotal       packets ");
  ASSERT_NE(report_drop_at, std::string::npos) << report;
  const size_t report_drop = std::stoul(report.substr(report.find("  drop ", report_drop_at) + 7));
  EXPECT_GE(status_drop, report_drop) << out << report;

  EXPECT_EQ(Run("check rec.ts"), 1) << Err();
  ASSERT_NE(testing::ReportTable(report), "") << report;
  EXPECT_EQ(testing::ReportTable(report), testing::ReportTable(Out())) << report << Out();
}

TEST_F(CliCapture, PortZeroIsRefusedAtStart) {
  EXPECT_EQ(Run("capture --seconds 1 --send 127.0.0.1:65536"), 1);
  EXPECT_NE(Err().find("開始に失敗しました"), std::string::npos) << Err();
  EXPECT_NE(Err().find("port 0"), std::string::npos) << Err();
  EXPECT_EQ(Run("capture --seconds 1 --send 127.0.0.1:0"), 1);
}

// Ctrl-C, and the hang-up a closing terminal sends (which used to kill the capture mid-write).
TEST_F(CliCapture, InterruptOrHangUpDisconnectsAndLeavesACompleteFile) {
  for (const int signal : {SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    const pid_t child = Start({"capture", "--in", "0x86", "--record", "int.ts", "--force"});
    ASSERT_GT(child, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    kill(child, signal);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << Err();
    EXPECT_NE(Err().find("interrupted"), std::string::npos) << Err();
    const std::string file = ReadText(dir_ + "/int.ts");
    ExpectWholePackets(file);
    EXPECT_EQ(ContinuityBreaks(file), 0);
    EXPECT_TRUE(ProbeHasProgram(dir_ + "/int.ts", "1024"));
  }
}

// A sender far slower than the stream (a datagram per byte) used to hold up the processing: the
// FIFO overflowed, the recording lost most of its data and the capture ran long past its time.
// Now the sender drops what it cannot send; the recording and the time limit hold.
TEST_F(CliCapture, SlowSenderLeavesTheRecordingIntactAndTheTimeLimitHolds) {
  uint16_t port = 0;
  const int rx = testing::OpenLoopbackUdp(1 << 20, &port);
  ASSERT_GE(rx, 0);
  const auto t0 = std::chrono::steady_clock::now();
  const int rc =
      Run("capture --seconds 3 --record rec.ts --send 127.0.0.1:" + std::to_string(port) + " --send-size 1");
  const auto took = std::chrono::steady_clock::now() - t0;
  close(rx);
  ASSERT_EQ(rc, 0) << Err();
  // Start-up and shut-down take a few seconds on a loaded machine; the held-up capture took minutes.
  EXPECT_LT(took, std::chrono::seconds(3 + 12));
  const std::string file = ReadText(dir_ + "/rec.ts");
  ExpectWholePackets(file);
  EXPECT_GT(file.size(), 4'000'000u);  // about 17 Mbit/s for 3 s
  EXPECT_EQ(ContinuityBreaks(file), 0);
  const std::string out = Out();
  size_t lines = 0;
  for (size_t pos = out.find(" R:"); pos != std::string::npos; pos = out.find(" R:", pos + 1), ++lines) {
    EXPECT_EQ(out.compare(pos, 5, " R:0 "), 0) << "the FIFO overflowed: " << out;
  }
  EXPECT_GE(lines, 2u);
}

TEST_F(CliCapture, ProgrammeChangesAndVirtualRateAreRefusedNamingTheOption) {
  const std::string late = std::to_string(kLateService) + ":" + std::to_string(kAtNine);
  struct Row {
    std::string args;
    std::string message;
  };
  const Row rows[] = {
      {"generate -o x.ts --late 1032:5", "--late '1032:5' is not SERVICE:EVENT:SECONDS"},
      {"generate -o x.ts --extend 1032:5:-60", "--extend '1032:5:-60' is not SERVICE:EVENT:SECONDS"},
      {"generate -o x.ts --undetermined 1032:5:60", "--undetermined '1032:5:60' is not SERVICE:EVENT"},
      {"generate -o x.ts --late 4242:5:60", "--late '4242:5:60': service 4242"},
      {"generate -o x.ts --late " + late + ":900", "--late '" + late + ":900': the changes leave"},
      {"generate -o x.ts --extend " + late + ":60 --extend " + late + ":90", "has two extend changes"},
      {"capture --virtual-late 1032:5", "--virtual-late '1032:5' is not SERVICE:EVENT:SECONDS"},
      {"capture --virtual-extend 4242:5:60", "--virtual-extend '4242:5:60': service 4242"},
      {"capture --virtual-undetermined 1032:0", "--virtual-undetermined '1032:0': there is no event 0"},
      {"capture --virtual-rate fast", "--virtual-rate 'fast' is not a bit rate"},
      {"capture --virtual-rate 1M", "--virtual-rate '1M' is refused: bit rate must be at least"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(Run(r.args), 2) << r.args;
    EXPECT_NE(Err().find(r.message), std::string::npos) << r.args << "\n" << Err();
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/x.ts"));
}

// The present event of the service and the broadcast clock, in the order a receiver meets them.
struct PresentAt {
  uint32_t clock;  // seconds of the day (JST) of the last time table before
  uint16_t present;
  uint32_t duration;
};

std::vector<PresentAt> PresentEvents(const std::string& file) {
  const std::vector<uint8_t> bytes(file.begin(), file.end());
  const auto scan =
      streamgen::testing::ScanStream(bytes, 188, [](uint16_t pid) { return pid == 0x12 || pid == 0x14; });
  std::vector<PresentAt> out;
  std::optional<uint32_t> clock;
  for (const auto& s : scan.sections) {
    if (s.pid == 0x14 && s.bytes.size() >= 8) {
      const auto bcd = [](uint8_t b) { return (b >> 4) * 10u + (b & 0x0Fu); };
      clock = bcd(s.bytes[5]) * 3600 + bcd(s.bytes[6]) * 60 + bcd(s.bytes[7]);
    }
    if (!clock || s.pid != 0x12 || s.table_id() != 0x4E || s.extension() != kLateService ||
        s.section_number() != 0)
      continue;
    const std::optional<EitSection> eit = EitSection::Read(s.bytes.data(), s.bytes.size());
    if (eit && eit->events.size() == 1)
      out.push_back({*clock, eit->events[0].event_id, eit->events[0].DurationSeconds()});
  }
  return out;
}

// The latest broadcast clock (seconds of the day) the status lines of 2026-12-07 show; 0 for none.
uint32_t LatestStatusClock(const std::string& out) {
  uint32_t latest = 0;
  const std::string day = "2026/12/07 ";
  for (size_t at = out.find(day); at != std::string::npos && at + day.size() + 8 <= out.size();
       at = out.find(day, at + 1)) {
    const char* t = out.c_str() + at + day.size();
    latest = std::max(latest, static_cast<uint32_t>(atoi(t) * 3600 + atoi(t + 3) * 60 + atoi(t + 6)));
  }
  return latest;
}

// The virtual tuner plays the programme at 21:00 one minute late at 16 times real time and at a
// low bit rate: the recording's present/following names the programme before (running over) until
// 21:01:00, then the late one. The capture is ended (Ctrl-C) once its status clock has passed
// 21:01:10, however fast the machine delivers.
TEST_F(CliCapture, VirtualTunerPlaysALateProgramme) {
  const pid_t child = Start({"capture", "--seconds", "150", "--record", "rec.ts", "--virtual-start",
                             "2026-12-07 20:59:50", "--virtual-speed", "16", "--virtual-rate", "3.2M",
                             "--virtual-late", "1032:" + std::to_string(kAtNine) + ":60"});
  ASSERT_GT(child, 0);
  const std::optional<int> ended = testing::WaitInterruptingWhen(
      child, std::chrono::seconds(180), [this] { return LatestStatusClock(Out()) >= 21u * 3600 + 70; });
  ASSERT_TRUE(ended) << "pelkan-cli did not end: " << Err();
  ASSERT_TRUE(WIFEXITED(*ended));
  ASSERT_EQ(WEXITSTATUS(*ended), 0) << Err();
  const std::vector<PresentAt> seen = PresentEvents(ReadText(dir_ + "/rec.ts"));
  ASSERT_FALSE(seen.empty());
  ASSERT_GE(seen.back().clock, 21u * 3600 + 65) << Out();
  std::optional<uint32_t> became_present;
  for (const PresentAt& p : seen) {
    if (p.clock >= 21u * 3600 + 900) break;  // the late programme's scheduled end
    if (p.present == kAtNine) {
      if (!became_present) became_present = p.clock;
      continue;
    }
    EXPECT_FALSE(became_present) << "the late programme left the air at " << p.clock;
    EXPECT_EQ(p.present, kBefore) << p.clock;
    EXPECT_EQ(p.duration, p.clock < 21u * 3600 ? 900u : 960u) << p.clock;
  }
  ASSERT_TRUE(became_present);
  // The time tables and the present/following are sent once a second each.
  EXPECT_GE(*became_present, 21u * 3600 + 59);
  EXPECT_LE(*became_present, 21u * 3600 + 60);
}

// The capture served over HTTP while it records: a player reads one programme, a client that reads
// slowly loses data (counted when it leaves) while a fast one and the recording stay whole, and
// the playlist names the services with the guide's channel ids.
TEST_F(CliCapture, HttpClientsWatchWhileTheRecordingStaysWhole) {
  std::ofstream(dir_ + "/pelkan.ini") << "[Pelkan_Q_PSI]\r\nDECODE_PSI=1\r\nPROC_EPG=1\r\n";
  const pid_t child = Start({"capture", "--seconds", "14", "--record", "rec.ts", "--http", "0"});
  ASSERT_GT(child, 0);
  std::string base;
  for (int i = 0; i < 100 && base.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string err = Err();
    const size_t at = err.find("serving HTTP on ");
    if (at != std::string::npos && err.find("/ ", at) != std::string::npos) {
      base = err.substr(at + 16, err.find("/ ", at) - at - 16);
    }
  }
  ASSERT_FALSE(base.empty()) << Err();
  auto fetch = [&](const std::string& args, const std::string& file) {
    return std::system(("cd " + dir_ + " && " + args + " > " + file + " 2>/dev/null").c_str());
  };
  std::thread slow([&] { fetch("curl -s --max-time 8 --limit-rate 50k " + base + "/stream", "slow.ts"); });
  std::thread prober([&] {
    fetch("timeout 12 ffprobe -v error -show_entries program=program_id:stream=codec_type -of csv=p=0 " + base +
              "/service/1024",
          "probe.txt");
  });
  fetch("curl -s --max-time 8 " + base + "/service/1024 | head -c " + std::to_string(188 * 20000), "fast.ts");
  // The guide fills from the stream; the playlist takes its channel ids once it has the services.
  std::string guide, playlist;
  for (int i = 0; i < 40 && guide.find("<programme ") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    fetch("curl -s " + base + "/guide.xml", "guide.xml");
    guide = ReadText(dir_ + "/guide.xml");
  }
  fetch("curl -s " + base + "/playlist.m3u", "playlist.m3u");
  playlist = ReadText(dir_ + "/playlist.m3u");
  fetch("curl -s " + base + "/status", "status.json");
  const std::string status_json = ReadText(dir_ + "/status.json");
  slow.join();
  prober.join();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << Err();

  const std::string probe = ReadText(dir_ + "/probe.txt");
  EXPECT_NE(probe.find("1024"), std::string::npos) << probe;
  EXPECT_NE(probe.find("video"), std::string::npos) << probe;
  EXPECT_NE(probe.find("audio"), std::string::npos) << probe;
  const std::string fast = ReadText(dir_ + "/fast.ts");
  EXPECT_EQ(fast.size(), 188u * 20000);
  ExpectWholePackets(fast);
  EXPECT_EQ(ContinuityBreaks(fast), 0);
  const std::string file = ReadText(dir_ + "/rec.ts");
  ExpectWholePackets(file);
  EXPECT_EQ(ContinuityBreaks(file), 0);

  const std::string err = Err();
  EXPECT_NE(err.find("came for /stream"), std::string::npos) << err;
  const size_t left = err.find("left /stream: ");
  ASSERT_NE(left, std::string::npos) << err;
  const size_t lost_at = err.find(" bytes sent, ", left);
  ASSERT_NE(lost_at, std::string::npos) << err;
  EXPECT_GT(std::stoull(err.substr(lost_at + 13)), 0u) << err;

  EXPECT_NE(playlist.find("#EXTM3U url-tvg=\"" + base + "/guide.xml\""), std::string::npos) << playlist;
  EXPECT_NE(playlist.find(",ペルカン総合テレビ\n" + base + "/service/1024\n"), std::string::npos) << playlist;
  const size_t id_at = playlist.find("tvg-id=\"1024.");
  ASSERT_NE(id_at, std::string::npos) << playlist;
  const std::string id = playlist.substr(id_at + 8, playlist.find('"', id_at + 8) - id_at - 8);
  EXPECT_NE(guide.find("<channel id=\"" + id + "\">"), std::string::npos) << id << "\n" << guide.substr(0, 600);
  EXPECT_NE(guide.find("channel=\"" + id + "\""), std::string::npos);
  // The status: counts as numbers, the broadcast clock as a time of Japan.
  EXPECT_TRUE(std::regex_search(status_json, std::regex("\"transfers_ok\":[0-9]+,"))) << status_json;
  const std::regex iso("\"clock\":\"20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\+09:00\"");
  EXPECT_TRUE(std::regex_search(status_json, iso)) << status_json;
  EXPECT_TRUE(std::regex_search(status_json, std::regex("\"recording\":\\{\"bytes\":[0-9]+,"))) << status_json;
}

// HTTP_ENABLED in pelkan.ini starts the same server as --http, with every page: the playlist, the
// guide and the status.
TEST_F(CliCapture, HttpEnabledInTheSettingsServesEveryPage) {
  // A free loopback port for the settings file, whose range starts at 1.
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(probe, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &length), 0);
  const unsigned port = ntohs(addr.sin_port);
  close(probe);
  std::ofstream(dir_ + "/pelkan.ini") << "[Pelkan_Q_PSI]\r\nDECODE_PSI=1\r\nPROC_EPG=1\r\n[Pelkan_Q_HTTP]\r\n"
                                      << "HTTP_ENABLED=1\r\nHTTP_ADDRESS=127.0.0.1\r\nHTTP_PORT=" << port << "\r\n";
  const pid_t child = Start({"capture", "--seconds", "8"});
  ASSERT_GT(child, 0);
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  auto fetch = [&](const std::string& page) {
    const std::string file = dir_ + "/page.txt";
    std::filesystem::remove(file);
    const int code = std::system(("curl -s -f --max-time 5 " + base + page + " > " + file + " 2>/dev/null").c_str());
    return code == 0 ? ReadText(file) : std::string();
  };
  std::string playlist, guide, status;
  for (int i = 0; i < 60 && (playlist.find("/service/") == std::string::npos ||
                             guide.find("<tv") == std::string::npos || status.empty());
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    playlist = fetch("/playlist.m3u");
    guide = fetch("/guide.xml");
    status = fetch("/status");
  }
  int exit_status = 0;
  ASSERT_EQ(waitpid(child, &exit_status, 0), child);
  EXPECT_TRUE(WIFEXITED(exit_status) && WEXITSTATUS(exit_status) == 0) << Err();
  EXPECT_NE(playlist.find("#EXTM3U url-tvg=\"" + base + "/guide.xml\""), std::string::npos) << playlist << Err();
  EXPECT_NE(playlist.find(base + "/service/1024\n"), std::string::npos) << playlist;
  EXPECT_NE(guide.find("<tv"), std::string::npos) << guide;
  EXPECT_EQ(status.front(), '{') << status;
}

}  // namespace
}  // namespace pelkan::cli
