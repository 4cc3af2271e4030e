#include "usb/libusb_driver.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "core/dtv_ezusb_fx2.h"
#include "fake_usb_driver.h"
#include "usb/ts_source.h"
#include "usb/usb_device.h"
#include "usb/virtual_tuner.h"

namespace pelkan::usb {
namespace {

// A device as the fake library knows it.
struct FakeLibDevice {
  uint8_t bus = 1, address = 0;
  uint16_t vendor = 0x04B4, product = 0x1004;
  uint8_t device_class = 0xFF;
  std::vector<uint8_t> config;
  std::u16string product_name = u"FX2 tuner";
  int open_result = 0;
};

// Stands in for libusb: devices are FakeLibDevice pointers, handles point at them too, transfers
// are real libusb_transfer records; callbacks run only inside HandleEventsTimeoutCompleted, on the
// driver's event thread, as with the library.
class FakeLibusb : public LibusbApi {
 public:
  std::vector<FakeLibDevice> devices;
  bool auto_fill = false;  // complete every submitted IN transfer with the pattern stream

  struct Control {
    uint8_t request_type, request;
    uint16_t value, index, length;
    unsigned timeout;
  };
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Control> controls;
  std::vector<libusb_transfer*> submitted;   // in flight
  std::deque<libusb_transfer*> to_complete;  // handed to the event thread
  std::vector<uint8_t> cancelled_endpoints;
  std::vector<std::string> log;
  int allocated = 0, freed = 0, submit_result = 0;
  int cancel_keeps = 0;  // bytes a cancelled transfer had received
  uint64_t pattern_pos = 0;

  int Init(libusb_context** ctx) override {
    *ctx = reinterpret_cast<libusb_context*>(this);
    return 0;
  }
  void Exit(libusb_context*) override { Log("exit"); }
  ssize_t GetDeviceList(libusb_context*, libusb_device*** list) override {
    auto** l = new libusb_device*[devices.size() + 1];
    for (size_t i = 0; i < devices.size(); ++i) l[i] = reinterpret_cast<libusb_device*>(&devices[i]);
    l[devices.size()] = nullptr;
    *list = l;
    return static_cast<ssize_t>(devices.size());
  }
  void FreeDeviceList(libusb_device** list) override { delete[] list; }
  static FakeLibDevice* Dev(void* p) { return static_cast<FakeLibDevice*>(p); }
  int GetDeviceDescriptor(libusb_device* dev, libusb_device_descriptor* desc) override {
    *desc = {};
    desc->bLength = 18;
    desc->bDescriptorType = 1;
    desc->bcdUSB = 0x0200;
    desc->bDeviceClass = Dev(dev)->device_class;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = Dev(dev)->vendor;
    desc->idProduct = Dev(dev)->product;
    desc->iProduct = 2;
    desc->bNumConfigurations = 1;
    return 0;
  }
  uint8_t GetBusNumber(libusb_device* dev) override { return Dev(dev)->bus; }
  uint8_t GetDeviceAddress(libusb_device* dev) override { return Dev(dev)->address; }
  int Open(libusb_device* dev, libusb_device_handle** handle) override {
    Log("open");
    if (Dev(dev)->open_result != 0) return Dev(dev)->open_result;
    *handle = reinterpret_cast<libusb_device_handle*>(dev);
    return 0;
  }
  void Close(libusb_device_handle*) override { Log("close"); }
  int SetAutoDetachKernelDriver(libusb_device_handle*, int enable) override {
    Log("detach " + std::to_string(enable));
    return 0;
  }
  int ClaimInterface(libusb_device_handle*, int n) override {
    Log("claim " + std::to_string(n));
    return 0;
  }
  int ReleaseInterface(libusb_device_handle*, int n) override {
    Log("release " + std::to_string(n));
    return 0;
  }
  int ControlTransfer(libusb_device_handle* h, uint8_t rt, uint8_t req, uint16_t value, uint16_t index,
                      unsigned char* data, uint16_t length, unsigned timeout) override {
    {
      std::lock_guard lock(mutex);
      controls.push_back({rt, req, value, index, length, timeout});
    }
    FakeLibDevice* d = Dev(h);
    std::vector<uint8_t> reply;
    if (rt == 0x80 && req == 6 && value == 0x0200)
      reply = d->config;
    else if (rt == 0x80 && req == 6 && value == 0x0100)
      reply = testing::DeviceDesc();
    else if (rt == 0x80 && req == 6 && value == 0x0300)
      reply = {4, 3, 0x09, 0x04};
    else if (rt == 0x80 && req == 6 && value == 0x0302)
      reply = testing::StringDesc(d->product_name);
    else if (rt == 0x81 && req == 10)
      reply = {0};
    else if ((rt & 0x60) == 0x40)
      reply = {};
    else
      return LIBUSB_ERROR_PIPE;
    const size_t n = std::min<size_t>(reply.size(), length);
    if (n > 0) std::memcpy(data, reply.data(), n);
    return static_cast<int>(n);
  }
  int GetRawConfigDescriptor(libusb_device* dev, uint8_t, std::vector<uint8_t>* raw) override {
    *raw = Dev(dev)->config;
    return 0;
  }
  int GetStringDescriptor(libusb_device_handle* h, uint8_t index, uint16_t, unsigned char* data,
                          int length) override {
    const std::vector<uint8_t> d = index == 0   ? std::vector<uint8_t>{4, 3, 0x09, 0x04}
                                   : index == 2 ? testing::StringDesc(Dev(h)->product_name)
                                                : std::vector<uint8_t>{};
    if (d.empty()) return LIBUSB_ERROR_PIPE;
    const int n = std::min<int>(length, static_cast<int>(d.size()));
    std::memcpy(data, d.data(), static_cast<size_t>(n));
    return n;
  }
  int ClearHalt(libusb_device_handle*, unsigned char endpoint) override {
    Log("clear " + std::to_string(endpoint));
    return 0;
  }
  libusb_transfer* AllocTransfer() override {
    std::lock_guard lock(mutex);
    ++allocated;
    return new libusb_transfer{};
  }
  void FreeTransfer(libusb_transfer* t) override {
    std::lock_guard lock(mutex);
    ++freed;
    delete t;
  }
  int SubmitTransfer(libusb_transfer* t) override {
    std::lock_guard lock(mutex);
    if (submit_result != 0) return submit_result;
    submitted.push_back(t);
    if (auto_fill) cv.notify_all();
    return 0;
  }
  int CancelTransfer(libusb_transfer* t) override {
    std::lock_guard lock(mutex);
    auto it = std::find(submitted.begin(), submitted.end(), t);
    if (it == submitted.end()) return LIBUSB_ERROR_NOT_FOUND;
    submitted.erase(it);
    cancelled_endpoints.push_back(t->endpoint);
    t->status = LIBUSB_TRANSFER_CANCELLED;
    t->actual_length = cancel_keeps;
    to_complete.push_back(t);
    cv.notify_all();
    return 0;
  }
  // Completes the oldest submitted transfer with `status` and `data`.
  void CompleteOldest(libusb_transfer_status status, const std::vector<uint8_t>& data) {
    std::lock_guard lock(mutex);
    ASSERT_FALSE(submitted.empty());
    libusb_transfer* t = submitted.front();
    submitted.erase(submitted.begin());
    const size_t n = std::min<size_t>(data.size(), static_cast<size_t>(t->length));
    if (n > 0) std::memcpy(t->buffer, data.data(), n);
    t->actual_length = static_cast<int>(n);
    t->status = status;
    to_complete.push_back(t);
    cv.notify_all();
  }
  int HandleEventsTimeoutCompleted(libusb_context*, timeval* tv, int*) override {
    std::deque<libusb_transfer*> ready;
    {
      std::unique_lock lock(mutex);
      cv.wait_for(lock, std::chrono::milliseconds(tv->tv_sec * 1000 + tv->tv_usec / 1000), [this] {
        return !to_complete.empty() || (auto_fill && !submitted.empty()) || interrupted;
      });
      interrupted = false;
      if (auto_fill) {
        for (libusb_transfer* t : submitted) {
          for (int i = 0; i < t->length; ++i)
            t->buffer[i] = PatternTsSource::ByteAt(pattern_pos + static_cast<uint64_t>(i));
          pattern_pos += static_cast<uint64_t>(t->length);
          t->actual_length = t->length;
          t->status = LIBUSB_TRANSFER_COMPLETED;
          to_complete.push_back(t);
        }
        submitted.clear();
      }
      ready.swap(to_complete);
    }
    for (libusb_transfer* t : ready) t->callback(t);
    return 0;
  }
  void InterruptEventHandler(libusb_context*) override {
    std::lock_guard lock(mutex);
    interrupted = true;
    cv.notify_all();
  }
  int HasCapability(uint32_t) override { return 0; }
  int HotplugRegisterCallback(libusb_context*, int, libusb_hotplug_callback_fn, void*,
                              libusb_hotplug_callback_handle*) override {
    return LIBUSB_ERROR_NOT_SUPPORTED;
  }
  void HotplugDeregisterCallback(libusb_context*, libusb_hotplug_callback_handle) override {}

  void Log(const std::string& s) {
    std::lock_guard lock(mutex);
    log.push_back(s);
  }
  size_t SubmittedCount() {
    std::lock_guard lock(mutex);
    return submitted.size();
  }

 private:
  bool interrupted = false;
};

std::vector<uint8_t> TunerConfig() {
  using namespace testing;
  return ConfigDesc(1, {InterfaceDesc(0, 0, 3), EndpointDesc(0x02, 2, 512), EndpointDesc(0x86, 2, 512),
                        EndpointDesc(0x81, 3, 64, 1)});
}

struct LibusbTest : ::testing::Test {
  void SetUp() override {
    FakeLibDevice tuner;
    tuner.address = 5;
    tuner.config = TunerConfig();
    FakeLibDevice mouse;
    mouse.address = 2;
    mouse.vendor = 0x046D;
    mouse.product = 0xC077;
    mouse.config = TunerConfig();
    FakeLibDevice listed;
    listed.bus = 2;
    listed.address = 9;
    listed.vendor = 0x0511;
    listed.product = 0x0029;
    listed.device_class = 0;
    listed.config = TunerConfig();
    FakeLibDevice bridge;  // a Cypress USB-storage bridge
    bridge.address = 3;
    bridge.product = 0x6830;
    bridge.device_class = 0;
    bridge.config =
        testing::ConfigDesc(1, {testing::InterfaceDesc(0, 0, 2, 0x08), testing::EndpointDesc(0x01, 2, 512),
                                testing::EndpointDesc(0x82, 2, 512)});
    api->devices = {tuner, mouse, listed, bridge};
    driver = LibusbDriver::Create({{0x0511, 0x0029}}, api);
    ASSERT_NE(driver, nullptr);
  }
  std::shared_ptr<FakeLibusb> api = std::make_shared<FakeLibusb>();
  std::shared_ptr<LibusbDriver> driver;
};

TEST_F(LibusbTest, ListsCypressTunersAndConfiguredPairsOnly) {
  EXPECT_EQ(driver->EnumerateDevices(), (std::vector<std::string>{"usb:001:005", "usb:002:009"}));
  EXPECT_EQ(driver->Open("usb:001:002"), nullptr);  // not a tuner
  EXPECT_EQ(driver->Open("usb:001:003"), nullptr);  // the storage bridge
  EXPECT_EQ(driver->Open("usb:001:077"), nullptr);  // not present
  EXPECT_EQ(driver->Open("nonsense"), nullptr);
  EXPECT_TRUE(api->log.empty());  // none of them was even opened
}

TEST(LibusbCandidates, OnlyVendorSpecificCypressDevicesOrListedPairs) {
  const std::vector<UsbDeviceId> ids = {{0x0511, 0x0029}, {0x04B4, 0x6830}};
  EXPECT_TRUE(LibusbDriver::IsTunerCandidate(0x04B4, 0x1004, 0xFF, {0xFF}, {}));
  EXPECT_TRUE(LibusbDriver::IsTunerCandidate(0x04B4, 0x1004, 0x00, {0xFF}, {}));
  EXPECT_FALSE(LibusbDriver::IsTunerCandidate(0x04B4, 0x1004, 0x00, {0xFE}, {}));
  EXPECT_TRUE(LibusbDriver::IsTunerCandidate(0x0511, 0x0029, 0x00, {0x00}, ids));
  EXPECT_FALSE(LibusbDriver::IsTunerCandidate(0x0511, 0x0030, 0xFF, {0xFF}, ids));
  // Classes a kernel driver serves are never taken, not even when their pair is listed.
  for (uint8_t c : {0x01, 0x02, 0x03, 0x07, 0x08, 0x09, 0x0A, 0x0E}) {
    EXPECT_FALSE(LibusbDriver::IsTunerCandidate(0x04B4, 0x6830, 0x00, {c}, ids)) << int(c);
    EXPECT_FALSE(LibusbDriver::IsTunerCandidate(0x04B4, 0x1004, 0xFF, {0xFF, c}, {})) << int(c);
  }
  EXPECT_FALSE(LibusbDriver::IsTunerCandidate(0x04B4, 0x1004, 0x09, {0xFF}, {}));
}

TEST_F(LibusbTest, OpeningClaimsNothingUntilStreamingStarts) {
  {
    auto h = driver->Open("usb:001:005");
    ASSERT_NE(h, nullptr);
  }
  EXPECT_EQ(api->log, (std::vector<std::string>{"open", "close"}));
  api->log.clear();
  {
    auto h = driver->Open("usb:001:005");
    ASSERT_EQ(h->PrepareForStreaming(), UsbStatus::kOk);
    EXPECT_EQ(h->PrepareForStreaming(), UsbStatus::kOk);  // once
  }
  EXPECT_EQ(api->log, (std::vector<std::string>{"open", "detach 1", "claim 0", "release 0", "close"}));
}

TEST_F(LibusbTest, ListingADeviceTouchesOnlyEndpointZero) {
  core::CDTV_EzUSBFX2 dev(driver);
  ASSERT_EQ(dev.OpenDevice(), 1);
  char name[64];
  ASSERT_EQ(dev.GetDeviceName(0, name, sizeof name), 1);
  EXPECT_STREQ(name, "FX2 tuner");
  EXPECT_EQ(dev.GetEndpointCount(0), 4);
  EXPECT_EQ(dev.HasEndpoint(0, 0x86), 1);
  for (const std::string& entry : api->log) EXPECT_TRUE(entry == "open" || entry == "close") << entry;
  // Device and configuration descriptors come from the library's copy; strings from the device.
  for (const auto& c : api->controls) {
    EXPECT_EQ(c.value >> 8, LIBUSB_DT_STRING);
    EXPECT_EQ(c.request_type, 0x80);
  }
}

TEST_F(LibusbTest, ADeviceThatMayNotBeOpenedIsListedWithANote) {
  api->devices[0].open_result = LIBUSB_ERROR_ACCESS;
  core::CDTV_EzUSBFX2 dev(driver);
  ASSERT_EQ(dev.OpenDevice(), 1);
  char name[64];
  ASSERT_EQ(dev.GetDeviceName(0, name, sizeof name), 1);
  EXPECT_EQ(std::string(name), std::string("USB 04b4:1004") + kAccessRefusedNote);
  EXPECT_EQ(dev.HasEndpoint(0, 0x86), 1);
  EXPECT_EQ(dev.Start(0, 0x86, core::kNoEndpoint), 0);
  for (const std::string& entry : api->log) EXPECT_TRUE(entry == "open") << entry;
}

TEST_F(LibusbTest, ProductNamesAreShownInShiftJis) {
  api->devices[0].product_name = u"FX2 \u30C1\u30E5\u30FC\u30CA caf\u00E9";  // チューナ café
  UsbDevice dev(driver, true);
  // チューナ in Shift-JIS; the é has no Shift-JIS form and becomes one '?'.
  EXPECT_EQ(dev.device_name(), "FX2 \x83`\x83\x85\x81[\x83i caf?");
  EXPECT_EQ(Utf16ToSjis(std::u16string{u'a', char16_t{0xD800}, u'b'}), "a?b");
  EXPECT_EQ(Utf16ToSjis(u"\U0001F600x"), "?x");
}

TEST_F(LibusbTest, DeviceRequestsBecomeControlTransfers) {
  UsbDevice dev(driver, true);
  ASSERT_TRUE(dev.IsOpen());
  EXPECT_EQ(dev.device_name(), "FX2 tuner");
  EXPECT_GE(dev.driver_version(), kDriverVersion);
  EXPECT_EQ(dev.product(), u"FX2 tuner");
  ASSERT_NE(dev.bulk_in(), nullptr);
  EXPECT_TRUE(dev.bulk_in()->direct());
  EXPECT_EQ(dev.interrupt_in()->bEndpointAddress(), 0x81);
  EXPECT_EQ(dev.device_descriptor().idVendor, 0x04B4);
  EXPECT_EQ(dev.device_descriptor().bMaxPacketSize0, 64);
  // The product string read: GET_DESCRIPTOR(string 2) with the block's 5 s.
  bool found = false;
  for (const auto& c : api->controls) {
    if (c.request_type == 0x80 && c.request == 6 && c.value == 0x0302) {
      EXPECT_EQ(c.timeout, 5000u);
      found = true;
    }
  }
  EXPECT_TRUE(found);
  // A vendor request through the control endpoint, timeout 500 ms -> 1 s.
  UsbControlEndpoint* ep0 = dev.control_endpoint();
  ep0->request = 0x42;
  ep0->value = 7;
  ep0->set_timeout(500);
  uint8_t data[2] = {1, 2};
  uint32_t len = 2;
  EXPECT_TRUE(ep0->XferData(data, &len));
  EXPECT_EQ(api->controls.back().request_type, 0x40);
  EXPECT_EQ(api->controls.back().request, 0x42);
  EXPECT_EQ(api->controls.back().timeout, 1000u);
}

TEST_F(LibusbTest, DirectBulkInBecomesAnAsynchronousTransfer) {
  UsbDevice dev(driver, true);
  UsbEndpoint* in = dev.bulk_in();
  std::vector<uint8_t> buf(0x8000);
  UsbTransfer xfer;
  xfer.Reset();
  ASSERT_TRUE(in->BeginDataXfer(buf.data(), 0x8000, &xfer));
  ASSERT_EQ(api->SubmittedCount(), 1u);
  libusb_transfer* t = api->submitted[0];
  EXPECT_EQ(t->endpoint, 0x86);
  EXPECT_EQ(t->type, LIBUSB_TRANSFER_TYPE_BULK);
  EXPECT_EQ(t->buffer, buf.data());
  EXPECT_EQ(t->length, 0x8000);
  EXPECT_EQ(t->timeout, 0u);
  api->CompleteOldest(LIBUSB_TRANSFER_COMPLETED, std::vector<uint8_t>(512, 0xAB));
  ASSERT_TRUE(in->WaitForXfer(&xfer, 5000));
  uint32_t len = 0x8000;
  EXPECT_TRUE(in->FinishDataXfer(buf.data(), &len, &xfer));
  EXPECT_EQ(len, 512u);
  EXPECT_EQ(buf[511], 0xAB);
}

TEST_F(LibusbTest, InterruptEndpointUsesInterruptTransfers) {
  UsbDevice dev(driver, true);
  uint8_t buf[64];
  UsbTransfer xfer;
  xfer.Reset();
  ASSERT_TRUE(dev.interrupt_in()->BeginDataXfer(buf, 64, &xfer));
  ASSERT_EQ(api->SubmittedCount(), 1u);
  EXPECT_EQ(api->submitted[0]->type, LIBUSB_TRANSFER_TYPE_INTERRUPT);
  dev.interrupt_in()->Abort();
  ASSERT_TRUE(dev.interrupt_in()->WaitForXfer(&xfer, 5000));
  uint32_t len = 64;
  EXPECT_FALSE(dev.interrupt_in()->FinishDataXfer(buf, &len, &xfer));
}

TEST_F(LibusbTest, AbortCancelsOnlyThatEndpoint) {
  UsbDevice dev(driver, true);
  std::vector<uint8_t> a(512), b(512), c(64);
  UsbTransfer o1, o2, o3;
  o1.Reset();
  o2.Reset();
  o3.Reset();
  ASSERT_TRUE(dev.bulk_in()->BeginDataXfer(a.data(), 512, &o1));
  ASSERT_TRUE(dev.bulk_in()->BeginDataXfer(b.data(), 512, &o2));
  ASSERT_TRUE(dev.interrupt_in()->BeginDataXfer(c.data(), 64, &o3));
  EXPECT_TRUE(dev.bulk_in()->Abort());
  ASSERT_TRUE(o1.Wait(5000));
  ASSERT_TRUE(o2.Wait(5000));
  EXPECT_EQ(api->cancelled_endpoints, (std::vector<uint8_t>{0x86, 0x86}));
  EXPECT_EQ(o1.status(), UsbStatus::kCancelled);
  uint32_t len = 512;
  EXPECT_FALSE(dev.bulk_in()->FinishDataXfer(a.data(), &len, &o1));
  EXPECT_EQ(dev.bulk_in()->status(), UsbStatus::kCancelled);
  EXPECT_FALSE(o3.IsComplete());
  // Closing drains the interrupt transfer before it releases anything.
  dev.Close();
  EXPECT_TRUE(o3.IsComplete());
  EXPECT_EQ(api->allocated, api->freed);
}

TEST_F(LibusbTest, ACancelledTransferReportsItsBytesAndAStallIsCleared) {
  UsbDevice dev(driver, true);
  UsbEndpoint* in = dev.bulk_in();
  std::vector<uint8_t> buf(0x8000);
  UsbTransfer xfer;
  xfer.Reset();
  ASSERT_TRUE(in->BeginDataXfer(buf.data(), 0x8000, &xfer));
  api->cancel_keeps = 1536;
  EXPECT_TRUE(in->CancelXfer(&xfer));
  ASSERT_TRUE(in->WaitForXfer(&xfer, 5000));
  uint32_t len = 0x8000;
  EXPECT_FALSE(in->FinishDataXfer(buf.data(), &len, &xfer));
  EXPECT_EQ(len, 1536u);
  EXPECT_EQ(in->status(), UsbStatus::kCancelled);

  xfer.Reset();
  ASSERT_TRUE(in->BeginDataXfer(buf.data(), 0x8000, &xfer));
  api->CompleteOldest(LIBUSB_TRANSFER_STALL, std::vector<uint8_t>(100, 1));
  ASSERT_TRUE(in->WaitForXfer(&xfer, 5000));
  len = 0x8000;
  EXPECT_FALSE(in->FinishDataXfer(buf.data(), &len, &xfer));
  EXPECT_EQ(len, 100u);
  EXPECT_EQ(in->status(), UsbStatus::kStall);
  EXPECT_TRUE(in->ResetPipe());
  EXPECT_EQ(api->log.back(), "clear 134");
}

TEST_F(LibusbTest, NoDeviceStopsEverySubmission) {
  UsbDevice dev(driver, true);
  std::vector<uint8_t> buf(512);
  UsbTransfer xfer;
  xfer.Reset();
  ASSERT_TRUE(dev.bulk_in()->BeginDataXfer(buf.data(), 512, &xfer));
  api->CompleteOldest(LIBUSB_TRANSFER_NO_DEVICE, {});
  ASSERT_TRUE(xfer.Wait(5000));
  EXPECT_EQ(xfer.status(), UsbStatus::kDeviceGone);
  UsbTransfer again;
  again.Reset();
  EXPECT_FALSE(dev.bulk_in()->BeginDataXfer(buf.data(), 512, &again));
  EXPECT_EQ(again.submit_status(), UsbStatus::kDeviceGone);
  EXPECT_EQ(api->SubmittedCount(), 0u);
}

TEST_F(LibusbTest, SubmitFailureIsReportedAtBegin) {
  UsbDevice dev(driver, true);
  api->submit_result = LIBUSB_ERROR_IO;
  std::vector<uint8_t> buf(512);
  UsbTransfer xfer;
  xfer.Reset();
  EXPECT_FALSE(dev.bulk_in()->BeginDataXfer(buf.data(), 512, &xfer));
  EXPECT_EQ(xfer.submit_status(), UsbStatus::kError);
  EXPECT_FALSE(dev.bulk_in()->WaitForXfer(&xfer, 0));
  EXPECT_EQ(api->allocated, api->freed);
}

TEST_F(LibusbTest, CaptureDeviceStreamsInOrderThroughTheBackend) {
  api->auto_fill = true;
  core::CDTV_EzUSBFX2 dev(driver);
  struct Sink {
    std::vector<uint8_t> bytes;
    std::atomic<size_t> size{0};
  } sink;
  dev.SetDataCallback(
      [](const uint8_t* data, uint32_t length, uint32_t, uint32_t, void* user) {
        auto* s = static_cast<Sink*>(user);
        s->bytes.insert(s->bytes.end(), data, data + length);
        s->size.store(s->bytes.size());
      },
      &sink);
  ASSERT_EQ(dev.OpenDevice(), 1);
  ASSERT_EQ(dev.GetDeviceCount(), 2);
  ASSERT_EQ(dev.Start(0, 0x86, 0x02), 1);
  EXPECT_EQ(api->log[api->log.size() - 2], "detach 1");
  EXPECT_EQ(api->log.back(), "claim 0");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (sink.size.load() < (2u << 20) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(dev.Stop(), 1);
  ASSERT_GE(sink.bytes.size(), 2u << 20);
  for (size_t i = 0; i < sink.bytes.size(); ++i) ASSERT_EQ(sink.bytes[i], PatternTsSource::ByteAt(i)) << i;
  EXPECT_EQ(api->allocated, api->freed);
}

TEST(LibusbDriverConfig, ParsesDeviceIdLists) {
  std::vector<UsbDeviceId> ids;
  ASSERT_TRUE(ParseUsbDeviceIds("04b4:1004, 0511:0029", &ids));
  EXPECT_EQ(ids, (std::vector<UsbDeviceId>{{0x04B4, 0x1004}, {0x0511, 0x0029}}));
  EXPECT_EQ(FormatUsbDeviceIds(ids), "04b4:1004,0511:0029");
  ASSERT_TRUE(ParseUsbDeviceIds("", &ids));
  EXPECT_TRUE(ids.empty());
  ids = {{1, 2}};
  EXPECT_FALSE(ParseUsbDeviceIds("04b4", &ids));
  EXPECT_FALSE(ParseUsbDeviceIds("04b4:12345", &ids));
  EXPECT_FALSE(ParseUsbDeviceIds("zz:0001", &ids));
  EXPECT_EQ(ids.size(), 1u);
}

}  // namespace
}  // namespace pelkan::usb
