// The capture device and the libusb backend against the real libusb-1.0 library, which talks to an
// FX2 tuner and a Cypress USB-storage bridge emulated at the usbfs level.
#include <gtest/gtest.h>
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/device_list.h"
#include "cli/cli_commands.h"
#include "core/capture_app.h"
#include "core/dtv_ezusb_fx2.h"
#include "platform/text_codec.h"
#include "tests/support/capture_fakes.h"
#include "tests/support/stream_sink.h"
#include "usb/libusb_driver.h"
#include "usb/ts_source.h"
#include "usbfs_emulator.h"

namespace pelkan {
namespace {

using core::CDTV_EzUSBFX2;
using usb::PatternTsSource;
using usbfs::StreamEvent;
using Kind = usbfs::StreamEvent::Kind;
constexpr uint32_t kSize = CDTV_EzUSBFX2::kTransferSize;

using pelkan::testing::Sink;

// Runs `fn` in an empty temporary folder (no pelkan.ini: the default device set).
template <typename Fn>
void InTemporaryFolder(Fn&& fn) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string dir = ::testing::TempDir();
  ASSERT_EQ(chdir(dir.c_str()), 0);
  fn();
  ASSERT_EQ(chdir(cwd), 0);
}

// Another program that has the tuner: its own libusb context, the tuner's interface claimed.
struct OtherProgram {
  OtherProgram() {
    if (libusb_init(&ctx) != 0) return;
    handle = libusb_open_device_with_vid_pid(ctx, 0x04B4, 0x1004);
    claimed = handle != nullptr && libusb_claim_interface(handle, 0) == 0;
  }
  ~OtherProgram() {
    if (claimed) libusb_release_interface(handle, 0);
    if (handle != nullptr) libusb_close(handle);
    if (ctx != nullptr) libusb_exit(ctx);
  }
  libusb_context* ctx = nullptr;
  libusb_device_handle* handle = nullptr;
  bool claimed = false;
};

// The transfer threads' time limits, shortened for the emulation.
CDTV_EzUSBFX2::TimeLimits ShortLimits() {
  CDTV_EzUSBFX2::TimeLimits limits;
  limits.transfer_wait_ms = 200;
  limits.cancel_wait_ms = 1000;
  limits.stop_drain_ms = 3000;
  return limits;
}

struct EmulatedTunerTest : ::testing::Test {
  // A storage bridge at 1-2 and the tuner at 1-5, then the libusb context.
  void Make(std::vector<StreamEvent> events = {}, const std::u16string& product = u"FX2 tuner") {
    bridge = &bed.Add(usbfs::StorageBridge(2));
    usbfs::DeviceDescription device_desc = usbfs::Fx2Tuner(5, product);
    device_desc.events = std::move(events);
    tuner = &bed.Add(std::move(device_desc));
    driver = usb::LibusbDriver::Create({});
    ASSERT_NE(driver, nullptr);
    dev = std::make_unique<CDTV_EzUSBFX2>(driver);
    dev->SetDataCallback(&Sink::Callback, &sink);
    dev->SetTimeLimits(ShortLimits());
    ASSERT_EQ(dev->OpenDevice(), 1);
  }
  void ExpectBridgeUntouched() {
    const usbfs::DeviceCounts b = bridge->Counts();
    EXPECT_EQ(b.opens, 0);
    EXPECT_EQ(b.claims, 0);
    EXPECT_EQ(b.detaches, 0);
  }

  usbfs::Testbed bed;  // outlives the libusb context
  usbfs::EmulatedDevice* bridge = nullptr;
  usbfs::EmulatedDevice* tuner = nullptr;
  std::shared_ptr<usb::LibusbDriver> driver;
  std::unique_ptr<CDTV_EzUSBFX2> dev;
  Sink sink;
};

TEST_F(EmulatedTunerTest, ListingShowsTheTunerAndLeavesTheBridgeAlone) {
  Make({}, u"FX2 \u30C1\u30E5\u30FC\u30CA\u30FC");  // FX2 チューナー
  ASSERT_EQ(dev->GetDeviceCount(), 1);
  const auto devices = ListDevices(*dev);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].name, "FX2 \x83`\x83\x85\x81[\x83i\x81[");
  EXPECT_FALSE(devices[0].access_refused);
  const EndpointChoice c = ListBulkEndpoints(*dev, 0, -1, -1);
  EXPECT_EQ(c.in, (std::vector<uint8_t>{0x86}));
  EXPECT_EQ(c.out, (std::vector<uint8_t>{0x02, 0x04}));
  EXPECT_EQ(dev->HasEndpoint(0, 0x88), 1);
  // Listing opens the tuner to read its strings, and claims and detaches nothing.
  const usbfs::DeviceCounts t = tuner->Counts();
  EXPECT_GE(t.opens, 1);
  EXPECT_EQ(t.claims, 0);
  EXPECT_EQ(t.detaches, 0);
  ExpectBridgeUntouched();
}

TEST_F(EmulatedTunerTest, DevicesCommandListsOnlyTheTuner) {
  Make();
  dev.reset();
  driver.reset();
  int rc = -1;
  std::string out;
  InTemporaryFolder([&] {
    ::testing::internal::CaptureStdout();
    char arg0[] = "devices";
    char* argv[] = {arg0, nullptr};
    rc = cli::RunDevices(0, argv + 1);
    out = ::testing::internal::GetCapturedStdout();
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out.find("0: FX2 tuner\n"), 0u) << out;
  EXPECT_EQ(out.find("Storage"), std::string::npos) << out;
  EXPECT_NE(out.find("1: Virtual FX2 tuner"), std::string::npos) << out;
  // The last bulk OUT endpoint is the default, as in the window.
  EXPECT_NE(out.find("0: FX2 tuner\n   in:  *0x86\n   out: none 0x02 *0x04\n"), std::string::npos) << out;
  ExpectBridgeUntouched();
  EXPECT_EQ(tuner->Counts().claims, 0);
}

TEST_F(EmulatedTunerTest, ATunerAnotherProgramHoldsIsReportedAsInUse) {
  Make();
  auto other = std::make_unique<OtherProgram>();
  ASSERT_TRUE(other->claimed);
  // The claim is refused (EBUSY): nothing starts, and the tuner stays with the other program.
  EXPECT_EQ(dev->Start(0, 0x86, core::kNoEndpoint), 0);
  EXPECT_EQ(dev->IsDeviceInUse(), 1);
  EXPECT_EQ(dev->GetStartError(), "another program is using the tuner");
  EXPECT_EQ(dev->IsStreaming(), 0);
  EXPECT_EQ(tuner->Counts().claims, 1);
  {
    // The desktop program connects through CaptureApp, which says so in a message box.
    testing::QueueDispatcher dispatcher;
    testing::RecordingMessages messages;
    CaptureApp app(&dispatcher, &messages);
    app.SetDevice(std::move(dev));
    ConnectRequest r;
    r.device_index = 0;
    r.in_address = 0x86;
    r.out_address = core::kNoEndpoint;
    EXPECT_FALSE(app.Connect(r));
    EXPECT_FALSE(app.IsConnected());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(platform::SjisToUtf8(messages.shown[0].text), "他のプログラムがこのチューナーを使用しています");
    EXPECT_EQ(messages.shown[0].caption, "Error");
    EXPECT_EQ(app.GetLastError(), "another program is using the tuner");
  }
  // pelkan-cli says it on stderr and exits 1.
  int rc = -1;
  std::string err;
  InTemporaryFolder([&] {
    ::testing::internal::CaptureStderr();
    char arg0[] = "capture", arg1[] = "--seconds", arg2[] = "1";
    char* argv[] = {arg0, arg1, arg2, nullptr};
    rc = cli::RunCapture(2, argv + 1);
    err = ::testing::internal::GetCapturedStderr();
  });
  EXPECT_EQ(rc, 1);
  EXPECT_NE(err.find("pelkan-cli capture: cannot connect: another program is using the tuner\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(tuner->Counts().claims, 1);
  // Once the other program lets go, the tuner streams.
  other.reset();
  CDTV_EzUSBFX2 again(driver);
  again.SetDataCallback(&Sink::Callback, &sink);
  ASSERT_EQ(again.OpenDevice(), 1);
  ASSERT_EQ(again.Start(0, 0x86, core::kNoEndpoint), 1);
  EXPECT_EQ(again.IsDeviceInUse(), 0);
  ASSERT_TRUE(sink.WaitFor(kSize));
  ASSERT_EQ(again.Stop(), 1);
  EXPECT_EQ(sink.FirstMismatch(), -1);
}

TEST_F(EmulatedTunerTest, InitialisationWritesArriveInOrderAndTheClaimIsGivenBack) {
  Make();
  dev->SetInitialisation(1);
  ASSERT_EQ(dev->Start(0, 0x86, 0x02), 1);
  ASSERT_TRUE(sink.WaitFor(kSize));
  ASSERT_EQ(dev->Stop(), 1);
  const auto out = tuner->OutTransfers();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], (std::pair<uint8_t, std::vector<uint8_t>>{0x02, {0x80, 0x00}}));
  EXPECT_EQ(out[1], (std::pair<uint8_t, std::vector<uint8_t>>{0x02, {0x8B}}));
  EXPECT_EQ(out[2], (std::pair<uint8_t, std::vector<uint8_t>>{0x02, {0x80, 0x01}}));
  EXPECT_EQ(tuner->Counts().claims, 1);
  EXPECT_EQ(tuner->Counts().detaches, 0);
  EXPECT_EQ(tuner->UrbsHeld(), 0);
  ExpectBridgeUntouched();
}

TEST_F(EmulatedTunerTest, ThirtyTwoTransfersInFlightDeliverTheStreamInOrder) {
  // A tuner that starts sending a moment late finds every transfer queued.
  Make({{0, Kind::kPause, 0, 100}});
  ASSERT_EQ(dev->Start(0, 0x86, core::kNoEndpoint), 1);
  ASSERT_TRUE(sink.WaitFor(8u << 20));
  ASSERT_EQ(dev->Stop(), 1);
  EXPECT_EQ(sink.FirstMismatch(), -1);
  const core::DtvStatistics st = dev->GetStatistics();
  EXPECT_EQ(st.transfers_failed, 0u);
  EXPECT_EQ(st.total_bytes, sink.bytes.size());
  const usbfs::DeviceCounts t = tuner->Counts();
  EXPECT_EQ(t.max_in_flight, CDTV_EzUSBFX2::kTransferCount);
  // Nothing the tuner put into a transfer is missing from what was handed on.
  EXPECT_EQ(t.streamed, sink.bytes.size());
  EXPECT_EQ(tuner->UrbsHeld(), 0);
}

TEST_F(EmulatedTunerTest, ShortAndZeroLengthTransfers) {
  Make({{3, Kind::kShort, 1000}, {5, Kind::kShort, 0}, {6, Kind::kShort, 512}});
  ASSERT_EQ(dev->Start(0, 0x86, core::kNoEndpoint), 1);
  ASSERT_TRUE(sink.WaitFor(20ull * kSize));
  ASSERT_EQ(dev->Stop(), 1);
  EXPECT_EQ(sink.FirstMismatch(), -1);
  EXPECT_EQ(sink.bytes.size() % kSize, 1512u);
  EXPECT_EQ(sink.zero_length_calls, 0);
  EXPECT_EQ(dev->GetStatistics().transfers_failed, 0u);
  EXPECT_EQ(tuner->Counts().streamed, sink.bytes.size());
}

TEST_F(EmulatedTunerTest, AStreamThatStopsDeliversItsPartialData) {
  // The tuner falls silent 12000 bytes into transfer 4, longer than the receive thread waits.
  Make({{4, Kind::kPause, 12000, 300}});
  ASSERT_EQ(dev->Start(0, 0x86, core::kNoEndpoint), 1);
  ASSERT_TRUE(sink.WaitFor(20ull * kSize));
  ASSERT_EQ(dev->Stop(), 1);
  EXPECT_GE(tuner->Counts().discarded, 1);
  EXPECT_EQ(sink.FirstMismatch(), -1);
  EXPECT_EQ(sink.bytes.size() % kSize, 12000u);
  EXPECT_EQ(tuner->Counts().streamed, sink.bytes.size());
  EXPECT_LE(dev->GetStatistics().transfers_failed, 1u);  // at most a transfer cancelled empty
}

TEST_F(EmulatedTunerTest, ATransferThatCompletesAsItIsCancelledIsKept) {
  Make({{4, Kind::kPause, 5000, 5000, true}});
  ASSERT_EQ(dev->Start(0, 0x86, core::kNoEndpoint), 1);
  ASSERT_TRUE(sink.WaitFor(20ull * kSize));
  ASSERT_EQ(dev->Stop(), 1);
  EXPECT_EQ(sink.FirstMismatch(), -1);
  EXPECT_EQ(sink.bytes.size() % kSize, 0u);
  EXPECT_EQ(tuner->Counts().streamed, sink.bytes.size());
  EXPECT_EQ(dev->GetStatistics().transfers_failed, 0u);
}

TEST_F(EmulatedTunerTest, AStallIsClearedAndStreamingResumes) {
  Make({{6, Kind::kStall, 3000}});
  ASSERT_EQ(dev->Start(0, 0x86, core::kNoEndpoint), 1);
  ASSERT_TRUE(sink.WaitFor(4u << 20));
  ASSERT_EQ(dev->Stop(), 1);
  EXPECT_EQ(tuner->Counts().halt_clears, 1);
  EXPECT_EQ(dev->GetHaltClears(), 1u);
  EXPECT_GE(dev->GetStatistics().transfers_failed, 1u);
  // The 3000 bytes before the stall are there, and nothing after them is missing.
  EXPECT_EQ(sink.FirstMismatch(), -1);
  EXPECT_EQ(tuner->Counts().streamed, sink.bytes.size());
}

TEST_F(EmulatedTunerTest, UnplugEndsTheThreadsWithoutAHang) {
  Make({{10, Kind::kUnplug, 0}});
  ASSERT_EQ(dev->Start(0, 0x86, core::kNoEndpoint), 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (dev->IsDeviceLost() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(dev->IsDeviceLost(), 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(dev->Stop(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(sink.bytes.size(), 10u * kSize);
  EXPECT_EQ(sink.FirstMismatch(), -1);
  EXPECT_GE(dev->GetStatistics().transfers_failed, 1u);
  EXPECT_EQ(dev->GetAbandonedBufferCount(), 0u);
}

// A tuner that goes silent (no data, no error) past the stall limit has dropped out: it is found
// again in its port, opened and claimed again, and streams on; the bridge beside it is never
// opened, and no byte the tuner delivered is lost.
TEST_F(EmulatedTunerTest, StalledTunerIsReopenedAndStreamsOn) {
  Make({{8, Kind::kPause, 0, 2500}});
  CDTV_EzUSBFX2::TimeLimits limits = ShortLimits();
  limits.stall_ms = 600;
  dev->SetTimeLimits(limits);
  std::atomic<int> lost{0}, back{0};
  dev->SetDropoutListener({[&](CDTV_EzUSBFX2::Dropout d) {
                             EXPECT_EQ(d, CDTV_EzUSBFX2::Dropout::kStalled);
                             ++lost;
                           },
                           [&] { ++back; }, nullptr});
  ASSERT_EQ(dev->Start(0, 0x86, core::kNoEndpoint), 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (back.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(back.load(), 1);
  ASSERT_TRUE(sink.WaitFor(sink.size.load() + 4 * kSize));
  ASSERT_EQ(dev->Stop(), 1);
  EXPECT_EQ(lost.load(), 1);
  EXPECT_GE(tuner->Counts().opens, 2);
  EXPECT_GE(tuner->Counts().claims, 2);
  EXPECT_EQ(bridge->Counts().opens, 0);
  EXPECT_EQ(sink.FirstMismatch(), -1);
  EXPECT_EQ(tuner->Counts().streamed, sink.bytes.size());
}

// The tuner pulled out mid-stream and put back into the same port, where the bus gives it a new
// address (a new device node): the capture carries on with it, one drop-out and one return are
// told, and every byte it sent before and after is handed on in order. A second FX2 tuner plugged
// into another port meanwhile is never opened, nor is the storage bridge.
TEST_F(EmulatedTunerTest, TunerPluggedBackIntoItsPortStreamsOn) {
  Make({{10, Kind::kUnplug, 0}});
  CDTV_EzUSBFX2::TimeLimits limits = ShortLimits();
  limits.rescan_ms = 50;
  dev->SetTimeLimits(limits);
  std::atomic<int> lost{0}, back{0}, looks{0};
  std::atomic<CDTV_EzUSBFX2::Dropout> reason{CDTV_EzUSBFX2::Dropout::kNone};
  dev->SetDropoutListener({[&](CDTV_EzUSBFX2::Dropout d) {
                             reason = d;
                             ++lost;
                           },
                           [&] { ++back; }, [&] { ++looks; }});
  // Waits (at most 10 s) until `done` holds.
  auto wait_until = [](auto done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
  };
  auto listed = [&](const std::string& path) {
    const std::vector<std::string> paths = driver->EnumerateDevices();
    return std::find(paths.begin(), paths.end(), path) != paths.end();
  };
  ASSERT_EQ(dev->Start(0, 0x86, core::kNoEndpoint), 1);
  ASSERT_TRUE(wait_until([&] { return lost.load() == 1; }));
  EXPECT_EQ(reason.load(), CDTV_EzUSBFX2::Dropout::kGone);
  tuner->Remove();
  ASSERT_TRUE(wait_until([&] { return !listed("usb:001:005"); }));

  // Another FX2 tuner in port 3; the tuner's port is looked at twice with it on the list.
  usbfs::DeviceDescription other_desc = usbfs::Fx2Tuner(7, u"Other tuner");
  other_desc.sysname = "1-3";
  usbfs::EmulatedDevice& other = bed.Plug(std::move(other_desc));
  ASSERT_TRUE(wait_until([&] { return listed("usb:001:007"); }));
  const int looked = looks.load();
  ASSERT_TRUE(wait_until([&] { return looks.load() >= looked + 2; }));
  EXPECT_EQ(back.load(), 0);

  // The tuner back in port 5 at address 6, carrying on with the broadcast.
  const uint64_t before = tuner->Counts().streamed;
  EXPECT_EQ(before, 10u * kSize);
  usbfs::DeviceDescription again_desc = usbfs::Fx2Tuner(6);
  again_desc.sysname = "1-5";
  again_desc.stream_offset = before;
  usbfs::EmulatedDevice& again = bed.Plug(std::move(again_desc));
  ASSERT_TRUE(wait_until([&] { return back.load() == 1; }));
  ASSERT_TRUE(sink.WaitFor(before + 8 * kSize));
  ASSERT_EQ(dev->Stop(), 1);

  EXPECT_EQ(lost.load(), 1);
  EXPECT_EQ(back.load(), 1);
  EXPECT_EQ(sink.FirstMismatch(), -1);
  EXPECT_FALSE(sink.bad_total);
  EXPECT_EQ(sink.bytes.size(), before + again.Counts().streamed);
  EXPECT_EQ(again.Counts().claims, 1);
  EXPECT_EQ(again.UrbsHeld(), 0);
  EXPECT_EQ(other.Counts().opens, 0);
  EXPECT_EQ(other.Counts().claims, 0);
  ExpectBridgeUntouched();
}

TEST_F(EmulatedTunerTest, StopWithThirtyTwoInFlightEndsEveryTransfer) {
  Make({{0, Kind::kPause, 0, 60000}});  // the tuner sends nothing
  ASSERT_EQ(dev->Start(0, 0x86, core::kNoEndpoint), 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (tuner->Counts().max_in_flight < CDTV_EzUSBFX2::kTransferCount &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(tuner->Counts().max_in_flight, CDTV_EzUSBFX2::kTransferCount);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(dev->Stop(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(tuner->UrbsHeld(), 0);
  EXPECT_GE(tuner->Counts().discarded, CDTV_EzUSBFX2::kTransferCount - 1);
  EXPECT_EQ(dev->GetAbandonedBufferCount(), 0u);
  EXPECT_EQ(dev->GetFreeBufferCount(), 0u);
  EXPECT_EQ(dev->GetPendingBufferCount(), 0u);
  char text[128];
  EXPECT_STREQ(dev->GetStatusText(text, sizeof text), "");
}

}  // namespace
}  // namespace pelkan
