#include "core/device_channels.h"

#include "core/dtv_base.h"
#include "platform/text_codec.h"

namespace pelkan {

DeviceChannels ReadDeviceChannels(core::CDTV_Base* device) {
  DeviceChannels out;
  if (device == nullptr) return out;
  out.capabilities = static_cast<uint32_t>(device->GetCapabilities()) & (kCanSelectChannel | kCanSendString);
  if (!(out.capabilities & kCanSelectChannel)) return out;
  const int count = device->GetChannelCount();
  for (int i = 0; i < count; ++i) {
    char name[80] = {};
    const int value = device->GetChannelName(i, name, sizeof(name));
    name[sizeof(name) - 1] = '\0';
    out.channels.push_back({platform::SjisToUtf8(name), value});
  }
  return out;
}

}  // namespace pelkan
