#include "app/scheduled_capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <thread>

#include "base/capture_stats.h"
#include "platform/text_codec.h"
#include "schedule/schedule_file.h"
#include "tests/support/capture_fakes.h"
#include "tests/support/mock_logind.h"
#include "tests/support/ts_builder.h"
#include "ts/stream_bus.h"
#include "ts/ts_processor.h"

namespace pelkan {
namespace {

using test::Bytes;
using test::TsBuilder;

constexpr uint16_t kMjd = 54528;  // 2008-03-03
constexpr uint16_t kKept = 0x400;
constexpr uint16_t kOther = 0x401;

uint8_t Bcd(int v) {
  return static_cast<uint8_t>((v / 10) << 4 | (v % 10));
}

// A two-programme broadcast, captured by a processor whose events reach a ScheduledCapture; the
// test plays the capture application's heartbeat with the broadcast clock.
int Sec(int h, int m, int s) {
  return h * 3600 + m * 60 + s;
}

class ScheduledCaptureTest : public ::testing::Test {
 protected:
  ScheduledCaptureTest() : capture_([this](std::function<void()> w) { queue_.push_back(std::move(w)); }) {
    dir_ = std::filesystem::temp_directory_path() /
           ("pelkan_schedcap_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    proc_.SetDecodePsi(1);
    proc_.SetProcessEpg(1);
    proc_.SetEventHandler(&ScheduledCaptureTest::Handler, this);
    proc_.AddOutput(CaptureApp::kScheduleOutput);
    capture_.AttachProcessor(&proc_);
  }
  ~ScheduledCaptureTest() override {
    capture_.AttachProcessor(nullptr);
    std::filesystem::remove_all(dir_);
  }

  static void Handler(uint32_t type, int32_t param, const uint8_t* data, uint32_t count, void* user) {
    auto* self = static_cast<ScheduledCaptureTest*>(user);
    if (type == EVENT_BROADCAST_TIME && data != nullptr) {
      BroadcastTime t;
      std::memcpy(&t, data, sizeof(t));
      self->clock_ = MjdTime{t.date, t.seconds};
    }
    // What the capture application's event handler hands its bus.
    StreamBus bus;
    bus.Add(&self->capture_.scheduler());
    bus.Add(&self->capture_);
    DeliverTsEvent(bus, type, param, data, count);
  }

  // One second of broadcast: tables, the clock, and packets of both programmes.
  void PlaySecond(int seconds_of_day, uint8_t eit_version, int event_minutes) {
    TsBuilder b;
    b.Section(0, test::PatSection(0x7FE0, 0, {{kKept, 0x1F0}, {kOther, 0x1F1}}));
    b.Section(0x1F0,
              test::PmtSection(kKept, 0, 0x100, {{0x02, 0x100, {}}, {0x0F, 0x101, {}}, {0x06, 0x120, {}}}));
    b.Section(0x1F1,
              test::PmtSection(kOther, 0, 0x110, {{0x02, 0x110, {}}, {0x0F, 0x111, {}}, {0x06, 0x120, {}}}));
    // The present/following table as a broadcaster sends it: the programme before until 21:00,
    // programme 0x1234 from then until its end, the one after it from then (each change a new
    // version of both sections).
    const test::EitEvent before{0x1233, kMjd, {Bcd(20), 0, 0}, {Bcd(1), 0, 0},
                                test::ShortEventDescriptor(test::AribAlnum("EARLIER"), {})};
    const test::EitEvent ev{0x1234,
                            kMjd,
                            {Bcd(21), 0, 0},
                            {Bcd(event_minutes / 60), Bcd(event_minutes % 60), 0},
                            test::ShortEventDescriptor(test::AribAlnum("NEWS"), {})};
    const int end = Sec(21, 0, 0) + event_minutes * 60;
    const test::EitEvent after{0x1235, kMjd, {Bcd(end / 3600), Bcd(end / 60 % 60), 0}, {0, Bcd(30), 0},
                               test::ShortEventDescriptor(test::AribAlnum("LATER"), {})};
    const int phase = seconds_of_day < Sec(21, 0, 0) ? 0 : seconds_of_day < end ? 1 : 2;
    const uint8_t version = static_cast<uint8_t>((eit_version * 4 + phase) & 0x1F);
    b.Section(0x12, test::EitSection(0x4E, kKept, version, 0, {phase == 0 ? before : phase == 1 ? ev : after}));
    if (phase < 2) b.Section(0x12, test::EitSection(0x4E, kKept, version, 1, {phase == 0 ? ev : after}));
    const int h = seconds_of_day / 3600, m = seconds_of_day / 60 % 60, s = seconds_of_day % 60;
    b.Section(0x14, test::TotSection(kMjd, Bcd(h), Bcd(m), Bcd(s)));
    for (uint16_t pid : {0x100, 0x101, 0x110, 0x111, 0x120}) {
      for (int i = 0; i < 3; ++i) b.Packet(pid, Bytes(184, static_cast<uint8_t>(pid)));
    }
    proc_.Feed(b.bytes().data(), static_cast<int>(b.bytes().size()), stats_);
    if (clock_.date != 0) capture_.PostClock(clock_);
    while (!queue_.empty()) {
      auto w = std::move(queue_.front());
      queue_.pop_front();
      w();
    }
  }

  void Play(int from, int to, uint8_t eit_version = 1, int event_minutes = 1) {
    for (int t = from; t <= to; ++t) PlaySecond(t, eit_version, event_minutes);
  }

  Bytes ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  std::filesystem::path dir_;
  std::deque<std::function<void()>> queue_;
  ScheduledCapture capture_;
  TsProcessor proc_;
  CaptureStats stats_;
  MjdTime clock_;
};


// A hand-edited file of nothing but dropped sections is kept aside like a foreign file, but it is
// a reservation file: the line says why it went, not that it lacks the header.
TEST(KeptAsideText, SaysWhyTheFileWasKeptAside) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("pelkan_kept_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  struct Case {
    const char* text;
    const char* why;
  };
  for (const Case& c : {Case{"[Other]\r\nA=1\r\n", "is not a reservation file (it has no [Pelkan_Schedule] section)"},
                        Case{"[Pelkan_Schedule]\r\nScheduleNum=1\r\n[Schedule_1]\r\nFlag=0\r\n",
                             "holds no reservation that can be recorded (every section of it was dropped)"}}) {
    SCOPED_TRACE(c.text);
    const std::string kept = (dir / "schedule.ini.bad").string();
    std::ofstream(kept, std::ios::binary) << c.text;
    EXPECT_EQ(KeptAsideText("schedule.ini", kept), std::string("schedule.ini ") + c.why + ": kept as " + kept +
                                                      "; a new reservation file takes its place");
  }
  std::filesystem::remove_all(dir);
}

// The options reach the scheduler: new reservations get their directory and margins.
TEST_F(ScheduledCaptureTest, SettingsGiveTheDefaultsOfNewReservations) {
  Settings settings;
  settings.rec_autopath = "/rec";
  settings.schedule_margin_before = 30;
  settings.schedule_margin_after = 90;
  capture_.ApplySettings(settings);
  EXPECT_EQ(capture_.scheduler().DefaultDirectory(), "/rec");
  EXPECT_EQ(capture_.scheduler().DefaultMargins(), std::make_pair(uint16_t{30}, uint16_t{90}));
}

TEST_F(ScheduledCaptureTest, ServiceLimitedReservationRecordsOnlyThatService) {
  ScheduleItem item{};
  item.flags = SI_BY_TIME | SI_SERVICE_LIMIT;
  item.start_day = kMjd;
  item.start_second = Sec(21, 0, 0);
  item.duration = 60;
  SetText(item.directory, dir_.string());
  SetText(item.service_id_text, "1024");
  capture_.Begin("/unused", (dir_ / "schedule.ini").string());
  ASSERT_EQ(capture_.scheduler().StoreItem(item, -1), 1);

  Play(Sec(20, 59, 20), Sec(20, 59, 55));
  EXPECT_EQ(capture_.StatusUtf8(), "予約録画準備中");
  Play(Sec(20, 59, 56), Sec(21, 1, 1));
  EXPECT_EQ(capture_.StatusUtf8().rfind("予約録画中(", 0), 0u);
  Play(Sec(21, 1, 2), Sec(21, 1, 5));
  EXPECT_TRUE(capture_.End());
  EXPECT_EQ(LoadScheduleFile((dir_ / "schedule.ini").string()).size(), 0u);
  ASSERT_EQ(capture_.scheduler().Finished().size(), 1u);
  EXPECT_EQ(ItemState(capture_.scheduler().Finished()[0]), ST_FINISHED);

  const Bytes file = ReadFile(dir_ / "20080303-2100.ts");
  ASSERT_FALSE(file.empty());
  ASSERT_EQ(file.size() % 188, 0u);
  std::set<uint16_t> pids;
  size_t pat_packets = 0;
  for (size_t pos = 0; pos < file.size(); pos += 188) {
    const uint8_t* p = &file[pos];
    ASSERT_EQ(p[0], 0x47);
    const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
    pids.insert(pid);
    if (pid != 0) continue;
    ++pat_packets;
    const uint8_t* sec = p + 5;
    const int section_length = (sec[1] & 0x0F) << 8 | sec[2];
    const int entries = (section_length - 9) / 4;
    ASSERT_EQ(entries, 1);
    EXPECT_EQ(sec[8] << 8 | sec[9], kKept);
  }
  EXPECT_GE(pat_packets, 60u);
  EXPECT_TRUE(pids.count(0x100) && pids.count(0x101) && pids.count(0x120));
  EXPECT_FALSE(pids.count(0x110) || pids.count(0x111));
  // About 66 seconds of 15 packets of the kept programme (0x100, 0x101 and the shared 0x120).
  EXPECT_GE(file.size() / 188, 66u * 9);
}

// A tuner with channel selection and string sending that records what it was told.
class TunableDevice : public testing::FakeDtvDevice {
 public:
  std::vector<int> channels;
  std::vector<std::string> strings;
  int GetCapabilities() override { return core::kDtvCapChannel | core::kDtvCapSendString; }
  int SetChannel(int channel) override {
    channels.push_back(channel);
    return 1;
  }
  int SendString(const char* text) override {
    strings.emplace_back(text);
    return 1;
  }
};

TEST_F(ScheduledCaptureTest, ReservationChannelReachesTheDevice) {
  TunableDevice device;
  capture_.SetDevice(&device);
  ScheduleItem item{};
  item.flags = SI_BY_TIME | SI_CHANNEL_VALUE | SI_CHANNEL_STRING;
  item.start_day = kMjd;
  item.start_second = Sec(21, 0, 0);
  item.duration = 60;
  item.channel_value = 27;
  SetText(item.channel_string, "BS1");
  SetText(item.directory, dir_.string());
  ASSERT_EQ(capture_.scheduler().StoreItem(item, -1), 1);
  Play(Sec(20, 59, 20), Sec(20, 59, 55));
  EXPECT_EQ(capture_.StatusUtf8(), "予約録画準備中");
  EXPECT_EQ(device.channels, std::vector<int>{27});
  EXPECT_EQ(device.strings, std::vector<std::string>{"BS1"});
  capture_.SetDevice(nullptr);
}

TEST_F(ScheduledCaptureTest, EventReservationFollowsTheBroadcastExtension) {
  ScheduleItem item{};
  item.flags = SI_BY_EVENT;
  item.service_id = kKept;
  item.event_id = 0x1234;
  SetText(item.directory, dir_.string());
  capture_.scheduler().StoreItem(item, -1);

  Play(Sec(20, 59, 0), Sec(20, 59, 2));
  ASSERT_EQ(capture_.scheduler().Reservations()[0].start_day, kMjd);
  Play(Sec(20, 59, 3), Sec(21, 0, 30));
  // Version 2 of the EIT extends the programme from 1 to 3 minutes.
  Play(Sec(21, 0, 31), Sec(21, 1, 10), 2, 3);
  EXPECT_TRUE(capture_.scheduler().Finished().empty());
  EXPECT_EQ(capture_.StatusUtf8().rfind("予約録画中(", 0), 0u);
  Play(Sec(21, 1, 11), Sec(21, 3, 2), 2, 3);
  ASSERT_EQ(capture_.scheduler().Finished().size(), 1u);
  const std::string name = "20080303-2100-" + test::FullWidthUtf8("NEWS") + ".ts";
  EXPECT_TRUE(std::filesystem::exists(dir_ / name));
  EXPECT_GT(std::filesystem::file_size(dir_ / name), 180u * 15 * 188);
}

TEST(ScheduledCaptureProcessor, LookUpsUseTheAttachedProcessorOnly) {
  ScheduledCapture capture([](std::function<void()>) {});
  TsProcessor first;
  ProgrammeEvent stored{};
  stored.kind = EVENT_KIND_PF_ACTUAL;
  stored.service_id = kKept;
  stored.event_id = 0x1234;
  first.event_store().StoreEvent(kKept, stored);
  first.event_store().StorePresentFollowing(kKept, 0, 0x1234);
  capture.AttachProcessor(&first);
  ProgrammeEvent ev;
  EXPECT_TRUE(capture.LookupProgramme(0, 0, kKept, 0x1234, &ev));
  const EventStore::PresentFollowing pf = capture.LookupPresentFollowing(kKept);
  ASSERT_TRUE(pf.known && pf.present);
  EXPECT_EQ(pf.present->event_id, 0x1234);
  capture.AttachProcessor(nullptr);
  EXPECT_FALSE(capture.LookupProgramme(0, 0, kKept, 0x1234, &ev));
  EXPECT_FALSE(capture.LookupPresentFollowing(kKept).known);
}

// The scheduler looks programmes up on the UI thread while the processing thread ends and
// destroys its processor: a look-up either reaches the live processor or finds none
// (AddressSanitizer and ThreadSanitizer report a use after the destruction otherwise).
TEST(ScheduledCaptureProcessor, LookUpsRaceSafelyWithDetachAndDestruction) {
  ScheduledCapture capture([](std::function<void()>) {});
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> calls{0};
  std::thread ui([&] {
    ProgrammeEvent ev;
    while (!stop.load()) {
      capture.LookupProgramme(0, 0, kKept, 0x1234, &ev);
      capture.LookupPresentFollowing(kKept);
      capture.LookupProgrammeAt(kKept, MjdTime{kMjd, 0}, &ev);
      calls.fetch_add(1);
    }
  });
  for (int i = 0; i < 300; ++i) {
    auto processor = std::make_unique<TsProcessor>();
    processor->AddOutput(CaptureApp::kScheduleOutput);
    capture.AttachProcessor(processor.get());
    std::this_thread::yield();
    capture.AttachProcessor(nullptr);
    processor.reset();
  }
  // The other thread has run at least once, however loaded the machine.
  while (calls.load() == 0) std::this_thread::yield();
  stop.store(true);
  ui.join();
}

// The computer is kept awake ahead of a reservation only while a capture runs: a tick that the
// UI thread runs after the processing thread has detached takes nothing again.
TEST(ScheduledCaptureAwake, HeldAheadOfAReservationOnlyWhileAProcessorIsAttached) {
  testing::MockLogind logind;
  ASSERT_TRUE(logind.Start()) << logind.Error();
  auto held = [&logind] { return logind.WaitFor([](const auto& l) { return !l.empty(); }); };
  auto none = [&logind] { return logind.WaitFor([](const auto& l) { return l.empty(); }).empty(); };
  ScheduledCapture capture([](std::function<void()>) {});
  ScheduleItem item{};
  item.flags = SI_BY_TIME;
  item.start_day = kMjd;
  item.start_second = 21 * 3600;
  item.duration = 600;
  SetText(item.directory, "/rec");
  ASSERT_EQ(capture.scheduler().StoreItem(item, -1), 1);

  TsProcessor processor;
  capture.AttachProcessor(&processor);
  capture.scheduler().Tick(MjdTime{kMjd, 20 * 3600 + 57 * 60});
  EXPECT_TRUE(none());
  capture.scheduler().Tick(MjdTime{kMjd, 20 * 3600 + 58 * 60});
  const auto list = held();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].why, "/rec/20080303-2100.ts");

  capture.AttachProcessor(nullptr);
  EXPECT_TRUE(none());
  capture.scheduler().Tick(MjdTime{kMjd, 20 * 3600 + 58 * 60 + 1});
  EXPECT_TRUE(none());

  capture.AttachProcessor(&processor);
  capture.scheduler().Tick(MjdTime{kMjd, 20 * 3600 + 58 * 60 + 2});
  EXPECT_EQ(held().size(), 1u);
  capture.End();
  EXPECT_TRUE(none());
}

}  // namespace
}  // namespace pelkan
