#pragma once

#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/rule_desk.h"
#include "core/user_messages.h"
#include "rules/reservation_rule.h"
#include "ui/tool_window.h"

namespace Ui {
class RuleListWindow;
}

namespace pelkan {
class RecordingScheduler;
}

namespace pelkan::ui {

// The automatic reservation window "自動予約": the rules of rules.sqlite, one row each with its
// name, words, services, next reservation and the count of reservations it made, and 追加, 変更,
// 削除 and 有効・無効. Adding and changing go through the rule dialog (RuleEditDialog); deleting asks
// whether the rule's unstarted reservations go too. After each change the rules are run at once,
// so that the reservation list follows. While shown it looks every two seconds whether the guide,
// the rules file or the reservations changed. Closing hides it. UI thread.
class RuleListWindow : public ToolWindow {
  Q_OBJECT

 public:
  static constexpr int kRefreshMs = 2000;

  // `scheduler` outlives the window; `now` is broadcast time; `run_rules` runs the rules after a
  // change (nothing when null); questions and notices go to `messages`.
  RuleListWindow(RecordingScheduler& scheduler, RuleFiles& files, RuleDesk::NowFn now,
                 std::function<void()> run_rules, UserMessages& messages, QWidget* parent = nullptr);
  ~RuleListWindow() override;

  // Opens the rule dialog with `rule` (the guide's "この番組で自動予約を作成" and "検索条件で自動予約を
  // 作成"), offering to keep to `airing` when given, and stores the rule at OK; true then. Shows the
  // window.
  bool AddRule(const ReservationRule& rule, std::optional<RuleAiring> airing = std::nullopt);
  RuleDesk& desk() { return desk_; }

 public Q_SLOTS:
  // Shows the rules as they are now.
  void Rebuild();

 protected:
  void showEvent(QShowEvent* event) override;

 private Q_SLOTS:
  void addRule();
  void changeRule();
  void deleteRule();
  void toggleRule();
  void updateButtons();
  void Refresh();

 private:
  // Edits `rule` in the dialog; true at OK with the rule changed.
  bool RunDialog(ReservationRule* rule, std::optional<RuleAiring> airing = std::nullopt);
  // Stores the rule and runs the rules; the row of the rule is selected.
  void Store(const ReservationRule& rule);
  const ReservationRule* SelectedRule() const;

  std::unique_ptr<Ui::RuleListWindow> ui_;
  RuleDesk desk_;
  std::function<void()> run_rules_;
  UserMessages& messages_;
  std::vector<ReservationRule> shown_;
  QTimer refresh_;
  bool editing_ = false;  // the dialog is open: its matches point into the desk's programmes
};

}  // namespace pelkan::ui
