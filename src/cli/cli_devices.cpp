// pelkan-cli devices: the capture devices and their bulk endpoints.
#include <cstdio>

#include "cli/cli_commands.h"
#include "cli/option_parser.h"
#include "app/device_list.h"
#include "app/home_folder.h"
#include "app/settings.h"
#include "core/dtv_ezusb_fx2.h"
#include "platform/text_codec.h"

namespace pelkan::cli {

int RunDevices(int argc, char** argv) {
  OptionParser options(
      "pelkan-cli devices",
      "Usage: pelkan-cli devices\n"
      "Lists the capture devices (real EZ-USB FX2 tuners, then the virtual tuner) with their\n"
      "bulk endpoints; '*' marks the endpoints 'capture' uses when none is given.\n"
      "Reads pelkan.ini in the current directory (USB_DEVICE_IDS, VIRTUAL_TUNER, LAST_EP_IN, ...).\n");
  if (const auto exit_code = options.Parse(argc, argv)) return *exit_code;
  Settings settings;
  LoadSettings(SettingsPath(), HomeFolder(), &settings);
  core::CDTV_EzUSBFX2 device(DriverConfigFromSettings(settings));
  if (!device.OpenDevice()) {
    std::fprintf(stderr, "pelkan-cli devices: the device set cannot be opened\n");
    return 1;
  }
  const auto devices = ListDevices(device);
  if (devices.empty()) {
    std::printf("no capture device\n");
    return 0;
  }
  bool refused = false;
  for (const DeviceEntry& d : devices) {
    std::printf("%d: %s\n", d.index, platform::SjisToUtf8(d.name).c_str());
    refused |= d.access_refused;
    const EndpointChoice c = ListBulkEndpoints(device, d.index, settings.last_ep_in, settings.last_ep_out);
    std::printf("   in: ");
    if (c.in.empty()) std::printf(" (none)");
    for (uint8_t a : c.in) std::printf(" %s0x%02X", c.has_in && a == c.default_in ? "*" : "", a);
    std::printf("\n   out: %snone", c.default_out == core::kNoEndpoint ? "*" : "");
    for (uint8_t a : c.out) std::printf(" %s0x%02X", a == c.default_out ? "*" : "", a);
    std::printf("\n");
  }
  if (refused) {
    std::printf(
        "Access to a tuner was refused. Install the udev rule shipped with Pelkan, then unplug and\n"
        "replug the tuner:\n"
        "  sudo install -m 644 packaging/udev/60-pelkan.rules /etc/udev/rules.d/\n"
        "  sudo udevadm control --reload-rules && sudo udevadm trigger\n");
  }
  return 0;
}

}  // namespace pelkan::cli
