#pragma once

#include <functional>
#include <utility>
#include <vector>

namespace pelkan::platform {

// Any number of listeners of one happening, called in the order they were added. Add returns the
// id that removes a listener; a listener may add or remove listeners while it is called (the call
// goes to those there when it began). One thread (the owner's).
template <typename... Args>
class ListenerList {
 public:
  using Fn = std::function<void(const Args&...)>;

  int Add(Fn listener) {
    const int id = next_id_++;
    listeners_.emplace_back(id, std::move(listener));
    return id;
  }
  void Remove(int id) {
    std::erase_if(listeners_, [id](const auto& entry) { return entry.first == id; });
  }
  void Call(const Args&... args) const {
    const auto listeners = listeners_;
    for (const auto& entry : listeners) entry.second(args...);
  }

 private:
  std::vector<std::pair<int, Fn>> listeners_;
  int next_id_ = 1;
};

}  // namespace pelkan::platform
