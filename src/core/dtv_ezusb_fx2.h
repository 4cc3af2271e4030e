#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/dtv_base.h"
#include "usb/driver_config.h"
#include "usb/usb_transfer.h"

namespace pelkan::usb {
class UsbDriver;
class UsbDevice;
class UsbEndpoint;
}  // namespace pelkan::usb

namespace pelkan::core {

// A tuner built on the Cypress EZ-USB FX2: streams one bulk IN endpoint with 32 transfers of
// 0x8000 bytes kept in flight by a request thread (which starts the ones that came back again in
// batches, so that at least 24 stay in flight), and hands each completed transfer, strictly in the
// order the transfers were started, to the data callback on a receive thread.
// Optionally sends the three-command initialisation sequence to a bulk OUT endpoint first.
// All public operations are for one controlling thread; GetStatistics may be called from any thread.
// The listing operations may also be used while streaming.
class CDTV_EzUSBFX2 : public CDTV_Base {
 public:
  static constexpr int kTransferCount = 32;
  static constexpr uint32_t kTransferSize = 0x8000;
  // Free buffers are started again in batches of this many, or as soon as no more than
  // kRefillLowWater transfers are pending.
  static constexpr size_t kRefillBatch = 16;
  static constexpr size_t kRefillLowWater = kTransferCount / 4;
  // How long the receive thread waits for the oldest transfer before it cancels it.
  static constexpr uint32_t kTransferWaitMs = 1000;
  // How long Stop waits for the transfer threads in all.
  static constexpr uint32_t kStopWaitMs = 10000;

  // Time limits of the transfer threads. Tests shorten them.
  struct TimeLimits {
    uint32_t transfer_wait_ms = kTransferWaitMs;
    // A cancelled transfer that has not come back after this long is given up: its buffer stays
    // with the driver (never reused nor freed) and streaming goes on without it.
    uint32_t cancel_wait_ms = 2000;
    // After a stop request the receive thread waits at most this long in all for the transfers
    // still pending; what has not come back by then is given up as above.
    uint32_t stop_drain_ms = 8000;
    // Pause before a halted (stalled) IN endpoint is cleared; doubles while it keeps stalling
    // without delivering data, up to the maximum.
    uint32_t halt_backoff_first_ms = 10;
    uint32_t halt_backoff_max_ms = 1000;
    // No data at all for this long while streaming (and no error) is a drop-out too: the tuner has
    // stalled. 0: never.
    uint32_t stall_ms = kStallMs;
    // While the tuner is away, the device list is looked at this often (and at once when the
    // driver tells of a device arriving).
    uint32_t rescan_ms = 1000;
  };

  // How long a tuner may deliver nothing before it counts as dropped out.
  static constexpr uint32_t kStallMs = 10000;

  // Why the streaming tuner is away.
  enum class Dropout { kNone, kGone, kStalled };
  // Told on a device thread when the streaming tuner drops out (`lost`, after every byte it
  // delivered before has gone to the data callback) and when it delivers again after it came back
  // (`back`, before its first new bytes go to the data callback). Set while not streaming.
  // `waiting` is told each time the device list has been looked at while the tuner is away.
  struct DropoutListener {
    std::function<void(Dropout)> lost;
    std::function<void()> back;
    std::function<void()> waiting;
  };
  void SetDropoutListener(DropoutListener listener) { dropout_listener_ = std::move(listener); }
  // The drop-out in progress, kNone while the tuner delivers. Any thread.
  // After the computer woke: a streaming tuner that the bus enumerated anew meanwhile (no longer at
  // its device path, or gone from its port) has dropped out, even before one of its transfers
  // fails, and is waited for as any drop-out. Nothing happens while it is where it was. Owning
  // thread (as Start and Stop).
  void CheckDevice();
  Dropout GetDropout() const { return dropout_.load(std::memory_order_relaxed); }

  // Uses the device set described by `config`: real tuners through libusb, then the virtual tuner,
  // which plays the synthetic broadcast (MakeDefaultTsSource) when no file is named.
  explicit CDTV_EzUSBFX2(const usb::DriverConfig& config = usb::DriverConfig());
  // Uses the given driver (tests, tools).
  explicit CDTV_EzUSBFX2(std::shared_ptr<usb::UsbDriver> driver);
  ~CDTV_EzUSBFX2() override;

  // Non-zero: Start sends the initialisation writes when an OUT endpoint is given.
  void SetInitialisation(int flag) { init_flag_ = flag; }

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
  // Says when transfers that never came back were given up (their buffers stay with the driver);
  // otherwise the empty text.
  char* GetStatusText(char* buffer, size_t size) override;
  // Why the last Start failed, when it can tell (English); "" otherwise. The virtual tuner is not
  // started when the file it is to play (DriverConfig::virtual_tuner_file) cannot be played.
  const std::string& GetStartError() const { return start_error_; }
  // 1 when the last Start failed because another program holds the device (its interface could
  // not be claimed); GetStartError then says so.
  int IsDeviceInUse() const { return device_in_use_ ? 1 : 0; }

  // Call only while not streaming.
  void SetTimeLimits(const TimeLimits& limits) { limits_ = limits; }

  // 1 when the device went away (or stalled) while streaming; the transfer threads have then ended
  // on their own, and the device is waited for: the same tuner (the same vendor, product and port,
  // and serial number when it has one; UsbDriver::DeviceLocation) is opened again when it is back,
  // with the same endpoints and initialisation, and streams on. Nothing else is ever opened. Stop
  // ends the wait. Cleared by Start and when the tuner streams again.
  int IsDeviceLost() const { return device_lost_.load(std::memory_order_relaxed) ? 1 : 0; }
  // Transfer buffers allocated since construction (32 per Start).
  uint64_t GetBuffersAllocated() const { return buffers_allocated_; }
  // Buffers in the free and pending lists now.
  size_t GetFreeBufferCount();
  size_t GetPendingBufferCount();
  // Buffers given up since Start because their transfers never came back.
  uint32_t GetAbandonedBufferCount() const { return abandoned_.load(std::memory_order_relaxed); }
  // Halts of the IN endpoint cleared since Start.
  uint32_t GetHaltClears() const { return halt_clears_.load(std::memory_order_relaxed); }

 protected:
  int RequestThreadBody() override;
  int ReceiveThreadBody() override;

 private:
  struct TransferBuffer;

  // Runs `fn` on device `index` opened for the call (or on the streaming device); 0 when it
  // cannot be opened.
  template <typename Fn>
  int WithDevice(int index, Fn&& fn);
  // Finds the endpoints of the open device, readies it and starts the transfer threads. kOk, or
  // why the device cannot stream (it is left open).
  usb::UsbStatus BeginStreaming();
  // Waits for the transfer threads that a drop-out ended, tells the listener, and opens the same
  // tuner again when it is back; until Stop.
  void WatchBody();
  // Opens the tuner at location_ and streams from it again; false when it is not there (yet).
  bool Reopen();
  bool WriteCommand(usb::UsbEndpoint* out, const uint8_t* bytes, uint32_t size);
  // Ends every transfer of the halted IN endpoint, pauses, clears the halt.
  void RecoverFromHalt(usb::UsbEndpoint* in);
  // `ms`, but no later than the stop deadline once a stop was asked for.
  uint32_t WaitBudget(uint32_t ms) const;
  // Keeps a buffer whose transfer never came back away from reuse and from being freed.
  void Abandon(TransferBuffer* buffer);
  void FreeBuffers();
  // Ends the transfer of a buffer left in the pending list; false when it had to be given up.
  bool FinishAbandoned(TransferBuffer* buffer);
  // Whether the request thread has free buffers to start now. With list_mutex_ held.
  bool RefillDue() const;
  // Wakes every thread of the device: for a stop and for a lost device.
  void WakeAll();

  std::shared_ptr<usb::UsbDriver> driver_;
  std::string virtual_tuner_file_;
  std::string start_error_;
  bool device_in_use_ = false;
  std::unique_ptr<usb::UsbDevice> device_;
  int init_flag_ = 0;

  // Streaming state, set by Start and cleared by Stop.
  bool streaming_ = false;
  int streaming_index_ = -1;
  usb::UsbEndpoint* in_endpoint_ = nullptr;
  usb::UsbEndpoint* out_endpoint_ = nullptr;
  std::thread request_thread_;
  std::thread receive_thread_;
  std::thread watch_thread_;
  // What identifies the streaming tuner when it comes back, and the endpoints it streamed from.
  std::string location_;
  std::u16string serial_;
  uint32_t in_address_ = 0;
  uint32_t out_address_ = 0;
  // Held while the watch thread opens or closes device_, and by listing calls that use it.
  std::mutex device_mutex_;
  DropoutListener dropout_listener_;
  std::atomic<Dropout> dropout_{Dropout::kNone};
  std::atomic<Dropout> lost_reason_{Dropout::kNone};
  bool rescan_ = false;  // a device arrived or left (guarded by list_mutex_)
  std::atomic<bool> stop_{false};
  std::atomic<bool> device_lost_{false};
  std::atomic<uint32_t> stop_deadline_{0};  // tick by which the receive thread gives up waiting
  std::atomic<uint32_t> abandoned_{0};
  std::atomic<uint32_t> halt_clears_{0};
  uint64_t buffers_allocated_ = 0;
  TimeLimits limits_;

  // Guards the two lists and request_done_; never held while a transfer is started, waited for or
  // handed to the callback.
  std::mutex list_mutex_;
  // One condition per waiting thread, so that a transfer coming back wakes only the thread that
  // has something to do with it (the watch thread sleeps through a whole stream).
  std::condition_variable request_cv_;
  std::condition_variable receive_cv_;
  std::condition_variable watch_cv_;
  std::deque<TransferBuffer*> free_list_;
  std::deque<TransferBuffer*> pending_list_;
  bool request_done_ = false;
  // The request thread is starting the free buffers of a batch, one after the other.
  bool refilling_ = false;
  // The IN endpoint stalled: the request thread clears the halt before it starts more transfers.
  bool halted_ = false;
  // Counts halt clears; a stall of a transfer begun before the last clear is not a new halt.
  uint32_t halt_generation_ = 0;
  uint32_t halt_backoff_ms_ = 0;
};

}  // namespace pelkan::core
