#pragma once

#include <cstdint>
#include <string>

#include "core/capture_app.h"

namespace pelkan {

class ScheduledCapture;
class ServiceFilterWindow;

// Lets CaptureApp drive a ServiceFilterWindow: table events from the processing thread, the
// programme refresh of the status heartbeat, control enabling and the filter switch; and turns the
// window's filter into the application's output-0 filter. Both objects must outlive the binding,
// which must be removed from the application (SetServiceInfoModel(nullptr)) before it goes.
class ServiceFilterBinding : public ServiceInfoModel {
 public:
  ServiceFilterBinding(ServiceFilterWindow& window, CaptureApp& app);
  ~ServiceFilterBinding() override;

  void OnStreamReset(uint16_t transport_stream_id) override;
  void OnServiceEntry(uint16_t program_number, uint16_t pmt_pid) override;
  void OnComponentList(uint16_t program_number, const ComponentEntry* components, uint32_t count) override;
  void OnServiceName(uint16_t service_id, const ServiceNames& names) override;
  void RefreshProgrammes(MjdTime now, const EventLookupFn& lookup) override;
  void SetControlsEnabled(int enabled) override;
  void FilterOff() override;
  std::string ServiceName(uint16_t service_id) override;

 private:
  ServiceFilterWindow& window_;
};

// Lets CaptureApp drive a ScheduledCapture (the scheduler recording processor output 1). The
// ScheduledCapture must outlive the binding.
class ScheduledCaptureBinding : public ScheduleEngine {
 public:
  explicit ScheduledCaptureBinding(ScheduledCapture& capture) : capture_(capture) {}

  void AttachProcessor(TsProcessor* processor) override;
  void SetNetworkId(uint16_t network_id) override;
  void OnStreamReset(uint16_t transport_stream_id) override;
  void OnComponentList(uint16_t program_number, const ComponentEntry* components, uint32_t count) override;
  void ReceivePacket(const uint8_t* packet, uint32_t length) override;
  void PostClock(MjdTime now) override;
  std::string GetScheduleStatus() override;

 private:
  ScheduledCapture& capture_;
};

}  // namespace pelkan
