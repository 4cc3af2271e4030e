#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/dtv_base.h"

namespace pelkan {

// One entry of the channel list: the name the device gives (Shift-JIS) and its channel value.
struct ChannelEntry {
  std::string name;
  int value = 0;
};

// The channel window's state without its widgets: the channel list of the device, the selected
// entry, which of the two rows (channel selection, string sending) is usable, and the last channel
// set through it. The capture application fills and enables it at connect and clears and disables
// it at disconnect; the window shows it and calls Change and Send. UI thread only.
class ChannelWindow {
 public:
  // `device` (not owned, may be null) is asked for capabilities and channels. `last_channel` is the
  // stored LAST_CHANNEL: a run without a successful change keeps it.
  ChannelWindow(core::CDTV_Base* device, int last_channel);

  void SetDevice(core::CDTV_Base* device) { device_ = device; }
  // Called after every change of the shown state (list, selection, enabling).
  void SetListener(std::function<void()> listener) { listener_ = std::move(listener); }

  // Rebuilds the list: empty with `clear`, or without a device offering channel selection;
  // otherwise every channel whose name query gives a value other than -1, selecting the first
  // and then the one whose value equals `preselect` (a later match wins).
  void RequestFill(bool clear, int preselect);
  // Enables the selection row when `enabled` and the device has channel selection, the string row
  // when `enabled` and the device can send strings; otherwise disables them.
  void EnableControls(bool enabled);

  // "変更": sets the channel of list entry `row` on the device; on success it becomes the last
  // channel. False when the row, the capability or the device's call fails.
  bool Change(int row);
  // "送信": passes up to 80 bytes of `text` (Shift-JIS) to the device when it can send strings.
  bool Send(std::string_view text);

  const std::vector<ChannelEntry>& entries() const { return entries_; }
  // Selected list entry, -1 when the list is empty.
  int selected() const { return selected_; }
  void Select(int row) { selected_ = row >= 0 && row < static_cast<int>(entries_.size()) ? row : -1; }
  bool selection_enabled() const { return selection_enabled_; }
  bool string_enabled() const { return string_enabled_; }
  int last_channel() const { return last_channel_; }

  static constexpr size_t kNameMax = 128;
  static constexpr size_t kStringMax = 80;

 private:
  int Capabilities() const { return device_ ? device_->GetCapabilities() : 0; }
  void Changed() {
    if (listener_) listener_();
  }

  core::CDTV_Base* device_;
  std::function<void()> listener_;
  std::vector<ChannelEntry> entries_;
  int selected_ = -1;
  bool selection_enabled_ = false;
  bool string_enabled_ = false;
  int last_channel_;
};

}  // namespace pelkan
