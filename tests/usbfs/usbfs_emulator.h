#pragma once

// USB devices emulated at the level of the kernel's usbfs, for the real libusb-1.0 library: umockdev
// fakes /sys and /dev (its preload library must be loaded, see main.cpp) and hands every ioctl on
// a device node to the handler here, which answers like the kernel's usbfs driver and the device
// behind it would: URBs are submitted, completed in order per endpoint, discarded (with the bytes
// already received), reaped; interfaces are claimed, kernel drivers detached and attached.
// Completed URBs make the node writable (POLLOUT), as usbfs does: the node is a FIFO kept full while
// nothing is to be reaped.

#include <linux/usbdevice_fs.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace pelkan::usbfs {

// Something the stream endpoint of an emulated tuner does at a given point: in the URB with this
// ordinal (stream URBs counted from 0 in submission order), once `bytes` of it are filled.
struct StreamEvent {
  enum class Kind {
    kShort,   // the device sends a short packet: the URB completes with `bytes`
    kPause,   // the device sends nothing for `ms` milliseconds (NAKs)
    kStall,   // the endpoint halts: this URB and every other one fail with EPIPE until CLEAR_HALT
    kUnplug,  // the device is unplugged
  };
  uint64_t urb = 0;
  Kind kind = Kind::kShort;
  uint32_t bytes = 0;
  uint32_t ms = 0;
  // kPause: a URB discarded during the pause is completed in full just before the discard
  // arrives (it "completed between the time-out and the cancel"); the discard then fails.
  bool complete_on_discard = false;
};

struct DeviceDescription {
  std::string sysname;  // "1-1"
  uint8_t bus = 1;
  uint8_t address = 1;
  std::vector<uint8_t> device_descriptor;
  std::vector<uint8_t> config_descriptor;
  std::map<uint8_t, std::u16string> strings;  // string descriptors by index (0 = languages, built in)
  std::string driver;                         // kernel driver bound to interface 0, or empty
  // Stream of bulk IN endpoint `stream_endpoint`: the pattern stream (PatternTsSource), unlimited rate.
  uint8_t stream_endpoint = 0;
  // Where in the pattern stream the first byte sent lies: a tuner plugged in again carries on
  // with the broadcast where it was.
  uint64_t stream_offset = 0;
  std::vector<StreamEvent> events;
};

// What the emulated device saw.
struct DeviceCounts {
  int opens = 0;
  int claims = 0;  // explicit and implicit (an ioctl on an unclaimed interface)
  int detaches = 0;
  int attaches = 0;
  int halt_clears = 0;
  int submitted = 0;
  int discarded = 0;
  int max_in_flight = 0;  // stream URBs pending at once
  uint64_t streamed = 0;  // stream bytes placed in URBs
};

class EmulatedDevice {
 public:
  EmulatedDevice(UMockdevTestbed* testbed, DeviceDescription device_desc);
  ~EmulatedDevice();
  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  DeviceCounts Counts();
  // Bulk OUT transfers received, in order, with their endpoint.
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> OutTransfers();
  // URBs the emulation still holds (pending or not reaped).
  int UrbsHeld();
  // Unplugs the device now.
  void Unplug();
  // Unplugs the device and takes it off the bus, as the kernel does: the "remove" event, then its
  // /sys entry gone. The emulation stays for the files still open on its node.
  void Remove();
  const DeviceDescription& device_desc() const { return device_desc_; }
  const std::string& syspath() const { return syspath_; }

 private:
  struct Client;
  struct Urb {
    usbdevfs_urb* urb;
    Client* client;
    uint64_t ordinal;
    uint32_t filled;
  };
  struct Client {
    std::map<uint8_t, bool> claimed;  // interface -> claimed
    std::deque<usbdevfs_urb*> reapable;
  };

  static int OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  static void OnConnected(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  static void OnVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  // Answers one ioctl: the return value and errno the client sees.
  long Handle(Client* c, unsigned long request, void* arg, int* err);
  long Submit(Client* c, usbdevfs_urb* u, int* err);
  void Control(Client* c, usbdevfs_urb* u);
  bool ClaimImplicitly(Client* c, uint8_t interface, int* err);
  void Complete(Client* c, usbdevfs_urb* u, int status, uint32_t actual);
  void Stream();
  const StreamEvent* EventFor(uint64_t urb) const;
  void UnplugLocked();
  void SetReady(bool ready);
  uint8_t InterfaceOf(uint8_t endpoint) const;

  DeviceDescription device_desc_;
  UMockdevTestbed* testbed_;
  UMockdevIoctlBase* handler_ = nullptr;
  std::string syspath_;
  std::string node_;
  int fifo_ = -1;
  bool ready_ = false;

  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<UMockdevIoctlClient*, std::unique_ptr<Client>> clients_;
  std::vector<std::unique_ptr<Client>> gone_clients_;
  std::deque<Urb> stream_;    // pending URBs of the stream endpoint, in submission order
  std::vector<Urb> waiting_;  // pending URBs of other IN endpoints (they never complete)
  std::map<uint8_t, uint8_t> endpoint_interface_;
  std::map<uint8_t, bool> driver_bound_;  // interface -> a kernel driver is bound
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> out_;
  DeviceCounts counts_;
  uint64_t next_ordinal_ = 0;
  std::vector<bool> events_done_;
  std::chrono::steady_clock::time_point paused_until_{};
  const StreamEvent* pause_ = nullptr;
  bool halted_ = false;
  bool unplugged_ = false;
  bool quit_ = false;
  std::thread thread_;
};

// A umockdev test bed with the devices added to it. Create devices before the libusb context:
// libusb lists the devices it finds at start-up.
class Testbed {
 public:
  Testbed();
  ~Testbed();
  EmulatedDevice& Add(DeviceDescription device_desc);
  // A device plugged in while the program runs: added as above, and the kernel's "add" event.
  EmulatedDevice& Plug(DeviceDescription device_desc);

 private:
  UMockdevTestbed* testbed_;
  std::vector<std::unique_ptr<EmulatedDevice>> devices_;
};

// Descriptors of an FX2 tuner (bulk OUT 0x02 and 0x04, bulk IN 0x86, interrupt IN 0x88) and of a
// Cypress USB-storage bridge (04b4:6830, mass storage, bulk 0x01 / 0x82, driver usb-storage).
DeviceDescription Fx2Tuner(uint8_t address, const std::u16string& product = u"FX2 tuner");
DeviceDescription StorageBridge(uint8_t address);

}  // namespace pelkan::usbfs
