#include "usb/virtual_tuner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "usb/ts_source.h"
#include "usb/usb_device.h"

namespace pelkan::usb {
namespace {

VirtualTunerOptions Unlimited() {
  VirtualTunerOptions o;
  o.bit_rate = 0;
  o.source_factory = [] { return std::make_unique<PatternTsSource>(); };
  return o;
}

// Reads `n` bytes from the stream endpoint with one synchronous transfer.
std::vector<uint8_t> ReadStream(UsbDevice& dev, uint32_t n) {
  std::vector<uint8_t> buf(n);
  uint32_t len = n;
  EXPECT_TRUE(dev.bulk_in()->XferData(buf.data(), &len));
  buf.resize(len);
  return buf;
}

TEST(VirtualTuner, AnswersLikeAnFx2Tuner) {
  auto tuner = std::make_shared<VirtualTunerDriver>(Unlimited());
  UsbDevice dev(tuner, true);
  ASSERT_TRUE(dev.IsOpen());
  EXPECT_EQ(dev.device_descriptor().idVendor, 0x04B4);
  EXPECT_EQ(dev.device_descriptor().bMaxPacketSize0, 64);
  EXPECT_EQ(dev.product(), u"Virtual FX2 tuner");
  EXPECT_EQ(dev.device_name(), "Virtual FX2 tuner");
  EXPECT_EQ(dev.language_id(), 0x0409);
  EXPECT_GE(dev.driver_version(), kDriverVersion);
  EXPECT_EQ(dev.EndpointCount(), 5);
  ASSERT_NE(dev.bulk_in(), nullptr);
  EXPECT_EQ(dev.bulk_in()->bEndpointAddress(), 0x86);
  EXPECT_EQ(dev.bulk_in()->max_packet_size(), 512);
  EXPECT_TRUE(dev.bulk_in()->direct());
  EXPECT_EQ(dev.bulk_out()->bEndpointAddress(), 0x02);
  EXPECT_EQ(tuner->OpenHandles(), 1);
  dev.Close();
  EXPECT_EQ(tuner->OpenHandles(), 0);
}

TEST(VirtualTuner, PlaysAFileInALoop) {
  const std::string path = ::testing::TempDir() + "virtual_tuner_loop.ts";
  std::vector<uint8_t> file(1000);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(file.data(), 1, file.size(), f);
  std::fclose(f);
  DriverConfig config;
  config.use_libusb = false;
  config.virtual_tuner_file = path;
  config.virtual_bit_rate = 0;
  UsbDevice dev(std::make_shared<VirtualTunerDriver>(VirtualTunerOptionsFromConfig(config, {})), true);
  const std::vector<uint8_t> data = ReadStream(dev, 2500);
  ASSERT_EQ(data.size(), 2500u);
  for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], file[i % 1000]) << i;
  std::remove(path.c_str());
}

// A played file truncated to 0 made every transfer end empty at once: the capture began the next
// one straight away, some 17,000 a second, a core spinning. A stream that yields nothing is a tuner
// that sends nothing: its transfer waits (until cancelled, or until the stream yields again).
TEST(VirtualTuner, AStreamThatYieldsNothingLeavesTheTransferWaiting) {
  struct Silent : TsSource {
    size_t Read(uint8_t*, size_t) override { return 0; }
  };
  const std::string path = ::testing::TempDir() + "virtual_tuner_emptied.ts";
  const std::vector<uint8_t> file(188 * 40, 0x47);
  auto write_file = [&](size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(file.data(), 1, size, f);
    std::fclose(f);
  };
  write_file(file.size());
  DriverConfig config;
  config.use_libusb = false;
  config.virtual_tuner_file = path;
  config.virtual_bit_rate = 0;
  struct Case {
    const char* name;
    VirtualTunerOptions options;
    bool emptied_while_playing;
  };
  VirtualTunerOptions silent = Unlimited();
  silent.source_factory = [] { return std::make_unique<Silent>(); };
  for (const Case& c : {Case{"file emptied while playing", VirtualTunerOptionsFromConfig(config, {}), true},
                        Case{"source that yields nothing", silent, false}}) {
    SCOPED_TRACE(c.name);
    write_file(file.size());
    UsbDevice dev(std::make_shared<VirtualTunerDriver>(c.options), true);
    std::vector<uint8_t> buf(4096);
    if (c.emptied_while_playing) {
      ASSERT_EQ(ReadStream(dev, 4096).size(), 4096u) << "the file plays";
      write_file(0);
    }
    // Transfers begun one after the other for about a second, as the capture does.
    int ended = 0;
    UsbTransfer xfer;
    xfer.Reset();
    ASSERT_TRUE(dev.bulk_in()->BeginDataXfer(buf.data(), 4096, &xfer));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < until) {
      if (!dev.bulk_in()->WaitForXfer(&xfer, 20)) continue;
      uint32_t len = 4096;
      dev.bulk_in()->FinishDataXfer(buf.data(), &len, &xfer);
      ++ended;
      xfer.Reset();
      ASSERT_TRUE(dev.bulk_in()->BeginDataXfer(buf.data(), 4096, &xfer));
    }
    EXPECT_LT(ended, 100) << "transfers of a stream without bytes end at once";
    if (c.emptied_while_playing) {
      // Filled again, the file plays on into the waiting transfer.
      write_file(file.size());
      ASSERT_TRUE(dev.bulk_in()->WaitForXfer(&xfer, 5000));
      uint32_t len = 4096;
      EXPECT_TRUE(dev.bulk_in()->FinishDataXfer(buf.data(), &len, &xfer));
      EXPECT_EQ(len, 4096u);
      EXPECT_EQ(buf[0], 0x47);
    } else {
      EXPECT_TRUE(dev.bulk_in()->CancelXfer(&xfer));
      ASSERT_TRUE(dev.bulk_in()->WaitForXfer(&xfer, 1000));
      uint32_t len = 4096;
      EXPECT_FALSE(dev.bulk_in()->FinishDataXfer(buf.data(), &len, &xfer));
      EXPECT_EQ(dev.bulk_in()->status(), UsbStatus::kCancelled);
    }
  }
  std::remove(path.c_str());
}

TEST(VirtualTuner, RecordsBulkOutWrites) {
  auto tuner = std::make_shared<VirtualTunerDriver>(Unlimited());
  UsbDevice dev(tuner, true);
  uint8_t cmd[2] = {0x80, 0x01};
  uint32_t len = 2;
  EXPECT_TRUE(dev.bulk_out()->XferData(cmd, &len));
  EXPECT_EQ(len, 2u);
  ASSERT_EQ(tuner->OutWrites().size(), 1u);
  EXPECT_EQ(tuner->OutWrites()[0], (std::vector<uint8_t>{0x80, 0x01}));
}

TEST(VirtualTuner, AbortEndsEveryPendingTransfer) {
  VirtualTunerOptions o = Unlimited();
  o.faults = {{VirtualFault::Kind::kTimeout, 0, 0}};
  UsbDevice dev(std::make_shared<VirtualTunerDriver>(o), true);
  UsbEndpoint* second_in = dev.Endpoint(4);
  ASSERT_EQ(second_in->bEndpointAddress(), 0x88);
  std::vector<uint8_t> a(512), b(512);
  UsbTransfer stuck, idle;
  stuck.Reset();
  idle.Reset();
  ASSERT_TRUE(dev.bulk_in()->BeginDataXfer(a.data(), 512, &stuck));
  ASSERT_TRUE(second_in->BeginDataXfer(b.data(), 512, &idle));
  EXPECT_FALSE(dev.bulk_in()->WaitForXfer(&stuck, 30));
  EXPECT_FALSE(second_in->WaitForXfer(&idle, 0));
  EXPECT_TRUE(dev.bulk_in()->Abort());
  EXPECT_TRUE(second_in->Abort());
  ASSERT_TRUE(dev.bulk_in()->WaitForXfer(&stuck, 1000));
  ASSERT_TRUE(second_in->WaitForXfer(&idle, 1000));
  uint32_t len = 512;
  EXPECT_FALSE(dev.bulk_in()->FinishDataXfer(a.data(), &len, &stuck));
  EXPECT_EQ(dev.bulk_in()->status(), UsbStatus::kCancelled);
  EXPECT_EQ(len, 0u);
  // The stream goes on with the bytes the aborted transfer did not take.
  EXPECT_EQ(ReadStream(dev, 512).size(), 512u);
}

TEST(VirtualTuner, TransfersEndInOrderAndACancelReturnsThePartialData) {
  VirtualTunerOptions o = Unlimited();
  o.faults = {{VirtualFault::Kind::kTimeout, 0, 700}};
  UsbDevice dev(std::make_shared<VirtualTunerDriver>(o), true);
  std::vector<uint8_t> a(4096), b(4096);
  UsbTransfer first, second;
  first.Reset();
  second.Reset();
  ASSERT_TRUE(dev.bulk_in()->BeginDataXfer(a.data(), 4096, &first));
  ASSERT_TRUE(dev.bulk_in()->BeginDataXfer(b.data(), 4096, &second));
  // The stream paused inside the first transfer: the second one waits behind it.
  EXPECT_FALSE(dev.bulk_in()->WaitForXfer(&second, 50));
  EXPECT_TRUE(dev.bulk_in()->CancelXfer(&first));
  ASSERT_TRUE(dev.bulk_in()->WaitForXfer(&first, 1000));
  uint32_t len = 4096;
  EXPECT_FALSE(dev.bulk_in()->FinishDataXfer(a.data(), &len, &first));
  ASSERT_EQ(len, 700u);
  ASSERT_TRUE(dev.bulk_in()->WaitForXfer(&second, 1000));
  len = 4096;
  EXPECT_TRUE(dev.bulk_in()->FinishDataXfer(b.data(), &len, &second));
  ASSERT_EQ(len, 4096u);
  for (uint32_t i = 0; i < 700; ++i) ASSERT_EQ(a[i], PatternTsSource::ByteAt(i));
  for (uint32_t i = 0; i < 4096; ++i) ASSERT_EQ(b[i], PatternTsSource::ByteAt(700 + i));
}

TEST(VirtualTuner, AStallLastsUntilTheHaltIsCleared) {
  VirtualTunerOptions o = Unlimited();
  o.faults = {{VirtualFault::Kind::kStall, 0, 100}};
  auto tuner = std::make_shared<VirtualTunerDriver>(o);
  UsbDevice dev(tuner, true);
  std::vector<uint8_t> buf(512);
  uint32_t len = 512;
  EXPECT_FALSE(dev.bulk_in()->XferData(buf.data(), &len));
  EXPECT_EQ(len, 100u);  // the bytes before the stall
  EXPECT_EQ(dev.bulk_in()->status(), UsbStatus::kStall);
  for (int i = 0; i < 3; ++i) {
    len = 512;
    EXPECT_FALSE(dev.bulk_in()->XferData(buf.data(), &len));
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(dev.bulk_in()->status(), UsbStatus::kStall);
  }
  EXPECT_TRUE(dev.bulk_in()->ResetPipe());
  EXPECT_EQ(tuner->HaltClears(), 1);
  EXPECT_EQ(ReadStream(dev, 512).size(), 512u);
}

TEST(VirtualTuner, UnplugFailsRequestsUntilReplugged) {
  VirtualTunerOptions o = Unlimited();
  o.faults = {{VirtualFault::Kind::kUnplug, 1, 0}};
  auto tuner = std::make_shared<VirtualTunerDriver>(o);
  UsbDevice dev(tuner, true);
  EXPECT_EQ(ReadStream(dev, 512).size(), 512u);
  std::vector<uint8_t> buf(512);
  uint32_t len = 512;
  EXPECT_FALSE(dev.bulk_in()->XferData(buf.data(), &len));
  EXPECT_FALSE(tuner->IsPresent());
  EXPECT_EQ(dev.DeviceCount(), 0);
  len = 2;
  EXPECT_FALSE(dev.bulk_out()->XferData(buf.data(), &len));
  tuner->Replug();
  ASSERT_TRUE(dev.Open(0));
  // Back on the bus, the broadcast goes on from where it was, never from its start again.
  const std::vector<uint8_t> after = ReadStream(dev, 512);
  ASSERT_EQ(after.size(), 512u);
  for (uint32_t i = 0; i < 512; ++i) ASSERT_EQ(after[i], PatternTsSource::ByteAt(512 + i)) << i;
}

TEST(VirtualTuner, DeviceSetListsRealTunersFirstThenTheVirtualOne) {
  DriverConfig config;
  config.use_libusb = false;
  EXPECT_EQ(CreateSystemDriver(config, {})->EnumerateDevices(), (std::vector<std::string>{kVirtualTunerPath}));
  config.virtual_tuner = false;
  EXPECT_TRUE(CreateSystemDriver(config, {})->EnumerateDevices().empty());
  config.virtual_tuner = true;
  config.use_libusb = true;  // this machine may have no USB at all; the virtual tuner is listed last
  const auto paths = CreateSystemDriver(config, {})->EnumerateDevices();
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(paths.back(), kVirtualTunerPath);
}

}  // namespace
}  // namespace pelkan::usb
