#include "app/recorder_service.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "platform/sd_bus_library.h"

namespace pelkan {
namespace {

constexpr const char* kManagerName = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";
constexpr uint64_t kCallTimeoutUs = 10'000'000;

const platform::SdBusLibrary& Sd() {
  return *platform::SdBus();
}

// One connection to the manager's bus, closed with the object.
class ManagerBus {
 public:
  ~ManagerBus() {
    if (bus_ != nullptr) Sd().sd_bus_flush_close_unref(bus_);
  }

  // False with `error_` set when there is no bus to talk on.
  bool Open(const std::string& address) {
    std::string missing;
    if (platform::SdBus(&missing) == nullptr) {
      error_ = "no systemd user manager: libsystemd is missing (" + missing + ")";
      return false;
    }
    int r = 0;
    if (address.empty()) {
      r = Sd().sd_bus_open_user(&bus_);
    } else {
      r = Sd().sd_bus_new(&bus_);
      if (r >= 0) r = Sd().sd_bus_set_address(bus_, address.c_str());
      if (r >= 0) r = Sd().sd_bus_set_bus_client(bus_, 1);
      if (r >= 0) r = Sd().sd_bus_start(bus_);
    }
    if (r < 0) {
      if (bus_ != nullptr) bus_ = Sd().sd_bus_flush_close_unref(bus_);
      error_ = std::string("no systemd user manager: no user bus (") + std::strerror(-r) + ")";
      return false;
    }
    return true;
  }

  // Calls `member` of `interface` at `path`: `append` adds the arguments, `read` takes the reply.
  // False with `error_` set when the call or either step failed.
  bool Call(const char* path, const char* interface, const char* member,
            const std::function<int(sd_bus_message*)>& append, const std::function<int(sd_bus_message*)>& read) {
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = Sd().sd_bus_message_new_method_call(bus_, &call, kManagerName, path, interface, member);
    if (r >= 0 && append) r = append(call);
    if (r >= 0) r = Sd().sd_bus_call(bus_, call, kCallTimeoutUs, &error, &reply);
    if (r >= 0 && read) r = read(reply);
    if (r < 0) {
      error_name_ = error.name != nullptr ? error.name : "";
      error_ = error.message != nullptr ? error.message : std::strerror(-r);
    }
    Sd().sd_bus_error_free(&error);
    Sd().sd_bus_message_unref(call);
    Sd().sd_bus_message_unref(reply);
    return r >= 0;
  }

  // A text property of the unit at `path`; "" when it cannot be read.
  std::string UnitProperty(const std::string& path, const char* name) {
    std::string value;
    Call(
        path.c_str(), "org.freedesktop.DBus.Properties", "Get",
        [name](sd_bus_message* m) { return Sd().sd_bus_message_append(m, "ss", kUnitInterface, name); },
        [&value](sd_bus_message* m) {
          const char* text = nullptr;
          const int r = Sd().sd_bus_message_read(m, "v", "s", &text);
          if (r >= 0 && text != nullptr) value = text;
          return r;
        });
    return value;
  }

  // A call to the manager about `unit` with the mode "replace" (StartUnit, StopUnit).
  bool UnitJob(const char* member, const std::string& unit) {
    return Call(
        kManagerPath, kManagerInterface, member,
        [&unit](sd_bus_message* m) { return Sd().sd_bus_message_append(m, "ss", unit.c_str(), "replace"); },
        nullptr);
  }

  // True when the manager is not on the bus at all (as opposed to refusing the call).
  bool ManagerMissing() const {
    return error_name_ == "org.freedesktop.DBus.Error.ServiceUnknown" ||
           error_name_ == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
           error_name_ == "org.freedesktop.DBus.Error.UnknownObject" ||
           error_name_ == "org.freedesktop.DBus.Error.UnknownMethod";
  }

  sd_bus* bus_ = nullptr;
  std::string error_;
  std::string error_name_;
};

void SetError(std::string* out, const std::string& text) {
  if (out != nullptr) *out = text;
}

}  // namespace

bool RecorderUnitState::Running() const {
  return active == "active" || active == "activating" || active == "reloading";
}

RecorderService::RecorderService(std::string bus_address, std::string unit)
    : bus_address_(std::move(bus_address)), unit_(std::move(unit)) {}

RecorderUnitState RecorderService::Query() const {
  RecorderUnitState state;
  ManagerBus bus;
  if (!bus.Open(bus_address_)) {
    state.error = bus.error_;
    return state;
  }
  // LoadUnit answers for a unit the manager has not loaded yet too (GetUnit would not).
  std::string path;
  const bool loaded = bus.Call(
      kManagerPath, kManagerInterface, "LoadUnit",
      [this](sd_bus_message* m) { return Sd().sd_bus_message_append(m, "s", unit_.c_str()); },
      [&path](sd_bus_message* m) {
        const char* p = nullptr;
        const int r = Sd().sd_bus_message_read(m, "o", &p);
        if (r >= 0 && p != nullptr) path = p;
        return r;
      });
  if (!loaded) {
    if (bus.ManagerMissing()) {
      state.error = "no systemd user manager: " + bus.error_;
    } else {
      state.reachable = true;
      state.error = unit_ + " is not installed (" + bus.error_ + ")";
    }
    return state;
  }
  state.reachable = true;
  const std::string load = bus.UnitProperty(path, "LoadState");
  if (load == "not-found" || load.empty()) {
    state.error = unit_ + " is not installed";
    return state;
  }
  state.installed = true;
  state.active = bus.UnitProperty(path, "ActiveState");
  state.file = bus.UnitProperty(path, "UnitFileState");
  return state;
}

bool RecorderService::Start(std::string* error) const {
  ManagerBus bus;
  if (!bus.Open(bus_address_) || !bus.UnitJob("StartUnit", unit_)) {
    SetError(error, "cannot start " + unit_ + ": " + bus.error_);
    return false;
  }
  return true;
}

bool RecorderService::Enable(std::string* error) const {
  ManagerBus bus;
  const bool enabled =
      bus.Open(bus_address_) &&
      bus.Call(
          kManagerPath, kManagerInterface, "EnableUnitFiles",
          [this](sd_bus_message* m) {
            // The user's own link (not a runtime one), an existing link of another kind kept.
            return Sd().sd_bus_message_append(m, "asbb", 1, unit_.c_str(), 0, 0);
          },
          nullptr) &&
      // As systemctl does after a change of the links.
      bus.Call(kManagerPath, kManagerInterface, "Reload", nullptr, nullptr);
  if (!enabled) SetError(error, "cannot enable " + unit_ + ": " + bus.error_);
  return enabled;
}

bool RecorderService::Stop(std::string* error, int wait_ms) const {
  {
    ManagerBus bus;
    if (!bus.Open(bus_address_) || !bus.UnitJob("StopUnit", unit_)) {
      SetError(error, "cannot stop " + unit_ + ": " + bus.error_);
      return false;
    }
  }
  // The job returns at once; the capture ends its recording first.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    const RecorderUnitState state = Query();
    if (!state.Running()) return true;
    if (std::chrono::steady_clock::now() >= end) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  SetError(error, unit_ + " did not stop within " + std::to_string(wait_ms / 1000) + " s");
  return false;
}

std::string RecorderStateLine(const std::string& unit, const RecorderUnitState& state) {
  if (!state.reachable || !state.installed) return state.error;
  std::string line = unit + ": " + state.active;
  if (!state.file.empty()) line += " (" + state.file + ")";
  return line;
}

}  // namespace pelkan
