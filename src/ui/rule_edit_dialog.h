#pragma once

#include <QDialog>
#include <QTimer>
#include <memory>
#include <optional>
#include <vector>

#include "app/rule_window_rules.h"
#include "core/user_messages.h"
#include "rules/reservation_rule.h"
#include "rules/rule_evaluation.h"

namespace Ui {
class RuleEditDialog;
}

namespace pelkan {
class RuleDesk;
}

namespace pelkan::ui {

// The automatic reservation rule dialog "自動予約の編集": every field of a rule, and beside them the
// live list of what the rule matches now in the guide, each programme with its verdict; the ones
// the rule would not reserve are struck through with the reason, and "この回も録画" reserves the
// selected one anyway (a stored rule only). The list follows the edits after a short pause. The
// fields are checked as they change (app/rule_window_rules.h): the reason shows under them and OK
// stays disabled until they make a rule. Modal; UI thread.
class RuleEditDialog : public QDialog {
  Q_OBJECT

 public:
  // The pause after an edit before the match list is worked out again.
  static constexpr int kRefreshDelayMs = 300;

  // `rule` is shown (id 0: a new rule); `desk` (which outlives the dialog) gives the guide and
  // makes "この回も録画"; a refused one is told through `messages`. With `airing` (a rule made from
  // one programme) the check box "この曜日・時間帯だけ" holds the weekday and time fields to it.
  RuleEditDialog(const ReservationRule& rule, RuleDesk& desk, UserMessages& messages,
                 QWidget* parent = nullptr, std::optional<RuleAiring> airing = std::nullopt);
  ~RuleEditDialog() override;

  // The rule built at OK; the opened one before.
  const ReservationRule& rule() const { return result_; }

 public Q_SLOTS:
  void accept() override;

 private Q_SLOTS:
  // A field changed: checks the fields now, the match list after the pause.
  void fieldsChanged();
  void refreshMatches();
  void reserveAnyway();
  // "この曜日・時間帯だけ" clicked: the weekday and time fields keep to the airing, or open up.
  void keepToAiring(bool only);
  void updateButtons();

 private:
  void Show(const RuleForm& form);
  RuleForm Read() const;
  // The selected match, or null.
  const RuleMatch* SelectedMatch() const;

  std::unique_ptr<Ui::RuleEditDialog> ui_;
  RuleDesk& desk_;
  UserMessages& messages_;
  ReservationRule opened_;
  std::optional<RuleAiring> airing_;
  ReservationRule result_;
  RuleFormCheck check_;             // of the fields as they are now
  std::vector<RuleMatch> matches_;  // the rows of the match list
  QTimer refresh_delay_;
};

}  // namespace pelkan::ui
