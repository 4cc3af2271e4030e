#include "app/chosen_services_binding.h"

#include <numeric>
#include <vector>

#include "core/capture_app.h"
#include "info/service_filter_window.h"

namespace pelkan {

ChosenServicesBinding::ChosenServicesBinding(ServiceFilterWindow& window, CaptureApp& app,
                                             std::function<void(const std::string&)> tell)
    : ServiceFilterBinding(window, app), app_(app), tell_(std::move(tell)) {
  window.SetFilterCallback([this](std::span<const uint16_t> services, std::span<const uint16_t> pids) {
    TakeFilter(services, pids);
  });
}

void ChosenServicesBinding::OnStreamReset(uint16_t transport_stream_id) {
  {
    std::lock_guard lock(mutex_);
    if (filtered_ && !paused_) {
      // Every PID left out: the packets of the new stream reach neither the file nor the sending.
      std::vector<uint16_t> every_pid(0x2000);
      std::iota(every_pid.begin(), every_pid.end(), uint16_t{0});
      app_.SetServiceFilter({}, every_pid);
      paused_ = true;
      tell_("the transport stream changed: recording and sending are paused (the file stays open) until a "
            "chosen service is back");
    }
  }
  ServiceFilterBinding::OnStreamReset(transport_stream_id);
}

bool ChosenServicesBinding::Paused() const {
  std::lock_guard lock(mutex_);
  return paused_;
}

void ChosenServicesBinding::TakeFilter(std::span<const uint16_t> services, std::span<const uint16_t> pids) {
  std::lock_guard lock(mutex_);
  const bool none = services.empty() && pids.empty();
  // While paused, the window's "no filter" of the new stream would let every service through.
  if (paused_ && none) return;
  app_.SetServiceFilter(std::vector<uint16_t>(services.begin(), services.end()),
                        std::vector<uint16_t>(pids.begin(), pids.end()));
  if (none) return;
  filtered_ = true;
  if (paused_) {
    paused_ = false;
    tell_("a chosen service is back: recording and sending go on");
  }
}

}  // namespace pelkan
