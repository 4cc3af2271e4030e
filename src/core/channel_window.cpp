#include "core/channel_window.h"

#include <cstring>

namespace pelkan {

ChannelWindow::ChannelWindow(core::CDTV_Base* device, int last_channel)
    : device_(device), last_channel_(last_channel) {}

void ChannelWindow::RequestFill(bool clear, int preselect) {
  entries_.clear();
  selected_ = -1;
  if (!clear && device_ != nullptr && (Capabilities() & core::kDtvCapChannel)) {
    const int n = device_->GetChannelCount();
    for (int i = 0; i < n; ++i) {
      char name[kNameMax + 1] = {};
      const int value = device_->GetChannelName(i, name, kNameMax);
      if (value == -1) continue;
      name[kNameMax] = '\0';
      if (i == 0 || value == preselect) selected_ = static_cast<int>(entries_.size());
      entries_.push_back(ChannelEntry{name, value});
    }
  }
  Changed();
}

void ChannelWindow::EnableControls(bool enabled) {
  const int caps = Capabilities();
  selection_enabled_ = enabled && (caps & core::kDtvCapChannel);
  string_enabled_ = enabled && (caps & core::kDtvCapSendString);
  Changed();
}

bool ChannelWindow::Change(int row) {
  if (device_ == nullptr || !(Capabilities() & core::kDtvCapChannel)) return false;
  if (row < 0 || row >= static_cast<int>(entries_.size())) return false;
  const int value = entries_[static_cast<size_t>(row)].value;
  if (!device_->SetChannel(value)) return false;
  last_channel_ = value;
  return true;
}

bool ChannelWindow::Send(std::string_view text) {
  if (device_ == nullptr || !(Capabilities() & core::kDtvCapSendString)) return false;
  const std::string bounded(text.substr(0, kStringMax));
  return device_->SendString(bounded.c_str()) != 0;
}

}  // namespace pelkan
