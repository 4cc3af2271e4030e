#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>

#include "app/capture_bindings.h"

namespace pelkan {

// A capture limited to chosen services (`capture --service`) over a change of transport stream: from the change on, the recording's file
// stays open but gets nothing (nor does the sending: output 0 passes no packet) until the chosen
// services' filter is in place again, a chosen service being back in the stream. Each turn is
// told through `tell` (English, one line). Before the first filter is set it is a plain binding.
class ChosenServicesBinding : public ServiceFilterBinding {
 public:
  ChosenServicesBinding(ServiceFilterWindow& window, CaptureApp& app, std::function<void(const std::string&)> tell);

  // Processing thread: a new transport stream.
  void OnStreamReset(uint16_t transport_stream_id) override;
  // True while the output waits for a chosen service. Any thread.
  bool Paused() const;

 private:
  // The window's filter (excluded services and PIDs; both empty: none).
  void TakeFilter(std::span<const uint16_t> services, std::span<const uint16_t> pids);

  CaptureApp& app_;
  std::function<void(const std::string&)> tell_;
  mutable std::mutex mutex_;  // orders the filter changes of the two threads
  bool filtered_ = false;     // the chosen services' filter was set once
  bool paused_ = false;
};

}  // namespace pelkan
