#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace pelkan::core {

// Receives the bytes of one completed transfer on the device's receive thread. `total_low` and
// `total_high` are the 64-bit count of bytes received since the last statistics reset, this call's
// bytes included. The data is valid only during the call; the callback must copy it and return quickly.
using DtvDataCallback = void (*)(const uint8_t* data, uint32_t length, uint32_t total_low,
                                 uint32_t total_high, void* user);

// Description of one endpoint of a device, as listed in the endpoint choosers.
struct DtvEndpointInfo {
  uint8_t bLength = 0;
  uint8_t bDescriptorType = 0;
  uint8_t bEndpointAddress = 0;
  uint8_t bmAttributes = 0;      // 0 control, 1 isochronous, 2 bulk, 3 interrupt
  uint16_t max_packet_size = 0;  // bytes per microframe, transactions included
  uint16_t transactions = 0;     // transactions per microframe
  uint8_t bInterval = 0;
  uint32_t timeout = 0;  // milliseconds
};

// A plain copy of the streaming statistics.
struct DtvStatistics {
  uint32_t start_tick = 0;  // platform::TickCount() at the last reset
  uint32_t transfers_ok = 0;
  uint32_t transfers_failed = 0;
  uint64_t total_bytes = 0;
};

// Endpoint address that matches no endpoint (the "none" entry of an endpoint chooser).
inline constexpr uint32_t kNoEndpoint = 0xFFFF;

// Capability bits of GetCapabilities.
inline constexpr int kDtvCapChannel = 1;     // GetChannelCount/GetChannelName/SetChannel work
inline constexpr int kDtvCapSendString = 2;  // SendString works

// A tuner or capture device as the rest of the program sees it: device and endpoint listing,
// start and stop of streaming into the data callback, statistics and optional channel operations.
// Listing, Open/Close and Start/Stop are called from one thread (the UI thread or the command-line
// loop); statistics may be read from any thread.
class CDTV_Base {
 public:
  CDTV_Base();
  virtual ~CDTV_Base();
  CDTV_Base(const CDTV_Base&) = delete;
  CDTV_Base& operator=(const CDTV_Base&) = delete;

  // Sets the data callback and its user value. Call only while not streaming.
  void SetDataCallback(DtvDataCallback callback, void* user) {
    callback_ = callback;
    callback_user_ = user;
  }

  // Opens the device set (the list of attached devices). Returns 1 on success, 0 if already open
  // or the device set cannot be created.
  virtual int OpenDevice() = 0;
  // Stops streaming and closes the device set.
  virtual void CloseDevice() = 0;
  // 1 while the device set is open.
  virtual int IsDeviceOpen() = 0;
  // Bit set of kDtvCap* values.
  virtual int GetCapabilities() { return 0; }

  // Number of attached devices (0..255); 0 when the device set is not open.
  virtual int GetDeviceCount() = 0;
  // Copies the name of device `index` into `name` (NUL-terminated, at most `size` bytes including
  // the NUL; "?" when the device has no name). Returns 1 on success, 0 on failure.
  virtual int GetDeviceName(int index, char* name, size_t size) = 0;
  // Number of endpoints of device `index`, the control endpoint included; 0 on failure.
  virtual int GetEndpointCount(int index) = 0;
  // Fills `info` with endpoint `endpoint` of device `index`. Returns 1, or 0 if there is no such endpoint.
  virtual int GetEndpointInfo(int index, int endpoint, DtvEndpointInfo* info) = 0;
  // 1 if device `index` has an endpoint with exactly this address.
  virtual int HasEndpoint(int index, uint32_t address) = 0;

  // Starts streaming from device `index`: bulk IN endpoint `in_address`, optional OUT endpoint
  // `out_address` (kNoEndpoint for none). Returns 1 when streaming, 0 if not open, already streaming
  // or the start failed (nothing is left running then).
  virtual int Start(int index, uint32_t in_address, uint32_t out_address) = 0;
  // Stops streaming: every transfer is finished and every buffer freed before it returns.
  // Returns 1 when it stopped a stream, 0 if nothing was streaming.
  virtual int Stop() = 0;
  // 1 while streaming.
  virtual int IsStreaming() = 0;

  // A device-specific status line; the base gives the empty text. Returns `buffer`.
  virtual char* GetStatusText(char* buffer, size_t size);
  // Channel operations; the base has no channels.
  virtual int GetChannelCount() { return 0; }
  // Copies the name of channel `index`; returns its channel value, or -1 when there is none.
  virtual int GetChannelName(int index, char* buffer, size_t size);
  virtual int SetChannel(int /*channel*/) { return 0; }
  virtual int SendString(const char* /*text*/) { return 0; }

  // Zeroes the statistics and sets their start tick to now. Safe from any thread.
  void ResetStatistics();
  // A copy of the statistics. Safe from any thread.
  DtvStatistics GetStatistics() const;

 protected:
  // Bodies of the two streaming threads; the base has none.
  virtual int RequestThreadBody() { return 0; }
  virtual int ReceiveThreadBody() { return 0; }

  DtvDataCallback callback_ = nullptr;
  void* callback_user_ = nullptr;

  std::atomic<uint32_t> start_tick_{0};
  std::atomic<uint32_t> transfers_ok_{0};
  std::atomic<uint32_t> transfers_failed_{0};
  std::atomic<uint64_t> total_bytes_{0};
};

}  // namespace pelkan::core
