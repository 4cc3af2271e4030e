#pragma once

#include <cstdint>
#include <span>

#include "ts/stream_listener.h"

namespace pelkan {

class CaptureApp;
class ServiceFilterWindow;

// Lets a capture drive a ServiceFilterWindow from its bus: the tables from the processing thread,
// the programmes on air at each tick, the controls enabled while connected and the filter
// switched off at the disconnect; and turns the window's filter into the application's output-0
// filter. Both objects must outlive the binding, which must be off the application's bus before it
// goes.
class ServiceFilterBinding : public StreamListener {
 public:
  ServiceFilterBinding(ServiceFilterWindow& window, CaptureApp& app);
  ~ServiceFilterBinding() override;

  void OnStreamReset(uint16_t transport_stream_id) override;
  void OnProgramList(std::span<const ProgramListEntry> programs) override;
  void OnComponents(uint16_t program_number, std::span<const ComponentEntry> components) override;
  void OnServiceName(uint16_t service_id, const ServiceNames& names) override;
  void OnCaptureStart() override;
  void OnCaptureStop() override;
  // While processing with the broadcast clock known: the current and next programmes at it.
  void OnTick(StreamTick& tick) override;

 private:
  ServiceFilterWindow& window_;
  CaptureApp& app_;
};

}  // namespace pelkan
