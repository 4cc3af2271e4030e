#include "app/device_list.h"

#include <errno.h>

#include <cstdio>

#include "streamgen/broadcast_generator.h"
#include "usb/libusb_driver.h"

namespace pelkan {
namespace {

// One line on standard error: "PROGRAM: pelkan.ini: KEY: PROBLEM; ignored".
void LogIgnored(const std::string& key, const std::string& problem) {
  std::fprintf(stderr, "%s: pelkan.ini: %s: %s; ignored\n", program_invocation_short_name, key.c_str(),
               problem.c_str());
}

// The virtual tuner's programme changes from the settings: each entry that cannot be read or
// played is left out, and all of them when they cannot be played together.
std::vector<ProgrammeChange> VirtualChangesFromSettings(const Settings& settings) {
  struct Key {
    const char* name;
    ProgrammeChangeKind kind;
    const std::string& text;
  };
  const Key keys[] = {
      {"VIRTUAL_LATE", ProgrammeChangeKind::kLate, settings.virtual_late},
      {"VIRTUAL_EXTEND", ProgrammeChangeKind::kExtend, settings.virtual_extend},
      {"VIRTUAL_UNDETERMINED", ProgrammeChangeKind::kUndetermined, settings.virtual_undetermined}};
  streamgen::GeneratorOptions probe;
  probe.start_time = JapanTimeNow();
  std::vector<ProgrammeChange> changes;
  for (const Key& key : keys) {
    std::vector<ProgrammeChange> read;
    for (const std::string& problem : ParseProgrammeChangeList(key.kind, key.text, &read))
      LogIgnored(key.name, problem);
    for (const ProgrammeChange& c : read) {
      probe.programme_changes = {c};
      const std::string problem = streamgen::CheckGeneratorOptions(probe);
      if (problem.empty()) {
        changes.push_back(c);
      } else {
        LogIgnored(key.name, problem);
      }
    }
  }
  probe.programme_changes = changes;
  const std::string problem = streamgen::CheckGeneratorOptions(probe);
  if (!problem.empty()) {
    LogIgnored("VIRTUAL_LATE, VIRTUAL_EXTEND, VIRTUAL_UNDETERMINED", problem);
    changes.clear();
  }
  return changes;
}

}  // namespace

std::vector<DeviceEntry> ListDevices(core::CDTV_Base& device) {
  std::vector<DeviceEntry> out;
  const int n = device.GetDeviceCount();
  for (int i = 0; i < n; ++i) {
    char name[81] = {};
    if (!device.GetDeviceName(i, name, sizeof name - 1)) continue;
    const std::string text = name;
    const std::string& note = usb::kAccessRefusedNote;
    const bool refused =
        text.size() >= note.size() && text.compare(text.size() - note.size(), note.size(), note) == 0;
    out.push_back(DeviceEntry{i, text, refused});
  }
  return out;
}

EndpointChoice ListBulkEndpoints(core::CDTV_Base& device, int index, int last_in, int last_out) {
  EndpointChoice c;
  const int n = device.GetEndpointCount(index);
  for (int i = 0; i < n; ++i) {
    core::DtvEndpointInfo info;
    if (!device.GetEndpointInfo(index, i, &info) || info.bmAttributes != 2) continue;
    if (info.bEndpointAddress & 0x80) {
      c.in.push_back(info.bEndpointAddress);
    } else {
      c.out.push_back(info.bEndpointAddress);
    }
  }
  if (!c.in.empty()) {
    c.has_in = true;
    c.default_in = c.in.back();
    for (uint8_t a : c.in) {
      if (a == last_in) c.default_in = a;
    }
  }
  // The OUT list starts with "none", so its last entry is the last OUT endpoint when there is one.
  if (!c.out.empty()) c.default_out = c.out.back();
  if (last_out == static_cast<int>(core::kNoEndpoint)) c.default_out = core::kNoEndpoint;
  for (uint8_t a : c.out) {
    if (a == last_out) c.default_out = a;
  }
  return c;
}

usb::DriverConfig DriverConfigFromSettings(const Settings& settings) {
  usb::DriverConfig config;
  if (!settings.usb_device_ids.empty()) usb::ParseUsbDeviceIds(settings.usb_device_ids, &config.device_ids);
  config.virtual_tuner = settings.virtual_tuner != 0;
  config.virtual_tuner_file = settings.virtual_tuner_file;
  if (settings.virtual_rate != 0) {
    streamgen::GeneratorOptions probe;
    probe.bit_rate = static_cast<uint64_t>(settings.virtual_rate);
    const std::string problem =
        settings.virtual_rate < 0 ? "not a bit rate" : streamgen::CheckGeneratorOptions(probe);
    if (problem.empty()) {
      config.virtual_bit_rate = probe.bit_rate;
    } else {
      LogIgnored("VIRTUAL_RATE", std::to_string(settings.virtual_rate) + ": " + problem);
    }
  }
  config.virtual_programme_changes = VirtualChangesFromSettings(settings);
  if (!settings.virtual_dropout.empty()) {
    usb::DriverConfig::Dropout dropout;
    if (usb::ParseVirtualDropout(settings.virtual_dropout, &dropout)) {
      config.virtual_dropout = dropout;
    } else {
      LogIgnored("VIRTUAL_DROPOUT", settings.virtual_dropout + ": not AT:FOR in seconds");
    }
  }
  return config;
}

}  // namespace pelkan
