#pragma once

#include <string>

namespace pelkan {

// The recorder service's unit as the user's systemd manager tells it.
struct RecorderUnitState {
  bool reachable = false;  // the user manager answered
  bool installed = false;  // it knows the unit (its file exists)
  std::string active;      // ActiveState: "active", "inactive", "activating", "failed", ...
  std::string file;        // UnitFileState: "enabled", "disabled", ... ("" when not told)
  std::string error;       // why it is not reachable or not installed
  // True while it runs or is starting: it holds (or is about to hold) the tuner.
  bool Running() const;
};

// The recorder service (pelkan-recorder.service, a user unit) through systemd's user manager
// (org.freedesktop.systemd1 on the user's bus, over sd-bus): its state, start, stop, enable. Each
// call opens its own connection and closes it, so any thread may use its own object. A manager
// that is absent (no user bus, no systemd) or a unit it does not know is told in the state's
// error and in each call's `*error`.
class RecorderService {
 public:
  static constexpr const char* kUnit = "pelkan-recorder.service";
  // How long Stop waits for the unit to end: its stop timeout (30 s) and a little more.
  static constexpr int kStopWaitMs = 35000;

  // `bus_address`: a D-Bus address ("unix:path=..."); empty for the user's bus.
  explicit RecorderService(std::string bus_address = std::string(), std::string unit = kUnit);

  const std::string& unit() const { return unit_; }
  RecorderUnitState Query() const;
  // StartUnit; true when the manager took the job.
  bool Start(std::string* error) const;
  // EnableUnitFiles (the unit starts at each login) and the manager's reload.
  bool Enable(std::string* error) const;
  // StopUnit, then waits up to `wait_ms` until it is no longer running; true when it ended.
  bool Stop(std::string* error, int wait_ms = kStopWaitMs) const;

 private:
  std::string bus_address_;
  std::string unit_;
};

// One line of the state for people: "pelkan-recorder.service: active (enabled)", or why it is not
// there ("... is not installed", "no systemd user manager: ...").
std::string RecorderStateLine(const std::string& unit, const RecorderUnitState& state);

}  // namespace pelkan
