#pragma once

#include <QDialog>
#include <memory>

#include "app/settings.h"
#include "core/user_messages.h"

namespace Ui {
class OptionsDialog;
}

namespace pelkan::ui {

// "オプション": the timer period, the (inactive) thread priorities, automatic file naming, PSI and
// EPG processing, the scheduler's clock source and the HTTP server ("HTTP配信"). Application-modal.
// OK checks every field (app/options_rules.h) and keeps the dialog open with the refusal's message
// while one is wrong; the accepted settings are then in settings().
class OptionsDialog : public QDialog {
  Q_OBJECT

 public:
  OptionsDialog(const Settings& settings, UserMessages& messages, QWidget* parent = nullptr);
  ~OptionsDialog() override;

  const Settings& settings() const { return settings_; }

 public Q_SLOTS:
  void accept() override;

 private:
  std::unique_ptr<Ui::OptionsDialog> ui_;
  Settings settings_;
  UserMessages& messages_;
};

}  // namespace pelkan::ui
