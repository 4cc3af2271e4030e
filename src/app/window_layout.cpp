#include "app/window_layout.h"

namespace pelkan {
namespace {

using L = WindowLayout;
using W = StoredWindow;

const WindowKey kKeys[] = {
    {"POS_X", &L::main, &W::x, "LAST_CHANNEL"},
    {"POS_Y", &L::main, &W::y, "LAST_CHANNEL"},
    {"CHWND_SHOW", &L::channel, &W::show, "LAST_CHANNEL"},
    {"CHWND_POS_X", &L::channel, &W::x, "LAST_CHANNEL"},
    {"CHWND_POS_Y", &L::channel, &W::y, "LAST_CHANNEL"},
    {"FILTWND_SHOW", &L::filter, &W::show, "USB_DEVICE_IDS"},
    {"FILTWND_POS_X", &L::filter, &W::x, "USB_DEVICE_IDS"},
    {"FILTWND_POS_Y", &L::filter, &W::y, "USB_DEVICE_IDS"},
    {"FILTWND_SIZE_X", &L::filter, &W::width, "USB_DEVICE_IDS"},
    {"FILTWND_SIZE_Y", &L::filter, &W::height, "USB_DEVICE_IDS"},
    {"SCHEDULE_SHOW", &L::schedule, &W::show, "USB_DEVICE_IDS"},
    {"SCHEDULE_POS_X", &L::schedule, &W::x, "USB_DEVICE_IDS"},
    {"SCHEDULE_POS_Y", &L::schedule, &W::y, "USB_DEVICE_IDS"},
    {"SCHEDULE_SIZE_X", &L::schedule, &W::width, "USB_DEVICE_IDS"},
    {"SCHEDULE_SIZE_Y", &L::schedule, &W::height, "USB_DEVICE_IDS"},
    {"GUIDE_SHOW", &L::guide, &W::show, "USB_DEVICE_IDS"},
    {"GUIDE_POS_X", &L::guide, &W::x, "USB_DEVICE_IDS"},
    {"GUIDE_POS_Y", &L::guide, &W::y, "USB_DEVICE_IDS"},
    {"GUIDE_SIZE_X", &L::guide, &W::width, "USB_DEVICE_IDS"},
    {"GUIDE_SIZE_Y", &L::guide, &W::height, "USB_DEVICE_IDS"},
    {"RULE_SHOW", &L::rule, &W::show, "USB_DEVICE_IDS"},
    {"RULE_POS_X", &L::rule, &W::x, "USB_DEVICE_IDS"},
    {"RULE_POS_Y", &L::rule, &W::y, "USB_DEVICE_IDS"},
    {"RULE_SIZE_X", &L::rule, &W::width, "USB_DEVICE_IDS"},
    {"RULE_SIZE_Y", &L::rule, &W::height, "USB_DEVICE_IDS"},
    {"LIBRARY_SHOW", &L::library, &W::show, "USB_DEVICE_IDS"},
    {"LIBRARY_POS_X", &L::library, &W::x, "USB_DEVICE_IDS"},
    {"LIBRARY_POS_Y", &L::library, &W::y, "USB_DEVICE_IDS"},
    {"LIBRARY_SIZE_X", &L::library, &W::width, "USB_DEVICE_IDS"},
    {"LIBRARY_SIZE_Y", &L::library, &W::height, "USB_DEVICE_IDS"},
};

}  // namespace

std::span<const WindowKey> WindowKeys() {
  return kKeys;
}

}  // namespace pelkan
