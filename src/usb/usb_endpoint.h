#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "usb/overlapped.h"
#include "usb/request_block.h"
#include "usb/usb_driver.h"

namespace pelkan::usb {

// The bytes of an endpoint descriptor that the endpoint objects keep.
struct UsbEndpointDescriptor {
  uint8_t bLength = 7;
  uint8_t bDescriptorType = 5;
  uint8_t bEndpointAddress = 0;
  uint8_t bmAttributes = 0;
  uint16_t wMaxPacketSize = 0;
  uint8_t bInterval = 0;
};

// Endpoint kinds by the bmAttributes value of the descriptor.
inline constexpr uint8_t kAttrControl = 0;
inline constexpr uint8_t kAttrIsochronous = 1;
inline constexpr uint8_t kAttrBulk = 2;
inline constexpr uint8_t kAttrInterrupt = 3;

// One endpoint of an opened device. Data transfers are split into begin, wait and finish so that a
// caller can keep several in flight: begin returns the request block, which belongs to the caller
// and must be handed to finish; the overlapped record must live until then too.
// Begins may run on one thread while waits and finishes run on another; the result of each begin
// is kept in its overlapped record. The status and byte-count fields describe the last finished
// transfer of the endpoint. The endpoint never closes the device handle.
class UsbEndpoint {
 public:
  static constexpr uint32_t kDefaultTimeoutMs = 10000;

  UsbEndpoint(UsbDriverHandle* handle, const UsbEndpointDescriptor& d);
  virtual ~UsbEndpoint() = default;
  UsbEndpoint(const UsbEndpoint&) = delete;
  UsbEndpoint& operator=(const UsbEndpoint&) = delete;

  // Starts a transfer of `length` bytes to or from `buffer` (which must live until finish).
  // Returns the request block, or null when the device handle is invalid (or an isochronous length
  // gives no packet). `ov` must have been Reset; its begin_error tells what the driver said.
  virtual std::unique_ptr<RequestBlock> BeginDataXfer(uint8_t* buffer, uint32_t length, Overlapped* ov);
  // True when the transfer begun with `ov` has completed within `timeout_ms`. A timed-out wait
  // cancels nothing.
  bool WaitForXfer(Overlapped* ov, uint32_t timeout_ms);
  // Ends a transfer: `*length` becomes the bytes transferred; IN data of the buffered form is copied
  // to `buffer`; the packet-information area goes to `packet_info` when given. Releases `block`.
  // True when the driver reported success and both status words are 0. Call only once the transfer
  // has completed (or never started).
  bool FinishDataXfer(uint8_t* buffer, uint32_t* length, Overlapped* ov, std::unique_ptr<RequestBlock> block,
                      uint8_t* packet_info = nullptr);
  // Synchronous transfer: begin, wait up to the endpoint's timeout (on time-out: abort the endpoint
  // and wait for the transfer to end), finish. True when all succeeded; `*length` = bytes transferred.
  bool XferData(uint8_t* buffer, uint32_t* length, uint8_t* packet_info = nullptr);
  // Cancels one started transfer; it then completes with an error. False when it is not in flight.
  bool CancelXfer(Overlapped* ov);
  // Asks the driver to end every pending transfer of this endpoint. True when it accepted.
  bool Abort();
  // Clears a halt (stall) of the endpoint; end its transfers first. True when the driver did.
  bool ResetPipe();
  // Sets the driver's transfer size for this endpoint, rounded up to whole packets.
  void SetXferSize(uint32_t size);
  // The size SetXferSize sends for `size` with this endpoint's packet size.
  uint32_t RoundXferSize(uint32_t size) const;

  uint8_t bLength() const { return bLength_; }
  uint8_t bDescriptorType() const { return bDescriptorType_; }
  uint8_t bEndpointAddress() const { return bEndpointAddress_; }
  uint8_t bmAttributes() const { return bmAttributes_; }
  uint16_t max_packet_size() const { return max_packet_size_; }
  uint16_t transactions() const { return transactions_; }
  uint8_t bInterval() const { return bInterval_; }
  bool is_in() const { return in_; }
  bool direct() const { return direct_; }
  void set_direct(bool direct) { direct_ = direct; }
  uint32_t timeout() const { return timeout_ms_; }
  void set_timeout(uint32_t ms) { timeout_ms_ = ms; }
  uint32_t status1() const { return status1_.load(std::memory_order_relaxed); }
  uint32_t status2() const { return status2_.load(std::memory_order_relaxed); }
  uint32_t bytes_transferred() const { return bytes_transferred_.load(std::memory_order_relaxed); }
  uint32_t last_error() const { return last_error_.load(std::memory_order_relaxed); }
  UsbDriverHandle* handle() const { return handle_; }

 protected:
  // The direct form: 38-byte block, data straight into the caller's buffer.
  virtual std::unique_ptr<RequestBlock> BeginDirect(uint8_t* buffer, uint32_t length, Overlapped* ov);
  // The buffered form: the data travels inside the block.
  virtual std::unique_ptr<RequestBlock> BeginBuffered(uint8_t* buffer, uint32_t length, Overlapped* ov);
  // Issues `block` with `code` and records the driver's answer in `ov` and the endpoint.
  void Issue(uint32_t code, RequestBlock* block, uint8_t* out, uint32_t out_size, Overlapped* ov);

  UsbDriverHandle* handle_;
  uint8_t bLength_, bDescriptorType_, bEndpointAddress_, bmAttributes_;
  uint16_t max_packet_size_;
  uint16_t transactions_;
  uint8_t bInterval_;
  uint32_t timeout_ms_ = kDefaultTimeoutMs;
  bool in_;
  bool direct_ = true;
  std::atomic<uint32_t> status1_{0};
  std::atomic<uint32_t> status2_{0};
  std::atomic<uint32_t> bytes_transferred_{0};
  std::atomic<uint32_t> last_error_{0};
};

// Endpoint 0. The caller sets the setup fields, then transfers; the data stage direction follows
// `direction` (1 = to host).
class UsbControlEndpoint : public UsbEndpoint {
 public:
  UsbControlEndpoint(UsbDriverHandle* handle, const UsbEndpointDescriptor& d);
  std::unique_ptr<RequestBlock> BeginDataXfer(uint8_t* buffer, uint32_t length, Overlapped* ov) override;
  // The timeout field of a control block for a timeout in milliseconds: whole seconds, but 1 for
  // anything from 1 to 999 ms.
  static uint32_t TimeoutSeconds(uint32_t timeout_ms);

  uint8_t recipient = 0;     // 0 device, 1 interface, 2 endpoint, 3 other
  uint8_t request_type = 2;  // 0 standard, 1 class, 2 vendor
  int direction = 0;         // 1 = to host
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
};

// Bulk and interrupt endpoints.
class UsbBulkEndpoint : public UsbEndpoint {
 public:
  using UsbEndpoint::UsbEndpoint;
};

// Isochronous endpoints: the block carries a packet-information area of 8 bytes per packet.
class UsbIsoEndpoint : public UsbEndpoint {
 public:
  using UsbEndpoint::UsbEndpoint;

 protected:
  std::unique_ptr<RequestBlock> BeginDirect(uint8_t* buffer, uint32_t length, Overlapped* ov) override;
  std::unique_ptr<RequestBlock> BeginBuffered(uint8_t* buffer, uint32_t length, Overlapped* ov) override;
};

// Creates the endpoint object for a descriptor by its bmAttributes value (0 control, 1 iso, 2/3 bulk
// and interrupt); null for any other value.
std::unique_ptr<UsbEndpoint> MakeEndpoint(UsbDriverHandle* handle, const UsbEndpointDescriptor& d);

}  // namespace pelkan::usb
