#pragma once

#include <cstdint>
#include <string>

#include "core/capture_app.h"

namespace pelkan {

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

 private:
  ServiceFilterWindow& window_;
};

}  // namespace pelkan
