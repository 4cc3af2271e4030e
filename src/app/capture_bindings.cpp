#include "app/capture_bindings.h"

#include <cstring>
#include <span>
#include <string_view>

#include "info/service_filter_window.h"

namespace pelkan {

ServiceFilterBinding::ServiceFilterBinding(ServiceFilterWindow& window, CaptureApp& app) : window_(window) {
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

void ServiceFilterBinding::OnServiceEntry(uint16_t program_number, uint16_t pmt_pid) {
  window_.OnServiceEntry(program_number, pmt_pid);
}

void ServiceFilterBinding::OnComponentList(uint16_t program_number, const ComponentEntry* components,
                                           uint32_t count) {
  if (components == nullptr) count = 0;
  window_.OnComponentList(program_number, std::span<const ComponentEntry>(components, count));
}

void ServiceFilterBinding::OnServiceName(uint16_t service_id, const ServiceNames& names) {
  window_.OnServiceName(service_id, std::string_view(names.service_name,
                                                     strnlen(names.service_name, sizeof names.service_name)));
}

void ServiceFilterBinding::RefreshProgrammes(MjdTime now, const EventLookupFn& lookup) {
  window_.RefreshProgrammes(now, [&lookup](uint16_t service_id, const MjdTime& t, ProgrammeEvent* out,
                                           bool purge) { return lookup(service_id, t, purge ? 1 : 0, out); });
}

void ServiceFilterBinding::SetControlsEnabled(int enabled) {
  window_.SetControlsEnabled(enabled != 0);
}

void ServiceFilterBinding::FilterOff() {
  window_.ToggleFilter(true);
}

}  // namespace pelkan
