#pragma once

#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/rule_window_rules.h"
#include "guide/guide_grid_model.h"
#include "guide/reserved_programmes.h"
#include "info/service_filter_window.h"
#include "rules/reservation_rule.h"
#include "ui/desktop_context.h"
#include "ui/tool_window.h"

class QMenu;
class QToolButton;

namespace Ui {
class GuideWindow;
}

namespace pelkan {
class GuideStore;
}

namespace pelkan::ui {

// The programme guide window "番組表": the guide of epg.sqlite as a grid of eight days (day buttons
// and "現在時刻" jump in it), the reservation marks, a detail pane for the current programme, a
// search field whose results (marked 予 or 自 when reserved) take the grid to a programme, a genre
// legend, and the reservation popup (a right or double click): "予約" reserves the programme by its
// event at once, "予約の詳細..." and "日時指定で録画予約" open the reservation edit dialog through the
// given callbacks while the capture goes on, "視聴" (only for a programme on air while the capture
// serves HTTP) opens its service's stream in the desktop's player; "この番組で自動予約を作成" in the popup and
// "検索条件で自動予約を作成" beside the search open the rule dialog with a rule made from them. It reads the
// guide with a connection of its own and follows what the collector writes every two seconds while shown,
// keeping the time, the service and the programme the user looks at. When DECODE_PSI or PROC_EPG is off it
// says so and offers to switch them on, also for the running capture. UI thread.
class GuideWindow : public ToolWindow {
  Q_OBJECT

 public:
  // How often the shown window looks for new data, the clock and the reservations.
  static constexpr int kRefreshMs = 2000;
  // Most search results listed.
  static constexpr size_t kSearchLimit = 500;

  // Opens the automatic reservation dialog with a rule to start from, offering to keep it to
  // `airing` when given (a rule made from one programme).
  using MakeRuleCallback = std::function<void(const ReservationRule& rule, std::optional<RuleAiring> airing)>;

  // `context` outlives the window; the callbacks open the reservation edit dialog and the rule
  // dialog (none when `make_rule` is null).
  GuideWindow(DesktopContext& context, ReserveByTimeCallback by_time, ReserveByEventCallback by_event,
              MakeRuleCallback make_rule = nullptr, QWidget* parent = nullptr);
  ~GuideWindow() override;

  // Reads the guide again and shows it, keeping the view. Called when shown and by the refresh.
  void Reload();
  // The model the grid shows (tests and the benchmark look at it).
  const GuideGridModel& model() const { return *model_; }
  // Shows or hides the notice about DECODE_PSI and PROC_EPG as the settings are now.
  void OnSettingsChanged() override { UpdateSwitchNotice(); }

 protected:
  void showEvent(QShowEvent* event) override;
  // Esc in the search field clears it.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private Q_SLOTS:
  void Refresh();
  void ShowCurrent();
  void ShowMenu(const QPoint& global_pos);
  // "予約": an event reservation at once, as the edit dialog would store it untouched.
  void Reserve();
  // "予約の詳細..." and "日時指定で録画予約": through the edit dialog.
  void ReserveByEvent();
  void ReserveByTime();
  // "この番組で自動予約を作成" and "検索条件で自動予約を作成".
  void RuleFromProgramme();
  void RuleFromSearch();
  void Search();
  void ShowResult();
  void SwitchOn();
  void FollowView();

 private:
  GuideTime Now() const;
  void UpdateSwitchNotice();
  // The line under the grid: the file cannot be read, or the capture cannot write the guide.
  void UpdateStatusLabel();
  bool OpenStore();
  void UpdateDayButtons();
  // The service name of a programme's column (Shift-JIS).
  std::string ServiceName(const GuideEventKey& key) const;
  // The reserved programmes with what the plan records of them, for the grid's frames.
  ReservedProgrammes ReservedNow() const;
  // After a reservation: the grid's marks, the detail pane and the search results' marks.
  void ShowReserved();
  // The search results' marks ("予 ", "自 ") as the grid has the reservations.
  void UpdateResultMarks();
  QString ResultText(const GuideEvent& e) const;

  std::unique_ptr<Ui::GuideWindow> ui_;
  DesktopContext& context_;
  ReserveByTimeCallback by_time_;
  ReserveByEventCallback by_event_;
  MakeRuleCallback make_rule_;
  std::unique_ptr<GuideStore> store_;
  std::string store_error_;
  uint64_t data_version_ = 0;
  // What the grid shows; a reload makes a new one, so that the grid can still read the old one
  // to keep the view.
  std::unique_ptr<GuideGridModel> model_ = std::make_unique<GuideGridModel>();
  GuideTime origin_ = -1;
  QTimer refresh_;
  QTimer search_delay_;
  QMenu* popup_ = nullptr;
  std::vector<QToolButton*> day_buttons_;
  std::vector<GuideEvent> results_;
};

}  // namespace pelkan::ui
