#include "app/capture_bindings.h"

#include <cstring>
#include <span>
#include <string_view>

#include "app/scheduled_capture.h"
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

std::string ServiceFilterBinding::ServiceName(uint16_t service_id) {
  const std::optional<ServiceRecord> record = window_.FindService(service_id);
  return record ? record->name : std::string();
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

void ScheduledCaptureBinding::AttachProcessor(TsProcessor* processor) {
  capture_.AttachProcessor(processor);
}

void ScheduledCaptureBinding::SetNetworkId(uint16_t network_id) {
  // A stream reset is passed on whole by OnStreamReset, which clears the network id itself.
  if (network_id != 0) capture_.HandleEvent(EVENT_NETWORK_NAME, network_id, nullptr, 0);
}

void ScheduledCaptureBinding::OnStreamReset(uint16_t transport_stream_id) {
  capture_.HandleEvent(EVENT_STREAM_RESET, transport_stream_id, nullptr, 0);
}

void ScheduledCaptureBinding::OnComponentList(uint16_t program_number, const ComponentEntry* components,
                                              uint32_t count) {
  capture_.HandleEvent(EVENT_COMPONENT_LIST, program_number, reinterpret_cast<const uint8_t*>(components),
                       count);
}

void ScheduledCaptureBinding::ReceivePacket(const uint8_t* packet, uint32_t length) {
  capture_.HandleEvent(EVENT_PACKET, 1, packet, length);
}

void ScheduledCaptureBinding::PostClock(MjdTime now) {
  capture_.OnHeartbeat(now, false);
}

std::string ScheduledCaptureBinding::GetScheduleStatus() {
  return capture_.scheduler().GetScheduleStatus();
}

}  // namespace pelkan
