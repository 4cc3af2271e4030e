#pragma once

#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/recordings_view.h"
#include "app/rule_names.h"
#include "library/recording_library.h"
#include "ui/tool_window.h"

namespace Ui {
class RecordingsWindow;
}

namespace pelkan {
class UserMessages;
}

namespace pelkan::ui {

class MessageBoxMessages;
class RecordingTableModel;

// Where the 録画済み window takes what it shows and plays with.
struct RecordingsWindowSources {
  std::string library_path;  // library.sqlite (UTF-8)
  std::string rules_path;    // rules.sqlite, for the rules' names
  // PLAYER_COMMAND (UTF-8; "": xdg-open).
  std::function<std::string()> player_command;
  // The running HTTP server's base URL ("" while it does not run) and the view token its
  // recordings' URLs need ("" on loopback).
  std::function<std::string()> http_base;
  std::function<std::string()> view_token;
  // The status line ("空き 120 GB ・ 次の3時間に必要 8.2 GB") over the window's catalogue.
  std::function<std::string(RecordingLibrary&)> disk_status;
};

// The window "録画済み": every catalogued recording, newest first, with its result and counts (a
// coloured badge when not complete), narrowed by the folded search and the facet lists (rule,
// service, series, result, month). 再生 (or a double click) starts the player, 追っかけ再生 plays a
// recording in progress from the HTTP server, レポート and フォルダを開く open them, 保護/保護解除,
// 削除 (to the trash, after a question; a recording in progress is refused) and 一覧から外す (the
// file stays) act on every selected row. While shown it reads the catalogue again whenever the
// file changed (its stamps, checked each second: another program or the session wrote it). The
// player and the folder are started detached: the window never waits for them. UI thread only.
class RecordingsWindow : public ToolWindow {
  Q_OBJECT

 public:
  // Starts a program detached: argv[0] with the rest as its arguments; false when it cannot start.
  using Launcher = std::function<bool(const std::vector<std::string>& argv)>;

  // Message boxes go to `messages` when given, otherwise to message boxes over this window.
  RecordingsWindow(RecordingsWindowSources sources, UserMessages* messages = nullptr, QWidget* parent = nullptr);
  ~RecordingsWindow() override;

  // Replaces how programs are started (tests record the argv instead).
  void SetLauncher(Launcher launcher) { launcher_ = std::move(launcher); }
  // The rows shown (tests, benchmarks).
  int RowCount() const;

 public Q_SLOTS:
  // Reads the catalogue and the facets again and shows them, keeping the selection.
  void Reload();

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private Q_SLOTS:
  void play();
  void chase();
  void openReport();
  void openFolder();
  void toggleProtect();
  void deleteSelected();
  void forgetSelected();
  void updateButtons();
  // Each second while shown: reads again when the catalogue's file changed.
  void followCatalogue();

 private:
  // The selected rows' recordings; the row that has the focus first.
  std::vector<LibraryEntry> Selected() const;
  // The selected recordings that may leave the list as `kind` says; none after saying why not.
  std::vector<LibraryEntry> Removable(RemovalKind kind);
  void Launch(const std::vector<std::string>& argv);
  // Starts the player (PLAYER_COMMAND, else xdg-open) on `target`.
  void StartPlayer(const PlayTarget& target);
  void FillFacets();
  // Widens each column to its texts (within a limit for the titles, services and rules) and the
  // window to show them all.
  void FitColumns();
  void Notice(const std::string& text);
  std::string RuleName(uint32_t id);
  RecordingLibrary* Library();

  std::unique_ptr<Ui::RecordingsWindow> ui_;
  RecordingsWindowSources sources_;
  std::unique_ptr<MessageBoxMessages> own_messages_;
  UserMessages* messages_;
  RecordingTableModel* model_;
  std::unique_ptr<RecordingLibrary> library_;
  RuleNames rule_names_;
  CatalogueStamp read_at_{};
  Launcher launcher_;
  QTimer follow_;
  int status_ticks_ = 0;
  bool filling_facets_ = false;
  bool columns_fitted_ = false;
};

}  // namespace pelkan::ui
