#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "usb/usb_driver.h"
#include "usb/usb_transfer.h"

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
// caller can keep several in flight, each with its own UsbTransfer record, which the caller owns and
// keeps (with the data) until the transfer is finished. Begins may run on one thread while waits
// and finishes run on another. The status describes the last finished transfer of the endpoint.
// The endpoint never closes the device.
class UsbEndpoint {
 public:
  static constexpr uint32_t kDefaultTimeoutMs = 10000;

  UsbEndpoint(UsbBackend* backend, const UsbEndpointDescriptor& d);
  virtual ~UsbEndpoint() = default;
  UsbEndpoint(const UsbEndpoint&) = delete;
  UsbEndpoint& operator=(const UsbEndpoint&) = delete;

  // Starts a transfer of `length` bytes to or from `buffer` (which must live until finish), with the
  // context `xfer` (Reset before). True when it was started: it then completes, and is finished with
  // FinishDataXfer. False when nothing was started: no device, an isochronous length of no packet,
  // or the backend refused (xfer->status() says why).
  virtual bool BeginDataXfer(uint8_t* buffer, uint32_t length, UsbTransfer* xfer);
  // True when the transfer begun with `xfer` has completed within `timeout_ms`; false at once for a
  // transfer that was not started. A timed-out wait cancels nothing.
  bool WaitForXfer(UsbTransfer* xfer, uint32_t timeout_ms);
  // Ends a transfer: `*length` becomes the bytes transferred (never more than it asked for); IN data
  // of a control transfer is copied to `buffer`. True when the transfer succeeded. Call only once the
  // transfer has completed, or when it was never started.
  bool FinishDataXfer(uint8_t* buffer, uint32_t* length, UsbTransfer* xfer);
  // Synchronous transfer: begin, wait up to the endpoint's timeout (on time-out: cancel the transfer,
  // or abort the endpoint, and wait for it to end), finish. True when all succeeded; `*length` =
  // bytes transferred.
  bool XferData(uint8_t* buffer, uint32_t* length);
  // Cancels one started transfer; it then completes with kCancelled (unless it had already
  // finished). False when it is not in flight.
  bool CancelXfer(UsbTransfer* xfer);
  // Ends every pending transfer of this endpoint. True when the backend accepted.
  bool Abort();
  // Clears a halt (stall) of the endpoint; end its transfers first. True when the backend did.
  bool ResetPipe();
  // Tells the backend the transfer size for this endpoint, rounded up to whole packets.
  void SetXferSize(uint32_t size);
  // The size SetXferSize hands on for `size` with this endpoint's packet size.
  uint32_t RoundXferSize(uint32_t size) const;

  uint8_t bLength() const { return bLength_; }
  uint8_t bDescriptorType() const { return bDescriptorType_; }
  uint8_t bEndpointAddress() const { return bEndpointAddress_; }
  uint8_t bmAttributes() const { return bmAttributes_; }
  uint16_t max_packet_size() const { return max_packet_size_; }
  uint16_t transactions() const { return transactions_; }
  uint8_t bInterval() const { return bInterval_; }
  bool is_in() const { return in_; }
  // Data endpoints transfer straight into the caller's buffer; the control endpoint's data travels
  // through the transfer record's own copy.
  bool direct() const { return direct_; }
  uint32_t timeout() const { return timeout_ms_; }
  void set_timeout(uint32_t ms) { timeout_ms_ = ms; }
  // How the last finished transfer ended.
  UsbStatus status() const { return status_.load(std::memory_order_relaxed); }

 protected:
  UsbBackend* backend_;
  uint8_t bLength_, bDescriptorType_, bEndpointAddress_, bmAttributes_;
  uint16_t max_packet_size_;
  uint16_t transactions_;
  uint8_t bInterval_;
  uint32_t timeout_ms_ = kDefaultTimeoutMs;
  bool in_;
  bool direct_ = true;
  std::atomic<UsbStatus> status_{UsbStatus::kOk};
};

// Endpoint 0. The caller sets the setup fields, then transfers; the data stage direction follows
// `direction` (1 = to host).
class UsbControlEndpoint : public UsbEndpoint {
 public:
  UsbControlEndpoint(UsbBackend* backend, const UsbEndpointDescriptor& d);
  // Runs the control transfer at once; the data of an IN stage reaches `buffer` at finish.
  bool BeginDataXfer(uint8_t* buffer, uint32_t length, UsbTransfer* xfer) override;
  // A control transfer's time limit in whole seconds for a timeout in milliseconds, but 1 for
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

// Isochronous endpoints: a transfer is cut into packets of the maximum packet size; a length that
// makes no packet starts nothing.
class UsbIsoEndpoint : public UsbEndpoint {
 public:
  using UsbEndpoint::UsbEndpoint;
  bool BeginDataXfer(uint8_t* buffer, uint32_t length, UsbTransfer* xfer) override;
};

// Creates the endpoint object for a descriptor by its bmAttributes value (0 control, 1 iso, 2/3 bulk
// and interrupt); null for any other value.
std::unique_ptr<UsbEndpoint> MakeEndpoint(UsbBackend* backend, const UsbEndpointDescriptor& d);

}  // namespace pelkan::usb
