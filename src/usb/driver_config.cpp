#include "usb/driver_config.h"

#include <cstdio>

namespace pelkan::usb {
namespace {

bool ParseHex16(std::string_view s, uint16_t* value) {
  if (s.empty() || s.size() > 4) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  *value = static_cast<uint16_t>(v);
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

bool ParseUsbDeviceIds(std::string_view text, std::vector<UsbDeviceId>* ids) {
  std::vector<UsbDeviceId> result;
  while (!Trim(text).empty()) {
    const size_t comma = text.find(',');
    std::string_view entry = Trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (entry.empty()) continue;
    const size_t colon = entry.find(':');
    if (colon == std::string_view::npos) return false;
    UsbDeviceId id;
    if (!ParseHex16(Trim(entry.substr(0, colon)), &id.vendor_id) ||
        !ParseHex16(Trim(entry.substr(colon + 1)), &id.product_id)) {
      return false;
    }
    result.push_back(id);
  }
  *ids = std::move(result);
  return true;
}

std::string FormatUsbDeviceIds(const std::vector<UsbDeviceId>& ids) {
  std::string out;
  for (const UsbDeviceId& id : ids) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%04x:%04x", id.vendor_id, id.product_id);
    if (!out.empty()) out += ',';
    out += buf;
  }
  return out;
}

bool ParseVirtualDropout(std::string_view text, DriverConfig::Dropout* dropout) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  auto seconds = [](std::string_view s, uint32_t min, uint32_t* out) {
    s = Trim(s);
    if (s.empty() || s.size() > 5) return false;
    uint32_t v = 0;
    for (char c : s) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (v < min || v > 86400) return false;
    *out = v * 1000;
    return true;
  };
  DriverConfig::Dropout d;
  if (!seconds(text.substr(0, colon), 0, &d.at_ms) || !seconds(text.substr(colon + 1), 1, &d.for_ms)) return false;
  *dropout = d;
  return true;
}

}  // namespace pelkan::usb
