#include "ui/channel_tool_window.h"

#include "core/channel_window.h"
#include "ui/qt_text.h"
#include "ui_channel_tool_window.h"

namespace pelkan::ui {

ChannelToolWindow::ChannelToolWindow(ChannelWindow& model, QWidget* owner)
    : ToolWindow(owner), ui_(std::make_unique<Ui::ChannelToolWindow>()), model_(model) {
  ui_->setupUi(this);
  connect(ui_->channelCombo, &QComboBox::currentIndexChanged, this, [this](int row) { model_.Select(row); });
  connect(ui_->changeButton, &QPushButton::clicked, this,
          [this] { model_.Change(ui_->channelCombo->currentIndex()); });
  connect(ui_->sendStringButton, &QPushButton::clicked, this,
          [this] { model_.Send(ToSjis(ui_->stringEdit->text())); });
  model_.SetListener([this] { ShowModel(); });
  ShowModel();
  adjustSize();
}

ChannelToolWindow::~ChannelToolWindow() {
  model_.SetListener(nullptr);
}

void ChannelToolWindow::ShowModel() {
  QSignalBlocker block(ui_->channelCombo);
  ui_->channelCombo->clear();
  for (const ChannelEntry& e : model_.entries()) ui_->channelCombo->addItem(FromSjis(e.name), e.value);
  ui_->channelCombo->setCurrentIndex(model_.selected());
  ui_->channelCombo->setEnabled(model_.selection_enabled());
  ui_->changeButton->setEnabled(model_.selection_enabled());
  ui_->stringEdit->setEnabled(model_.string_enabled());
  ui_->sendStringButton->setEnabled(model_.string_enabled());
}

}  // namespace pelkan::ui
