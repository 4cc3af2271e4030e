#pragma once

#include <libusb.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace pelkan::usb {

// The libusb calls the libusb backend makes, behind one interface so that tests can stand in for
// the library. Each method does what the libusb function of the same name does, except
// GetRawConfigDescriptor.
class LibusbApi {
 public:
  virtual ~LibusbApi() = default;
  virtual int Init(libusb_context** ctx) = 0;
  virtual void Exit(libusb_context* ctx) = 0;
  virtual ssize_t GetDeviceList(libusb_context* ctx, libusb_device*** list) = 0;
  virtual void FreeDeviceList(libusb_device** list) = 0;
  virtual int GetDeviceDescriptor(libusb_device* dev, libusb_device_descriptor* desc) = 0;
  virtual uint8_t GetBusNumber(libusb_device* dev) = 0;
  virtual uint8_t GetDeviceAddress(libusb_device* dev) = 0;
  // The ports from the root hub to the device; a stand-in without ports answers NOT_SUPPORTED.
  virtual int GetPortNumbers(libusb_device* /*dev*/, uint8_t* /*ports*/, int /*length*/) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
  }
  virtual int Open(libusb_device* dev, libusb_device_handle** handle) = 0;
  virtual void Close(libusb_device_handle* handle) = 0;
  virtual int SetAutoDetachKernelDriver(libusb_device_handle* handle, int enable) = 0;
  virtual int ClaimInterface(libusb_device_handle* handle, int interface_number) = 0;
  virtual int ReleaseInterface(libusb_device_handle* handle, int interface_number) = 0;
  virtual int ControlTransfer(libusb_device_handle* handle, uint8_t request_type, uint8_t request,
                              uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                              unsigned int timeout_ms) = 0;
  // The whole configuration descriptor `index` as the device reports it, from the library's copy
  // (no request goes to the device). 0 or a libusb error.
  virtual int GetRawConfigDescriptor(libusb_device* dev, uint8_t index, std::vector<uint8_t>* raw) = 0;
  virtual int GetStringDescriptor(libusb_device_handle* handle, uint8_t index, uint16_t language,
                                  unsigned char* data, int length) = 0;
  virtual int ClearHalt(libusb_device_handle* handle, unsigned char endpoint) = 0;
  virtual libusb_transfer* AllocTransfer() = 0;
  virtual void FreeTransfer(libusb_transfer* transfer) = 0;
  virtual int SubmitTransfer(libusb_transfer* transfer) = 0;
  virtual int CancelTransfer(libusb_transfer* transfer) = 0;
  virtual int HandleEventsTimeoutCompleted(libusb_context* ctx, timeval* tv, int* completed) = 0;
  virtual void InterruptEventHandler(libusb_context* ctx) = 0;
  virtual int HasCapability(uint32_t capability) = 0;
  virtual int HotplugRegisterCallback(libusb_context* ctx, int events, libusb_hotplug_callback_fn fn,
                                      void* user, libusb_hotplug_callback_handle* handle) = 0;
  virtual void HotplugDeregisterCallback(libusb_context* ctx, libusb_hotplug_callback_handle handle) = 0;
};

// The real library.
std::shared_ptr<LibusbApi> SystemLibusbApi();

}  // namespace pelkan::usb
