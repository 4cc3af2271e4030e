#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "core/dtv_base.h"
#include "usb/driver_config.h"

namespace pelkan::usb {
class UsbDriver;
class UsbDevice;
class UsbEndpoint;
}  // namespace pelkan::usb

namespace pelkan::core {

// A tuner built on the Cypress EZ-USB FX2: streams one bulk IN endpoint with 32 transfers of
// 0x8000 bytes kept in flight by a request thread, and hands each completed transfer, strictly in
// the order the transfers were started, to the data callback on a receive thread.
// Optionally sends the three-command initialisation sequence to a bulk OUT endpoint first.
// All public operations are for one controlling thread; GetStatistics may be called from any thread.
// The listing operations may also be used while streaming.
class CDTV_EzUSBFX2 : public CDTV_Base {
 public:
  static constexpr int kTransferCount = 32;
  static constexpr uint32_t kTransferSize = 0x8000;
  // How long the receive thread waits for the oldest transfer before counting it as failed.
  static constexpr uint32_t kTransferWaitMs = 1000;

  // Uses the device set described by `config`: real tuners through libusb, then the virtual tuner.
  explicit CDTV_EzUSBFX2(const usb::DriverConfig& config = usb::DriverConfig());
  // Uses the given driver (tests, tools).
  explicit CDTV_EzUSBFX2(std::shared_ptr<usb::UsbDriver> driver);
  ~CDTV_EzUSBFX2() override;

  // Non-zero: Start sends the initialisation writes when an OUT endpoint is given.
  void SetInitialisation(int flag) { init_flag_ = flag; }
  int GetInitialisation() const { return init_flag_; }

  int OpenDevice() override;
  void CloseDevice() override;
  int IsDeviceOpen() override;
  int GetDeviceCount() override;
  int GetDeviceName(int index, char* name, size_t size) override;
  int GetEndpointCount(int index) override;
  int GetEndpointInfo(int index, int endpoint, DtvEndpointInfo* info) override;
  int HasEndpoint(int index, uint32_t address) override;
  int Start(int index, uint32_t in_address, uint32_t out_address) override;
  int Stop() override;
  int IsStreaming() override;

  // 1 when the device went away while streaming; the transfer threads have then ended on their own
  // and Stop only cleans up. Cleared by Start.
  int IsDeviceLost() const { return device_lost_.load(std::memory_order_relaxed) ? 1 : 0; }
  // Transfer buffers allocated since construction (32 per Start).
  uint64_t GetBuffersAllocated() const { return buffers_allocated_; }
  // Buffers in the free and pending lists now.
  size_t GetFreeBufferCount();
  size_t GetPendingBufferCount();

 protected:
  int RequestThreadBody() override;
  int ReceiveThreadBody() override;

 private:
  struct TransferBuffer;

  // Runs `fn` on device `index` opened for the call (or on the streaming device); 0 when it
  // cannot be opened.
  template <typename Fn>
  int WithDevice(int index, Fn&& fn);
  bool WriteCommand(usb::UsbEndpoint* out, uint8_t* bytes, uint32_t size);
  void FreeBuffers();
  void FinishAbandoned(TransferBuffer* buffer);

  std::shared_ptr<usb::UsbDriver> driver_;
  std::unique_ptr<usb::UsbDevice> device_;
  int init_flag_ = 0;

  // Streaming state, set by Start and cleared by Stop.
  bool streaming_ = false;
  int streaming_index_ = -1;
  usb::UsbEndpoint* in_endpoint_ = nullptr;
  usb::UsbEndpoint* out_endpoint_ = nullptr;
  std::thread request_thread_;
  std::thread receive_thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> device_lost_{false};
  uint64_t buffers_allocated_ = 0;

  // Guards the two lists and request_done_; never held while a transfer is started, waited for or
  // handed to the callback.
  std::mutex list_mutex_;
  std::condition_variable list_cv_;
  std::deque<TransferBuffer*> free_list_;
  std::deque<TransferBuffer*> pending_list_;
  bool request_done_ = false;
};

}  // namespace pelkan::core
