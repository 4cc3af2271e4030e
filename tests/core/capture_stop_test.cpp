// Stopping while every pipeline thread sleeps: the threads wait on events, and each wait must end
// on the stop request, well within the limits the stop allows.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iterator>
#include <thread>

#include "core/capture_app.h"
#include "core/dtv_ezusb_fx2.h"
#include "tests/support/capture_fakes.h"
#include "usb/ts_source.h"
#include "usb/virtual_tuner.h"

namespace pelkan {
namespace {

using Clock = std::chrono::steady_clock;

size_t ThreadCount() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

// Runs `fn`; a call still running after `limit` ends the test program (it would hang otherwise).
template <typename Fn>
Clock::duration TimeBounded(std::chrono::milliseconds limit, const char* what, Fn fn) {
  std::promise<void> finished;
  std::thread watchdog([&, done = finished.get_future()] {
    if (done.wait_for(limit) == std::future_status::timeout) {
      std::fprintf(stderr, "%s did not end within %lld ms\n", what, static_cast<long long>(limit.count()));
      std::abort();
    }
  });
  const auto t0 = Clock::now();
  fn();
  const auto elapsed = Clock::now() - t0;
  finished.set_value();
  watchdog.join();
  return elapsed;
}

ConnectRequest TunerRequest() {
  return testing::VirtualTunerRequest();
}

class CaptureStop : public ::testing::Test {
 protected:
  // A tuner paced so slowly (`bit_rate` bits per second) that its transfers are due long after the
  // test: the request thread waits for a free buffer, the receive thread for a completion, the
  // tuner for a due time and the processing thread for a block.
  void Make(uint64_t bit_rate) {
    usb::VirtualTunerOptions v;
    v.bit_rate = bit_rate;
    v.source_factory = [] { return std::make_unique<usb::PatternTsSource>(); };
    tuner_ = std::make_shared<usb::VirtualTunerDriver>(v);
    auto device = std::make_unique<core::CDTV_EzUSBFX2>(tuner_);
    device_ = device.get();
    device->OpenDevice();
    app_.SetDevice(std::move(device));
  }
  // Waits until the processor runs and every transfer is queued (the oldest one taken by the
  // receive thread, which waits for it).
  void WaitAllWaiting() {
    constexpr size_t kQueued = core::CDTV_EzUSBFX2::kTransferCount - 1;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while ((!app_.IsProcessing() || device_->GetPendingBufferCount() < kQueued ||
            device_->GetFreeBufferCount() > 0) &&
           Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(app_.IsProcessing());
    ASSERT_GE(device_->GetPendingBufferCount(), kQueued);
    ASSERT_EQ(device_->GetFreeBufferCount(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // all asleep by now
  }

  testing::QueueDispatcher dispatcher_;
  CaptureApp app_{&dispatcher_, nullptr};
  std::shared_ptr<usb::VirtualTunerDriver> tuner_;
  core::CDTV_EzUSBFX2* device_ = nullptr;
};

TEST_F(CaptureStop, DisconnectEndsEveryThreadWhileTheyWait) {
  Make(1000);  // the first transfer would be due after four minutes
  // A sanitizer's runtime starts its own thread with the first thread of the program: let it do so
  // before counting.
  std::thread([] {}).join();
  const size_t before = ThreadCount();
  ASSERT_TRUE(app_.Connect(TunerRequest()));
  WaitAllWaiting();
  EXPECT_GE(ThreadCount(), before + 4);  // request, receive, tuner and processing threads
  const auto limit = std::chrono::milliseconds(CaptureApp::kStopWaitMs);
  const auto took = TimeBounded(limit, "Disconnect", [&] { app_.Disconnect(); });
  // The receive thread may have just begun its wait for the oldest transfer, which the stop
  // cancels; nothing else may take long.
  EXPECT_LT(took, std::chrono::milliseconds(core::CDTV_EzUSBFX2::kTransferWaitMs));
  EXPECT_FALSE(app_.IsConnected());
  EXPECT_FALSE(app_.IsProcessing());
  EXPECT_EQ(ThreadCount(), before);
  EXPECT_EQ(tuner_->OpenHandles(), 0);
  EXPECT_EQ(device_->GetStatistics().transfers_ok, 0u);
}

TEST_F(CaptureStop, ProcessingThreadFeedsAPartBlockOnlyAtDisconnect) {
  Make(1000);
  ASSERT_TRUE(app_.Connect(TunerRequest()));
  WaitAllWaiting();
  // Just under a block waits in the FIFO: the processing thread sleeps on.
  const auto bytes = testing::MakePacketRun(0x100, 174);
  CaptureApp::OnDeviceData(bytes.data(), static_cast<uint32_t>(bytes.size()), 0, 0, &app_);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(app_.BlocksFed(), 0u);
  const auto took = TimeBounded(std::chrono::milliseconds(CaptureApp::kStopWaitMs), "Disconnect",
                                [&] { app_.Disconnect(); });
  EXPECT_LT(took, std::chrono::milliseconds(core::CDTV_EzUSBFX2::kTransferWaitMs));
  EXPECT_EQ(app_.BlocksFed(), 1u);  // the part-block, once the device has stopped
  EXPECT_FALSE(app_.IsProcessing());
}

}  // namespace
}  // namespace pelkan
