#pragma once

#include "schedule/schedule_edit_form.h"

namespace pelkan {

namespace core {
class CDTV_Base;
}

// What `device` offers the reservation edit form: its capability bits (kCanSelectChannel,
// kCanSendString) and, when it can select a channel, every channel's name (UTF-8) and value.
// Nothing for a null device. UI thread.
DeviceChannels ReadDeviceChannels(core::CDTV_Base* device);

}  // namespace pelkan
