#include "usb/libusb_api.h"

#include <cstring>
#include <initializer_list>

#include "usb/libusb_library.h"

namespace pelkan::usb {
namespace {

void PutDescriptor(std::vector<uint8_t>* out, uint8_t length, uint8_t type,
                   std::initializer_list<uint8_t> rest) {
  out->push_back(length);
  out->push_back(type);
  out->insert(out->end(), rest.begin(), rest.end());
}

void PutExtra(std::vector<uint8_t>* out, const unsigned char* extra, int length) {
  if (extra == nullptr || length <= 0) return;
  // Grown first and then copied: GCC 12 at -O3 warns (wrongly) about vector::insert of a range here.
  const size_t at = out->size();
  out->resize(at + static_cast<size_t>(length));
  std::memcpy(out->data() + at, extra, static_cast<size_t>(length));
}

// The descriptor bytes back from libusb's parsed form, in the order the device sent them.
std::vector<uint8_t> Serialise(const libusb_config_descriptor* c) {
  std::vector<uint8_t> out;
  PutDescriptor(
      &out, 9, LIBUSB_DT_CONFIG,
      {0, 0, c->bNumInterfaces, c->bConfigurationValue, c->iConfiguration, c->bmAttributes, c->MaxPower});
  PutExtra(&out, c->extra, c->extra_length);
  for (int i = 0; i < c->bNumInterfaces; ++i) {
    const libusb_interface& iface = c->interface[i];
    for (int a = 0; a < iface.num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = iface.altsetting[a];
      PutDescriptor(&out, 9, LIBUSB_DT_INTERFACE,
                    {alt.bInterfaceNumber, alt.bAlternateSetting, alt.bNumEndpoints, alt.bInterfaceClass,
                     alt.bInterfaceSubClass, alt.bInterfaceProtocol, alt.iInterface});
      PutExtra(&out, alt.extra, alt.extra_length);
      for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        const uint8_t length = ep.bLength >= 9 ? 9 : 7;
        PutDescriptor(&out, length, LIBUSB_DT_ENDPOINT,
                      {ep.bEndpointAddress, ep.bmAttributes, static_cast<uint8_t>(ep.wMaxPacketSize),
                       static_cast<uint8_t>(ep.wMaxPacketSize >> 8), ep.bInterval});
        if (length == 9) {
          out.push_back(ep.bRefresh);
          out.push_back(ep.bSynchAddress);
        }
        PutExtra(&out, ep.extra, ep.extra_length);
      }
    }
  }
  out[2] = static_cast<uint8_t>(out.size());
  out[3] = static_cast<uint8_t>(out.size() >> 8);
  return out;
}

// The library's calls through its table, loaded with the object: every call but Init comes with
// what an Init that succeeded gave.
class SystemApi : public LibusbApi {
 public:
  int Init(libusb_context** ctx) override {
    return lib_ == nullptr ? LIBUSB_ERROR_NOT_SUPPORTED : lib_->libusb_init(ctx);
  }
  void Exit(libusb_context* ctx) override { lib_->libusb_exit(ctx); }
  ssize_t GetDeviceList(libusb_context* ctx, libusb_device*** list) override {
    return lib_->libusb_get_device_list(ctx, list);
  }
  void FreeDeviceList(libusb_device** list) override { lib_->libusb_free_device_list(list, 1); }
  int GetDeviceDescriptor(libusb_device* dev, libusb_device_descriptor* desc) override {
    return lib_->libusb_get_device_descriptor(dev, desc);
  }
  uint8_t GetBusNumber(libusb_device* dev) override { return lib_->libusb_get_bus_number(dev); }
  uint8_t GetDeviceAddress(libusb_device* dev) override { return lib_->libusb_get_device_address(dev); }
  int GetPortNumbers(libusb_device* dev, uint8_t* ports, int length) override {
    return lib_->libusb_get_port_numbers(dev, ports, length);
  }
  int Open(libusb_device* dev, libusb_device_handle** handle) override { return lib_->libusb_open(dev, handle); }
  void Close(libusb_device_handle* handle) override { lib_->libusb_close(handle); }
  int SetAutoDetachKernelDriver(libusb_device_handle* handle, int enable) override {
    return lib_->libusb_set_auto_detach_kernel_driver(handle, enable);
  }
  int ClaimInterface(libusb_device_handle* handle, int n) override {
    return lib_->libusb_claim_interface(handle, n);
  }
  int ReleaseInterface(libusb_device_handle* handle, int n) override {
    return lib_->libusb_release_interface(handle, n);
  }
  int ControlTransfer(libusb_device_handle* handle, uint8_t request_type, uint8_t request, uint16_t value,
                      uint16_t index, unsigned char* data, uint16_t length,
                      unsigned int timeout_ms) override {
    return lib_->libusb_control_transfer(handle, request_type, request, value, index, data, length, timeout_ms);
  }
  int GetRawConfigDescriptor(libusb_device* dev, uint8_t index, std::vector<uint8_t>* raw) override {
    libusb_config_descriptor* c = nullptr;
    const int rc = lib_->libusb_get_config_descriptor(dev, index, &c);
    if (rc != 0) return rc;
    *raw = Serialise(c);
    lib_->libusb_free_config_descriptor(c);
    return 0;
  }
  // What the header's inline libusb_get_string_descriptor does.
  int GetStringDescriptor(libusb_device_handle* handle, uint8_t index, uint16_t language, unsigned char* data,
                          int length) override {
    return lib_->libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                         static_cast<uint16_t>((LIBUSB_DT_STRING << 8) | index), language, data,
                                         static_cast<uint16_t>(length), 1000);
  }
  int ClearHalt(libusb_device_handle* handle, unsigned char endpoint) override {
    return lib_->libusb_clear_halt(handle, endpoint);
  }
  libusb_transfer* AllocTransfer() override { return lib_->libusb_alloc_transfer(0); }
  void FreeTransfer(libusb_transfer* transfer) override { lib_->libusb_free_transfer(transfer); }
  int SubmitTransfer(libusb_transfer* transfer) override { return lib_->libusb_submit_transfer(transfer); }
  int CancelTransfer(libusb_transfer* transfer) override { return lib_->libusb_cancel_transfer(transfer); }
  int HandleEventsTimeoutCompleted(libusb_context* ctx, timeval* tv, int* completed) override {
    return lib_->libusb_handle_events_timeout_completed(ctx, tv, completed);
  }
  void InterruptEventHandler(libusb_context* ctx) override { lib_->libusb_interrupt_event_handler(ctx); }
  int HasCapability(uint32_t capability) override { return lib_->libusb_has_capability(capability); }
  int HotplugRegisterCallback(libusb_context* ctx, int events, libusb_hotplug_callback_fn fn, void* user,
                              libusb_hotplug_callback_handle* handle) override {
    return lib_->libusb_hotplug_register_callback(ctx, events, LIBUSB_HOTPLUG_NO_FLAGS,
                                                  LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                                  LIBUSB_HOTPLUG_MATCH_ANY, fn, user, handle);
  }
  void HotplugDeregisterCallback(libusb_context* ctx, libusb_hotplug_callback_handle handle) override {
    lib_->libusb_hotplug_deregister_callback(ctx, handle);
  }

 private:
  const LibusbLibrary* const lib_ = Libusb();
};

}  // namespace

std::shared_ptr<LibusbApi> SystemLibusbApi() {
  static std::shared_ptr<LibusbApi> api = std::make_shared<SystemApi>();
  return api;
}

}  // namespace pelkan::usb
