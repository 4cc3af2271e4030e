#include "app/capture_bindings.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "core/capture_app.h"
#include "info/service_filter_window.h"

namespace pelkan {

ServiceFilterBinding::ServiceFilterBinding(ServiceFilterWindow& window, CaptureApp& app)
    : window_(window), app_(app) {
  window_.SetFilterCallback([&app](std::span<const uint16_t> services, std::span<const uint16_t> pids) {
    app.SetServiceFilter(std::vector<uint16_t>(services.begin(), services.end()),
                         std::vector<uint16_t>(pids.begin(), pids.end()));
  });
}

ServiceFilterBinding::~ServiceFilterBinding() {
  window_.SetFilterCallback(nullptr);
}

void ServiceFilterBinding::OnStreamReset(uint16_t) {
  window_.OnStreamReset();
}

void ServiceFilterBinding::OnProgramList(std::span<const ProgramListEntry> programs) {
  for (const ProgramListEntry& p : programs) window_.OnServiceEntry(p.program_number, p.pmt_pid);
}

void ServiceFilterBinding::OnComponents(uint16_t program_number, std::span<const ComponentEntry> components) {
  window_.OnComponentList(program_number, components);
}

void ServiceFilterBinding::OnServiceName(uint16_t service_id, const ServiceNames& names) {
  window_.OnServiceName(service_id, std::string_view(names.service_name,
                                                     strnlen(names.service_name, sizeof names.service_name)));
}

void ServiceFilterBinding::OnCaptureStart() {
  window_.SetControlsEnabled(true);
}

void ServiceFilterBinding::OnCaptureStop() {
  window_.SetControlsEnabled(false);
  window_.ToggleFilter(true);
}

void ServiceFilterBinding::OnTick(StreamTick& tick) {
  if (!tick.processing || tick.broadcast.date == 0) return;
  window_.RefreshProgrammes(tick.broadcast, [this](uint16_t service_id, const MjdTime& t, ProgrammeEvent* out,
                                                   bool purge) {
    const std::optional<ProgrammeEvent> ev = app_.LookupProgrammeAt(service_id, t, purge ? 1 : 0);
    if (!ev) return false;
    *out = *ev;
    return true;
  });
}

}  // namespace pelkan
