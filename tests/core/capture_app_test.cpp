#include "core/capture_app.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "core/dtv_ezusb_fx2.h"
#include "platform/text_codec.h"
#include "core/status_text.h"
#include "tests/support/capture_fakes.h"
#include "tests/support/mock_logind.h"
#include "tests/support/report_table.h"
#include "tests/support/ts_builder.h"
#include "usb/virtual_tuner.h"

namespace pelkan {
namespace {

using testing::FakeDecoderLibrary;
using testing::FakeDtvDevice;
using testing::FileSizeLimit;
using testing::MakePacketRun;
using testing::QueueDispatcher;
using testing::RecordingMessages;

std::string Utf8(const std::string& s) {
  return platform::SjisToUtf8(s);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A scheduler stand-in on the bus that counts what reaches it.
class CountingScheduler : public StreamListener {
 public:
  std::atomic<uint32_t> packets{0};
  std::atomic<int> resets{0};
  std::vector<MjdTime> clocks;
  void OnStreamReset(uint16_t) override { ++resets; }
  void OnPacket(uint16_t output, const uint8_t*, uint32_t) override {
    if (output == kWholeStreamOutput) ++packets;
  }
  void OnTick(StreamTick& tick) override {
    if (!tick.processing || tick.broadcast.date == 0) return;
    clocks.push_back(tick.broadcast);
    tick.schedule_status = "sched";
  }
};

class CaptureAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelkan-app-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    auto device = std::make_unique<FakeDtvDevice>();
    device_ = device.get();
    app_.SetDevice(std::move(device));
    app_.SetTickSource([this] { return tick_.load(); });
  }
  void TearDown() override {
    if (app_.IsConnected()) app_.Disconnect();
    std::filesystem::remove_all(dir_);
  }

  static ConnectRequest Request() {
    ConnectRequest r;
    r.device_index = 0;
    r.in_address = 0x86;
    r.out_address = core::kNoEndpoint;
    return r;
  }

  // Waits until the processing thread has taken every whole block out of the FIFO.
  void WaitDrained() {
    for (int i = 0; i < 5000 && app_.fifo().GetSize() >= CaptureApp::kBlockSize; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_LT(app_.fifo().GetSize(), CaptureApp::kBlockSize);
  }

  // Waits until the processor has taken `blocks` blocks in all (their packets have reached the outputs).
  void WaitFed(uint64_t blocks) {
    for (int i = 0; i < 5000 && app_.BlocksFed() < blocks; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(app_.BlocksFed(), blocks);
  }

  std::string dir_;
  std::atomic<uint32_t> tick_{1000};
  QueueDispatcher dispatcher_;
  RecordingMessages messages_;
  CaptureApp app_{&dispatcher_, &messages_};
  FakeDtvDevice* device_ = nullptr;
};

TEST_F(CaptureAppTest, ConnectWithoutSelectionsFailsSilently) {
  ConnectRequest r = Request();
  r.device_index.reset();
  EXPECT_FALSE(app_.Connect(r));
  r = Request();
  r.in_address.reset();
  EXPECT_FALSE(app_.Connect(r));
  r = Request();
  r.out_address.reset();
  EXPECT_FALSE(app_.Connect(r));
  EXPECT_TRUE(messages_.shown.empty());
  EXPECT_FALSE(app_.IsConnected());
  EXPECT_EQ(device_->starts.load(), 0);
}

TEST_F(CaptureAppTest, MissingInEndpointIsReported) {
  ConnectRequest r = Request();
  r.in_address = 0x81;
  EXPECT_FALSE(app_.Connect(r));
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(Utf8(messages_.shown[0].text), "入力EP指定エラー");
  EXPECT_EQ(messages_.shown[0].caption, "Error");
  EXPECT_EQ(device_->starts.load(), 0);
}

TEST_F(CaptureAppTest, InitialisationNeedsAnOutEndpoint) {
  ConnectRequest r = Request();
  r.initialise = true;
  EXPECT_FALSE(app_.Connect(r));
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(Utf8(messages_.shown[0].text), "Sorvalink初期化には出力EPが必要です");
  EXPECT_EQ(messages_.shown[0].caption, "Error");
  r.out_address = 0x02;
  EXPECT_TRUE(app_.Connect(r));
  EXPECT_EQ(app_.settings().sorvalink_init, 1);
  EXPECT_EQ(device_->last_out(), 0x02u);
}

TEST_F(CaptureAppTest, MissingDecoderLibraryIsReported) {
  app_.SetDecoderLibraryFactory([] {
    auto lib = std::make_unique<B25Library>();
    lib->SetCandidates({"/nonexistent/B25Decoder.so"});
    return lib;
  });
  ConnectRequest r = Request();
  r.descramble = true;
  EXPECT_FALSE(app_.Connect(r));
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(messages_.shown[0].text, "B25Decord.dll not found.");
  EXPECT_EQ(messages_.shown[0].caption, "Error");
  EXPECT_NE(app_.GetLastError().find("/nonexistent/B25Decoder.so"), std::string::npos);
  EXPECT_FALSE(app_.IsConnected());
}

TEST_F(CaptureAppTest, FailedInitialiseReleasesTheDecoderBeforeUnloading) {
  std::vector<std::string> log;
  app_.SetDecoderLibraryFactory([&] {
    FakeDecoderLibrary::Script s;
    s.initialize_result = 0;
    return std::make_unique<FakeDecoderLibrary>(s, &log);
  });
  ConnectRequest r = Request();
  r.descramble = true;
  EXPECT_FALSE(app_.Connect(r));
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(messages_.shown[0].text, "B-CAS card error");
  EXPECT_EQ(messages_.shown[0].caption, "Error");
  EXPECT_EQ(log, (std::vector<std::string>{"Load", "Initialize(4)", "Release", "Unload"}));
  EXPECT_EQ(device_->starts.load(), 0);
}

TEST_F(CaptureAppTest, MissingFactoryOrObjectFailsWithoutAMessage) {
  for (int variant = 0; variant < 2; ++variant) {
    std::vector<std::string> log;
    app_.SetDecoderLibraryFactory([&] {
      FakeDecoderLibrary::Script s;
      if (variant == 0) s.has_factory = false;
      if (variant == 1) s.factory_makes_object = false;
      return std::make_unique<FakeDecoderLibrary>(s, &log);
    });
    ConnectRequest r = Request();
    r.descramble = true;
    EXPECT_FALSE(app_.Connect(r));
    EXPECT_TRUE(messages_.shown.empty());
    EXPECT_EQ(log, (std::vector<std::string>{"Load", "Unload"}));
  }
}

TEST_F(CaptureAppTest, DeviceThatFailsToStartLeavesNothingRunning) {
  std::vector<std::string> log;
  app_.SetDecoderLibraryFactory(
      [&] { return std::make_unique<FakeDecoderLibrary>(FakeDecoderLibrary::Script{}, &log); });
  device_->fail_start = true;
  ConnectRequest r = Request();
  r.descramble = true;
  EXPECT_FALSE(app_.Connect(r));
  EXPECT_FALSE(app_.IsConnected());
  EXPECT_FALSE(app_.IsProcessing());
  EXPECT_EQ(log, (std::vector<std::string>{"Load", "Initialize(4)", "Release", "Unload"}));
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(Utf8(messages_.shown[0].text), "開始に失敗しました");
  // A later attempt with a working device succeeds.
  device_->fail_start = false;
  EXPECT_TRUE(app_.Connect(Request()));
}

TEST_F(CaptureAppTest, DecoderIsReleasedByTheProcessingThreadAtDisconnect) {
  std::vector<std::string> log;
  app_.SetDecoderLibraryFactory(
      [&] { return std::make_unique<FakeDecoderLibrary>(FakeDecoderLibrary::Script{}, &log); });
  ConnectRequest r = Request();
  r.descramble = true;
  ASSERT_TRUE(app_.Connect(r));
  app_.Disconnect();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[log.size() - 2], "Release");
  EXPECT_EQ(log.back(), "Unload");
}

TEST_F(CaptureAppTest, RecordingHoldsEveryPacketAndDisconnectZeroesStatistics) {
  CountingScheduler scheduler;
  app_.bus().Add(&scheduler);
  ASSERT_TRUE(app_.Connect(Request()));
  const std::string path = dir_ + "/rec.ts";
  ASSERT_TRUE(app_.ToggleRecording(false, path));
  // 47 blocks of 0x8000 bytes are exactly 8,192 packets.
  const auto stream = MakePacketRun(0x100, 8192);
  ASSERT_TRUE(device_->Deliver(stream.data(), stream.size()));
  WaitDrained();
  EXPECT_EQ(app_.stats().packet_size.load(), 188);
  app_.Disconnect();
  EXPECT_FALSE(app_.IsRecording());
  EXPECT_EQ(ReadFile(path), stream);
  EXPECT_EQ(scheduler.packets.load(), 8192u);  // output 1 passes everything too
  EXPECT_EQ(app_.stats().packet_size.load(), 0);
  EXPECT_EQ(app_.stats().transfer_rate.load(), 0.0);
  EXPECT_EQ(device_->stops.load(), 1);
  app_.bus().Remove(&scheduler);
}

TEST_F(CaptureAppTest, WholeWaitingBlocksAreFedAndTheRestWaits) {
  ASSERT_TRUE(app_.Connect(Request()));
  const uint64_t before = app_.BlocksFed();
  std::vector<uint8_t> bytes = MakePacketRun(0x100, 1000);
  bytes.resize(0x18000 + 0x7FFF);
  ASSERT_TRUE(device_->Deliver(bytes.data(), bytes.size(), static_cast<uint32_t>(bytes.size())));
  for (int i = 0; i < 5000 && app_.BlocksFed() - before < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(app_.BlocksFed() - before, 3u);
  EXPECT_EQ(app_.fifo().GetSize(), 0x7FFFu);
}

TEST_F(CaptureAppTest, OutputZeroFilterLeavesTheSchedulerOutputAlone) {
  CountingScheduler scheduler;
  app_.bus().Add(&scheduler);
  ASSERT_TRUE(app_.Connect(Request()));
  for (int i = 0; i < 1000 && !app_.IsProcessing(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  app_.SetServiceFilter({}, {0x100});
  const std::string path = dir_ + "/filtered.ts";
  ASSERT_TRUE(app_.ToggleRecording(false, path));
  auto stream = MakePacketRun(0x100, 4096);
  const auto other = MakePacketRun(0x200, 4096);
  stream.insert(stream.end(), other.begin(), other.end());
  ASSERT_TRUE(device_->Deliver(stream.data(), stream.size()));
  WaitDrained();
  app_.Disconnect();
  EXPECT_EQ(ReadFile(path), other);            // output 0 drops PID 0x100
  EXPECT_EQ(scheduler.packets.load(), 8192u);  // output 1 passes everything
  app_.bus().Remove(&scheduler);
}

// While capturing, fewer bytes than a block wait in the FIFO. At the disconnect the device hands
// on what its cancelled transfers had received; that and the waiting rest used to be dropped,
// cutting off the end of the recording.
TEST_F(CaptureAppTest, EverythingLeftInTheFifoIsFedAtTheStop) {
  ASSERT_TRUE(app_.Connect(Request()));
  auto stream = MakePacketRun(0x100, 174);  // 32,712 bytes, just under a block
  ASSERT_TRUE(app_.ToggleRecording(false, dir_ + "/short.ts"));
  ASSERT_TRUE(device_->Deliver(stream.data(), stream.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(app_.fifo().GetSize(), stream.size());
  EXPECT_EQ(app_.BlocksFed(), 0u);
  device_->at_stop = MakePacketRun(0x100, 3000, 174);  // 17 blocks and a part
  stream.insert(stream.end(), device_->at_stop.begin(), device_->at_stop.end());
  app_.Disconnect();
  EXPECT_EQ(app_.fifo().GetSize(), 0u);
  EXPECT_EQ(ReadFile(dir_ + "/short.ts"), stream);
}

TEST_F(CaptureAppTest, FullFifoIsEmptiedAndCounted) {
  std::vector<uint8_t> chunk(0x8000, 0x47);
  const uint32_t fill = CaptureApp::kFifoCapacity - 0x7000;
  std::vector<uint8_t> big(fill, 0);
  CaptureApp::OnDeviceData(big.data(), fill, fill, 0, &app_);
  EXPECT_EQ(app_.fifo().GetSize(), fill);
  CaptureApp::OnDeviceData(chunk.data(), 0x8000, fill + 0x8000, 0, &app_);
  EXPECT_EQ(app_.fifo().GetSize(), 0u);
  EXPECT_EQ(app_.stats().fifo_overflows.load(), 1u);
  const StatusSnapshot s = app_.RefreshStatus();
  EXPECT_EQ(s.buffer, "0KB/10240KB\nR:1 Sy:0 St:0");
}

// The rate follows the tick; the data posts no status refresh (the session's heartbeat runs it).
TEST_F(CaptureAppTest, RateFollowsTheTickAndTheDataPostsNoRefresh) {
  uint8_t byte = 0x47;
  tick_ = 1000;
  CaptureApp::OnDeviceData(&byte, 1, 1000000, 0, &app_);  // 1,000 ms after the zero tick
  EXPECT_DOUBLE_EQ(app_.stats().transfer_rate.load(), 1000000.0);
  tick_ = 1300;
  CaptureApp::OnDeviceData(&byte, 1, 1100000, 0, &app_);
  EXPECT_DOUBLE_EQ(app_.stats().transfer_rate.load(), 1000000.0);  // not yet 600 ms
  tick_ = 1601;
  CaptureApp::OnDeviceData(&byte, 1, 1500000, 0, &app_);
  EXPECT_DOUBLE_EQ(app_.stats().transfer_rate.load(), 500000.0 * (1000.0 / 601));
  EXPECT_EQ(dispatcher_.Pending(), 0u);
}

// A tuner or a played file that stops delivering shows no rate at the next status, not the last one.
TEST_F(CaptureAppTest, RateFallsToZeroWhenNoDataComes) {
  uint8_t byte = 0x47;
  tick_ = 1000;
  CaptureApp::OnDeviceData(&byte, 1, 1000000, 0, &app_);
  tick_ = 1000 + CaptureApp::kQuietMs;
  app_.RefreshStatus();
  EXPECT_DOUBLE_EQ(app_.stats().transfer_rate.load(), 1000000.0);
  tick_ = 1001 + CaptureApp::kQuietMs;
  EXPECT_EQ(platform::SjisToUtf8(app_.RefreshStatus().rate), "0.00 Mbps");
  EXPECT_DOUBLE_EQ(app_.stats().transfer_rate.load(), 0.0);
}

TEST_F(CaptureAppTest, LowDiskStopsAtExactly200MiB) {
  uint64_t free_bytes = 209715201;
  app_.SetFreeSpaceQuery([&](const std::string&, uint64_t* b) {
    *b = free_bytes;
    return true;
  });
  ASSERT_TRUE(app_.Connect(Request()));
  ASSERT_TRUE(app_.ToggleRecording(false, dir_ + "/disk.ts"));
  StatusSnapshot s = app_.RefreshStatus();
  EXPECT_TRUE(app_.IsRecording());
  EXPECT_EQ(Utf8(s.free_space), "空き 200 MByte");
  EXPECT_EQ(Utf8(s.recording), "録画バッファ中");
  free_bytes = 209715200;
  s = app_.RefreshStatus();
  EXPECT_FALSE(app_.IsRecording());
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(Utf8(messages_.shown[0].text), "録画先ディスク容量が少ないので録画停止しました。");
  EXPECT_EQ(messages_.shown[0].caption, "ERROR");
  EXPECT_EQ(s.bar[1], " ");
  EXPECT_EQ(s.bar[2], " ");
}

// A removed recording folder used to be reported as a full disk.
TEST_F(CaptureAppTest, RemovedFolderStopsTheRecordingAsAWriteFailure) {
  std::filesystem::create_directory(dir_ + "/sub");
  ASSERT_TRUE(app_.ToggleRecording(false, dir_ + "/sub/q.ts"));
  std::filesystem::remove_all(dir_ + "/sub");
  app_.RefreshStatus();
  EXPECT_FALSE(app_.IsRecording());
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(Utf8(messages_.shown[0].text), "録画ファイルに書き込めないので録画停止しました。");
  EXPECT_NE(app_.GetLastError().find("No such file or directory"), std::string::npos) << app_.GetLastError();
}

TEST_F(CaptureAppTest, StopTimerEndsTheRecordingAcrossTheTickWrap) {
  app_.SetFreeSpaceQuery([](const std::string&, uint64_t* b) {
    *b = 1ull << 40;
    return true;
  });
  tick_ = 0xFFFFFFFFu - 30000;  // the deadline lies past the wrap
  app_.settings().rec_time = 1;
  ASSERT_TRUE(app_.ToggleRecording(false, dir_ + "/timer.ts"));
  ASSERT_TRUE(app_.GetStopDeadline().has_value());
  tick_ += 1500;
  StatusSnapshot s = app_.RefreshStatus();
  EXPECT_TRUE(app_.IsRecording());
  EXPECT_EQ(s.bar[1], "0:01");
  EXPECT_EQ(Utf8(s.bar[2]), "0:58 後に自動停止");
  tick_ += 58500;  // exactly the deadline, on the other side of zero
  s = app_.RefreshStatus();
  EXPECT_FALSE(app_.IsRecording());
  EXPECT_EQ(s.bar[1], " ");
  EXPECT_EQ(Utf8(s.bar[2]), "自動停止処理中");
  EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(CaptureAppTest, RecordingWithoutTimerSaysSo) {
  app_.SetFreeSpaceQuery([](const std::string&, uint64_t* b) {
    *b = 1ull << 40;
    return true;
  });
  app_.settings().rec_time = -5;
  ASSERT_TRUE(app_.ToggleRecording(false, dir_ + "/t.ts"));
  EXPECT_FALSE(app_.GetStopDeadline().has_value());
  tick_ += 3600000;
  const StatusSnapshot s = app_.RefreshStatus();
  EXPECT_EQ(s.bar[1], "60:00");
  EXPECT_EQ(Utf8(s.bar[2]), "録画自動停止設定なし");
}

TEST_F(CaptureAppTest, PlusTenMinutes) {
  // Without a recording the step belongs to the stop-timer edit; REC_TIME stays.
  app_.settings().rec_time = 7;
  EXPECT_EQ(app_.ExtendStopTimer(5), 15);
  EXPECT_EQ(app_.settings().rec_time, 7);
  EXPECT_EQ(app_.ExtendStopTimer(CaptureApp::kMaxStopMinutes - 3), CaptureApp::kMaxStopMinutes);
  ASSERT_TRUE(app_.ToggleRecording(false, dir_ + "/ten.ts", 30));
  const uint32_t deadline = *app_.GetStopDeadline();
  EXPECT_EQ(deadline, tick_.load() + 30u * 60000u);
  EXPECT_EQ(app_.ExtendStopTimer(30), 30);
  EXPECT_EQ(*app_.GetStopDeadline(), deadline + 600000u);
  EXPECT_EQ(app_.settings().rec_time, 30);
  app_.ToggleRecording(true);
  ASSERT_TRUE(app_.ToggleRecording(false, dir_ + "/ten2.ts", 0));
  app_.ExtendStopTimer(0);  // no timer armed: nothing to extend
  EXPECT_FALSE(app_.GetStopDeadline().has_value());
}

TEST_F(CaptureAppTest, StopMinutesBecomeRecTimeOnlyWhenTheStartSucceeds) {
  app_.settings().rec_time = 12;
  EXPECT_FALSE(app_.ToggleRecording(false, dir_ + "/missing/x.ts", 45));
  EXPECT_EQ(app_.settings().rec_time, 12);
  EXPECT_FALSE(app_.GetStopDeadline().has_value());
  ASSERT_TRUE(app_.ToggleRecording(false, dir_ + "/x.ts", 45));
  EXPECT_EQ(app_.settings().rec_time, 45);
  EXPECT_EQ(*app_.GetStopDeadline(), tick_.load() + 45u * 60000u);
}

TEST_F(CaptureAppTest, LongStopTimersDoNotOverflowTheTick) {
  app_.SetFreeSpaceQuery([](const std::string&, uint64_t* b) {
    *b = 1ull << 40;
    return true;
  });
  // 71,583 minutes once wrapped to seconds, 35,792 stopped at the first refresh.
  for (int minutes : {35792, 71583, 0x7FFFFFFF}) {
    ASSERT_TRUE(app_.ToggleRecording(false, dir_ + "/long" + std::to_string(minutes) + ".ts", minutes));
    const uint32_t left = *app_.GetStopDeadline() - tick_.load();
    EXPECT_EQ(left, uint32_t{CaptureApp::kMaxStopMinutes} * 60000u);
    tick_ += 1000;
    app_.RefreshStatus();
    EXPECT_TRUE(app_.IsRecording()) << minutes;
    // "+10分" stays within the bound.
    app_.ExtendStopTimer(0);
    EXPECT_LE(*app_.GetStopDeadline() - tick_.load(), uint32_t{CaptureApp::kMaxStopMinutes} * 60000u);
    EXPECT_FALSE(TickReached(tick_.load(), *app_.GetStopDeadline()));
    app_.ToggleRecording(true);
  }
}

TEST_F(CaptureAppTest, AutomaticNameGoesIntoTheFolderWithoutTrailingSlash) {
  app_.settings().rec_autofilename = 1;
  app_.settings().rec_autopath = dir_;
  ASSERT_TRUE(app_.ToggleRecording(false));
  const std::string path = app_.GetRecordingPath();
  const std::string name = path.substr(dir_.size() + 1);
  EXPECT_EQ(path.substr(0, dir_.size() + 1), dir_ + "/");
  ASSERT_EQ(name.size(), std::string("cap-20080303-211502.ts").size()) << name;
  EXPECT_EQ(name.substr(0, 4), "cap-");
  EXPECT_EQ(name.substr(12, 1), "-");
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(CaptureAppTest, MissingAutomaticFolderFailsWithTwoMessages) {
  app_.settings().rec_autofilename = 1;
  app_.settings().rec_autopath = dir_ + "/missing";
  EXPECT_FALSE(app_.ToggleRecording(false));
  ASSERT_EQ(messages_.shown.size(), 2u);
  EXPECT_EQ(messages_.shown[0].text, "");
  EXPECT_EQ(messages_.shown[0].caption, "pelkan");
  EXPECT_EQ(Utf8(messages_.shown[1].text), "開始に失敗しました");
  EXPECT_FALSE(app_.IsRecording());
}

TEST_F(CaptureAppTest, CancelledSaveDialogFails) {
  struct Cancel : SavePathProvider {
    bool AskSavePath(std::string*) override { return false; }
  } cancel;
  app_.SetSavePathProvider(&cancel);
  EXPECT_FALSE(app_.ToggleRecording(false));
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(Utf8(messages_.shown[0].text), "開始に失敗しました");
  struct Choose : SavePathProvider {
    std::string path;
    bool AskSavePath(std::string* p) override {
      *p = path;
      return true;
    }
  } choose;
  choose.path = dir_ + "/chosen.ts";
  app_.SetSavePathProvider(&choose);
  EXPECT_TRUE(app_.ToggleRecording(false));
  EXPECT_EQ(app_.GetRecordingPath(), choose.path);
  app_.SetSavePathProvider(nullptr);
}

TEST_F(CaptureAppTest, SendingPortIsTakenModulo65536) {
  app_.settings().network_address = "127.0.0.1";
  app_.settings().network_port = 70000;
  ASSERT_TRUE(app_.ToggleSending(false));
  EXPECT_EQ(app_.GetSendingPort(), 4464);
  EXPECT_EQ(Utf8(app_.RefreshStatus().sending), "送信バッファ中");
  EXPECT_FALSE(app_.ToggleSending(false));  // a second toggle stops
  EXPECT_EQ(Utf8(app_.RefreshStatus().sending), "送信停止中");
}

TEST_F(CaptureAppTest, UnresolvableHostFailsToSend) {
  app_.settings().network_address = "no-such-host.invalid";
  EXPECT_FALSE(app_.ToggleSending(false));
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(Utf8(messages_.shown[0].text), "開始に失敗しました");
  EXPECT_EQ(messages_.shown[0].caption, "pelkan");
}

// Port 0 (and 65536, which the modulo makes 0) used to "send" forever with every sendto failing.
TEST_F(CaptureAppTest, SendingToPortZeroIsRefusedAtStart) {
  app_.settings().network_address = "127.0.0.1";
  for (int port : {0, 65536, 131072}) {
    messages_.shown.clear();
    app_.settings().network_port = port;
    EXPECT_FALSE(app_.ToggleSending(false)) << port;
    EXPECT_FALSE(app_.IsSending());
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(Utf8(messages_.shown[0].text), "開始に失敗しました");
    EXPECT_NE(app_.GetLastError().find("port 0"), std::string::npos) << app_.GetLastError();
  }
}

// An existing file is never truncated unasked: the explicit path is refused (unless replacing is
// asked for), an automatic name takes the next free name.
TEST_F(CaptureAppTest, ManualRecordingNeverTruncatesAnExistingFile) {
  const std::string path = dir_ + "/old.ts";
  std::ofstream(path) << "keep";
  EXPECT_FALSE(app_.ToggleRecording(false, path));
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(Utf8(messages_.shown[0].text), "開始に失敗しました");
  EXPECT_NE(app_.GetLastError().find("already exists"), std::string::npos) << app_.GetLastError();
  EXPECT_EQ(std::filesystem::file_size(path), 4u);
  ASSERT_TRUE(app_.ToggleRecording(false, path, std::nullopt, true));
  app_.ToggleRecording(true);
  EXPECT_EQ(std::filesystem::file_size(path), 0u);

  app_.settings().rec_autofilename = 1;
  app_.settings().rec_autopath = dir_;
  ASSERT_TRUE(app_.ToggleRecording(false));
  const std::string first = app_.GetRecordingPath();
  app_.ToggleRecording(true);
  std::ofstream(first) << "keep";
  ASSERT_TRUE(app_.ToggleRecording(false));
  const std::string second = app_.GetRecordingPath();
  app_.ToggleRecording(true);
  EXPECT_NE(second, first);
  EXPECT_EQ(ReadFile(first).size(), 4u);
  // Within the same second the name is numbered.
  if (second.substr(0, first.size() - 3) == first.substr(0, first.size() - 3)) {
    EXPECT_EQ(second, first.substr(0, first.size() - 3) + "-1.ts");
  }
}

// A disk that fills (/dev/full fails every write with ENOSPC): the recording stops at the next
// status refresh and says why, instead of going on as if it were written.
TEST_F(CaptureAppTest, FailedWriteStopsTheManualRecordingWithAMessage) {
  app_.SetFreeSpaceQuery([](const std::string&, uint64_t* b) {
    *b = 1ull << 40;
    return true;
  });
  ASSERT_TRUE(app_.Connect(Request()));
  ASSERT_TRUE(app_.ToggleRecording(false, "/dev/full"));
  const auto stream = MakePacketRun(0x100, 8192);  // more than one 1 MiB block
  ASSERT_TRUE(device_->Deliver(stream.data(), stream.size()));
  WaitDrained();
  app_.RefreshStatus();
  EXPECT_FALSE(app_.IsRecording());
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(Utf8(messages_.shown[0].text), "録画ファイルに書き込めないので録画停止しました。");
  EXPECT_EQ(messages_.shown[0].caption, "ERROR");
  EXPECT_NE(app_.GetLastError().find("No space left"), std::string::npos) << app_.GetLastError();

  // A failure of the last part, written when the recording is stopped, is reported as well.
  messages_.shown.clear();
  ASSERT_TRUE(app_.ToggleRecording(false, "/dev/full"));
  const auto few = MakePacketRun(0x100, 175 * 2);
  ASSERT_TRUE(device_->Deliver(few.data(), few.size()));
  WaitDrained();
  app_.ToggleRecording(true);
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(Utf8(messages_.shown[0].text), "録画ファイルに書き込めないので録画停止しました。");
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every manual recording leaves its report, whose counts are those of a check of its file; the
// sync losses and FIFO overflows while it ran are counted, also across a "クリア".
TEST_F(CaptureAppTest, ManualRecordingLeavesAReportWithTheCountsOfItsFile) {
  ASSERT_TRUE(app_.Connect(Request()));
  const std::string path = dir_ + "/rec.ts";
  app_.stats().sync_losses = 5;
  ASSERT_TRUE(app_.ToggleRecording(false, path));
  EXPECT_FALSE(app_.GetLastRecording());
  std::vector<uint8_t> stream = MakePacketRun(0x100, 4000);
  const auto rest = MakePacketRun(0x100, 4000, 4003);  // three packets lost
  stream.insert(stream.end(), rest.begin(), rest.end());
  ASSERT_TRUE(device_->Deliver(stream.data(), stream.size()));
  WaitFed(stream.size() / CaptureApp::kBlockSize);
  app_.stats().sync_losses = 7;
  app_.RefreshStatus();
  app_.ClearStatistics();
  app_.stats().sync_losses = 1;
  app_.stats().fifo_overflows = 2;
  app_.ToggleRecording(true);

  const auto last = app_.GetLastRecording();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->report_path, path + ".err");
  EXPECT_EQ(last->end, RecordingEnd::kComplete);
  EXPECT_EQ(last->drop, 3u);
  EXPECT_EQ(last->sync_losses, 3u);
  EXPECT_EQ(last->fifo_overflows, 2u);
  const std::string report = ReadText(path + ".err");
  EXPECT_NE(report.find("result              complete\n"), std::string::npos) << report;
  EXPECT_NE(report.find("sync losses         3\n"), std::string::npos) << report;
  EXPECT_EQ(testing::ReportTable(report), testing::CheckTable(path));
  // 45 whole blocks were fed: 7,843 whole packets.
  EXPECT_NE(report.find("\ntotal       packets 7843  drop 3  error 0  scrambled 0\n"), std::string::npos)
      << report;

  EXPECT_EQ(Utf8(app_.RefreshStatus().last_recording), "ドロップ 3  エラー 0  スクランブル 0");

  // The next recording's start puts the totals away.
  ASSERT_TRUE(app_.ToggleRecording(false, dir_ + "/next.ts"));
  EXPECT_FALSE(app_.GetLastRecording());
  EXPECT_EQ(app_.RefreshStatus().last_recording, "");
}

// The report of a manual recording names each service of its stream with its programme on air,
// from the processor's own tables: no information model (filtering window) is needed for that.
TEST_F(CaptureAppTest, ManualReportNamesTheProgrammesWithoutTheInformationModel) {
  constexpr uint16_t kMjd = 54528;  // 2008-03-03
  app_.settings().decode_psi = 1;
  app_.settings().proc_epg = 1;
  ASSERT_TRUE(app_.Connect(Request()));
  const std::string path = dir_ + "/named.ts";
  ASSERT_TRUE(app_.ToggleRecording(false, path));
  test::TsBuilder b;
  b.Section(0, test::PatSection(0x7FE0, 0, {{0x400, 0x1F0}}));
  b.Section(0x1F0, test::PmtSection(0x400, 0, 0x100, {{0x02, 0x100, {}}}));
  b.Section(0x11, test::SdtSection(0x42, 0x7FE0, 0x7FE0, 0,
                                   {{0x400, test::ServiceDescriptor(0x01, {}, test::AribAlnum("TV1"))}}));
  b.Section(0x12, test::EitSection(0x4E, 0x400, 1, 0,
                                   {{0x1234, kMjd, {0x21, 0, 0}, {0, 0x30, 0},
                                     test::ShortEventDescriptor(test::AribAlnum("NEWS"), {})}}));
  b.Section(0x14, test::TotSection(kMjd, 0x21, 0x10, 0));
  for (int i = 0; i < 1000; ++i) b.Packet(0x100, test::Bytes(184, 0x11));
  ASSERT_TRUE(device_->Deliver(b.bytes().data(), b.bytes().size()));
  WaitFed(b.bytes().size() / CaptureApp::kBlockSize);
  app_.RefreshStatus();
  app_.ToggleRecording(true);
  const std::string report = ReadText(path + ".err");
  EXPECT_NE(report.find("service             1024 ＴＶ１: ＮＥＷＳ\n"), std::string::npos) << report;
}

// A recording stopped because its file could not be written, or its disk is nearly full, still
// leaves a report that says so.
TEST_F(CaptureAppTest, StoppedRecordingsStillLeaveAReportThatSaysWhy) {
  app_.SetFreeSpaceQuery([](const std::string&, uint64_t* b) {
    *b = 1ull << 40;
    return true;
  });
  ASSERT_TRUE(app_.Connect(Request()));
  const auto stream = MakePacketRun(0x100, 16384);  // 3 MiB
  {
    const FileSizeLimit limit(0x180000);
    ASSERT_TRUE(app_.ToggleRecording(false, dir_ + "/full.ts"));
    ASSERT_TRUE(device_->Deliver(stream.data(), stream.size()));
    WaitFed(stream.size() / CaptureApp::kBlockSize);
    app_.RefreshStatus();
    ASSERT_FALSE(app_.IsRecording());
  }
  ASSERT_TRUE(app_.GetLastRecording());
  EXPECT_EQ(app_.GetLastRecording()->end, RecordingEnd::kWriteFailed);
  EXPECT_EQ(app_.GetLastRecording()->packets, 0x180000u / 188);
  const std::string full = ReadText(dir_ + "/full.ts.err");
  EXPECT_NE(full.find("result              stopped: the file could not be written (File too large)\n"),
            std::string::npos)
      << full;
  EXPECT_EQ(testing::ReportTable(full), testing::CheckTable(dir_ + "/full.ts"));

  app_.SetFreeSpaceQuery([](const std::string&, uint64_t* b) {
    *b = 200ull << 20;
    return true;
  });
  ASSERT_TRUE(app_.ToggleRecording(false, dir_ + "/low.ts"));
  app_.RefreshStatus();
  ASSERT_FALSE(app_.IsRecording());
  EXPECT_EQ(app_.GetLastRecording()->end, RecordingEnd::kLowDisk);
  EXPECT_NE(
      ReadText(dir_ + "/low.ts.err").find("result              stopped: 200 MiB or less free on the disk\n"),
      std::string::npos);
}

TEST_F(CaptureAppTest, ClearStatisticsKeepsRateAndClock) {
  app_.stats().sync_losses = 3;
  app_.stats().fifo_overflows = 2;
  app_.stats().transfer_rate = 5.0;
  app_.stats().clock_date = 54528;
  app_.ClearStatistics();
  EXPECT_EQ(app_.stats().sync_losses.load(), 0u);
  EXPECT_EQ(app_.stats().fifo_overflows.load(), 0u);
  EXPECT_EQ(app_.stats().transfer_rate.load(), 5.0);
  EXPECT_EQ(app_.stats().clock_date.load(), 54528u);
}

TEST_F(CaptureAppTest, SchedulerGetsTheClockOnlyWhileProcessing) {
  CountingScheduler scheduler;
  app_.bus().Add(&scheduler);
  app_.stats().clock_date = 54528;
  app_.stats().clock_time = 100;
  app_.stats().clock_tick = tick_.load();
  EXPECT_EQ(app_.RefreshStatus().bar[3], " ");
  EXPECT_TRUE(scheduler.clocks.empty());
  ASSERT_TRUE(app_.Connect(Request()));
  for (int i = 0; i < 1000 && !app_.IsProcessing(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // The time told 2.5 s before the refresh goes on from there; one the processing thread told
  // after the refresh took its time (on a busy machine) is not older than that time: its tick
  // once counted as 49 days ago, and every reservation expired unrecorded at once.
  const struct {
    const char* what;
    int32_t told;  // ms from the refresh's time
    uint32_t seconds;
    const char* clock;
  } cases[] = {
      {"told before", -2500, 102, " 2008/03/03\n00:01:42"},
      {"told after the refresh took its time", 40, 100, "*2008/03/03\n00:01:40"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    app_.stats().SetClock(54528, 100, tick_.load() + static_cast<uint32_t>(c.told));
    const StatusSnapshot s = app_.RefreshStatus();
    EXPECT_EQ(s.bar[3], "sched");
    ASSERT_FALSE(scheduler.clocks.empty());
    EXPECT_EQ(scheduler.clocks.back().date, 54528u);
    EXPECT_EQ(scheduler.clocks.back().seconds, c.seconds);
    EXPECT_EQ(s.clock, c.clock);
  }
  app_.Disconnect();
  app_.bus().Remove(&scheduler);
}

// The end of a manual recording reaches every listener that subscribed (the command after it,
// the notifications, a front-end), in the order they came; one removed hears no more.
TEST_F(CaptureAppTest, EveryListenerHearsTheManualRecordingsEnd) {
  std::vector<std::string> heard;
  app_.manual().AddEndListener([&heard](const std::string& path, const RecordingSummary&) {
    heard.push_back("a " + path);
  });
  const int second = app_.manual().AddEndListener([&heard](const std::string& path, const RecordingSummary&) {
    heard.push_back("b " + path);
  });
  const std::string one = dir_ + "/one.ts", two = dir_ + "/two.ts";
  ASSERT_TRUE(app_.ToggleRecording(false, one));
  EXPECT_FALSE(app_.ToggleRecording(true));
  app_.manual().RemoveEndListener(second);
  ASSERT_TRUE(app_.ToggleRecording(false, two));
  EXPECT_FALSE(app_.ToggleRecording(true));
  EXPECT_EQ(heard, (std::vector<std::string>{"a " + one, "b " + one, "a " + two}));
}

TEST_F(CaptureAppTest, ElapsedTimeComesFromTheDeviceStatistics) {
  const StatusSnapshot s = app_.RefreshStatus();
  EXPECT_EQ(s.transfers_ok, "0");
  EXPECT_EQ(s.transfers_failed, "0");
  EXPECT_EQ(s.rate, "0.00 Mbps");
  EXPECT_EQ(Utf8(s.recording), "録画停止中");
  EXPECT_EQ(s.free_space, " ");
  EXPECT_EQ(Utf8(s.sending), "送信停止中");
  EXPECT_EQ(s.clock, "");
}

// Recording and sending start and stop over and over while packets flow: the processing thread
// must never touch a recorder or sender that the UI thread has removed.
TEST_F(CaptureAppTest, OutputsCanStopWhilePacketsFlow) {
  app_.settings().network_address = "127.0.0.1";
  app_.settings().network_port = 9;  // discard; nothing listens, datagrams are dropped
  app_.settings().network_send_size = 1000;
  app_.SetFreeSpaceQuery([](const std::string&, uint64_t* b) {
    *b = 1ull << 40;
    return true;
  });
  ASSERT_TRUE(app_.Connect(Request()));
  std::atomic<bool> done{false};
  std::thread feeder([&] {
    uint32_t index = 0;
    while (!done.load()) {
      const auto run = MakePacketRun(0x100, 1024, index);
      index += 1024;
      device_->Deliver(run.data(), run.size());
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  for (int i = 0; i < 60; ++i) {
    app_.ToggleRecording(false, dir_ + "/flow" + std::to_string(i % 3) + ".ts");
    app_.ToggleSending(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    app_.RefreshStatus();
    app_.ToggleRecording(true);
    app_.ToggleSending(true);
  }
  ASSERT_TRUE(app_.ToggleRecording(false, dir_ + "/last.ts"));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  app_.Disconnect();  // stops the recording while the feeder still delivers
  done = true;
  feeder.join();
  const auto file = ReadFile(dir_ + "/last.ts");
  EXPECT_EQ(file.size() % 188, 0u);
  for (size_t off = 0; off < file.size(); off += 188) ASSERT_EQ(file[off], 0x47) << off;
}

// A VIRTUAL_TUNER_FILE that cannot be played (missing, a folder, a device, empty) used to give way
// silently to the synthetic broadcast; the connect is now refused and says why.
TEST(CaptureAppVirtualTuner, FileThatCannotBePlayedIsRefusedAtConnect) {
  char pattern[] = "/tmp/pelkan-vfile-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  std::ofstream(dir + "/empty.ts").flush();
  {
    const auto packets = MakePacketRun(0x100, 200);
    std::ofstream(dir + "/good.ts", std::ios::binary)
        .write(reinterpret_cast<const char*>(packets.data()), static_cast<std::streamsize>(packets.size()));
  }
  ConnectRequest request;
  request.device_index = 0;
  request.in_address = usb::VirtualTunerDriver::kStreamEndpoint;
  request.out_address = core::kNoEndpoint;
  const std::pair<std::string, std::string> cases[] = {
      {dir + "/missing.ts", "cannot be opened: No such file or directory"},
      {dir, "is a folder"},
      {"/dev/zero", "is not a regular file"},
      {dir + "/empty.ts", "is empty"},
      {dir + "/good.ts", ""},
  };
  for (const auto& [file, reason] : cases) {
    SCOPED_TRACE(file);
    QueueDispatcher dispatcher;
    RecordingMessages messages;
    CaptureApp app(&dispatcher, &messages);
    usb::DriverConfig config;
    config.use_libusb = false;
    config.virtual_tuner_file = file;
    auto device = std::make_unique<core::CDTV_EzUSBFX2>(config);
    ASSERT_TRUE(device->OpenDevice());
    app.SetDevice(std::move(device));
    if (reason.empty()) {
      EXPECT_TRUE(app.Connect(request)) << app.GetLastError();
      app.Disconnect();
      continue;
    }
    EXPECT_FALSE(app.Connect(request));
    EXPECT_NE(app.GetLastError().find("VIRTUAL_TUNER_FILE " + file + " " + reason), std::string::npos)
        << app.GetLastError();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(Utf8(messages.shown[0].text)
                  .rfind("開始に失敗しました\nVIRTUAL_TUNER_FILE " + file + " " + reason, 0),
              0u)
        << Utf8(messages.shown[0].text);
    EXPECT_EQ(messages.shown[0].caption, "Error");
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pelkan

namespace pelkan {
namespace {

// logind's word that the computer woke reaches the owning thread while connected and is logged
// once; going to sleep, and anything after the disconnection, is not.
TEST_F(CaptureAppTest, WakingFromSleepIsLoggedOnTheOwningThread) {
  testing::MockLogind logind;
  ASSERT_TRUE(logind.Start()) << logind.Error();
  std::vector<std::string> log;
  app_.SetLog([&](const std::string& line) { log.push_back(line); });
  ASSERT_TRUE(app_.Connect(Request()));
  // The watcher listens once its match is on the bus; the mock's signals before that are lost.
  for (int i = 0; i < 500 && log.empty(); ++i) {
    ASSERT_TRUE(logind.EmitPrepareForSleep(true));
    ASSERT_TRUE(logind.EmitPrepareForSleep(false));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    dispatcher_.RunPending();
  }
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), status_text::kWokeUtf8);
  app_.Disconnect();
  const size_t heard = log.size();
  ASSERT_TRUE(logind.EmitPrepareForSleep(false));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  dispatcher_.RunPending();
  EXPECT_EQ(log.size(), heard);
}

}  // namespace
}  // namespace pelkan
