#pragma once

#include <memory>

#include "ui/tool_window.h"

namespace Ui {
class ChannelToolWindow;
}

namespace pelkan {
class ChannelWindow;
}

namespace pelkan::ui {

// "チャンネル設定": shows the channel-window model (core/channel_window.h) — its channel list,
// selection and the enabling of the two rows — and passes "変更" and "送信" to it.
class ChannelToolWindow : public ToolWindow {
  Q_OBJECT

 public:
  // `model` must outlive the window; the window becomes its listener.
  ChannelToolWindow(ChannelWindow& model, QWidget* owner);
  ~ChannelToolWindow() override;

 private:
  void ShowModel();

  std::unique_ptr<Ui::ChannelToolWindow> ui_;
  ChannelWindow& model_;
};

}  // namespace pelkan::ui
