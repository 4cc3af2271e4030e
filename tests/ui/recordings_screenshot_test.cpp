// A picture of the 録画済み window for the documentation: run with PELKAN_SCREENSHOT_DIR set (under
// xvfb-run, once as is and once with QT_SCALE_FACTOR=2); skipped otherwise.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QComboBox>
#include <QPixmap>
#include <QTableView>
#include <cstdlib>

#include "hooks/recording_outcome.h"
#include "library/recording_library.h"
#include "rules/reservation_rule.h"
#include "rules/rule_store.h"
#include "tests/support/capture_fakes.h"
#include "tests/support/temp_dir.h"
#include "ui/recordings_window.h"

namespace pelkan::ui {
namespace {

TEST(RecordingsScreenshots, RecordingsWindow) {
  if (std::getenv("PELKAN_SCREENSHOT_DIR") == nullptr) GTEST_SKIP() << "PELKAN_SCREENSHOT_DIR not set";
  const std::string scale = qEnvironmentVariable("QT_SCALE_FACTOR").toStdString();
  const std::string shot =
      std::string(std::getenv("PELKAN_SCREENSHOT_DIR")) + "/recordings_window" + (scale == "2" ? "@2x" : "") + ".png";
  test::TempDir dir;
  std::string error;
  auto rules = RuleStore::Open(dir.File("rules.sqlite"), nullptr, &error);
  ASSERT_TRUE(rules) << error;
  ReservationRule rule;
  rule.name = "大河ドラマ";
  rule.words = {"大河"};
  const uint32_t rule_id = rules->Save(rule);
  auto library = RecordingLibrary::Open(dir.File("library.sqlite"), nullptr, &error);
  ASSERT_TRUE(library) << error;
  const struct {
    const char* title;
    uint16_t service;
    const char* result;
    const char* start;
    const char* end;
    uint64_t drop, error, scrambled;
    uint32_t rule;
  } recordings[] = {
      {"🈑ニュース７", 1024, "complete", "2026-12-07T19:00:00+09:00", "2026-12-07T19:30:00+09:00", 0, 0, 0, 0},
      {"大河ドラマ「光る君へ」🈞 第48回", 1024, "complete", "2026-12-06T20:00:00+09:00",
       "2026-12-06T20:45:00+09:00", 0, 0, 0, rule_id},
      {"ダーウィンが来た！", 1032, "partial", "2026-12-06T19:30:00+09:00", "2026-12-06T19:58:00+09:00", 140, 3, 0, 0},
      {"映画「七人の侍」🈑🈖", 1032, "recovered", "2026-11-30T21:00:00+09:00", "2026-11-30T23:30:00+09:00", 12, 0, 0, 0},
      {"深夜アニメ", 1040, "failed", "2026-11-29T01:00:00+09:00", "2026-11-29T01:02:00+09:00", 0, 0, 5000, 0},
  };
  std::vector<int64_t> ids;
  for (const auto& r : recordings) {
    hooks::RecordingOutcome o;
    o.kind = r.rule != 0 ? "rule" : "reservation";
    o.file = dir.File(std::string(r.title) + ".ts");
    o.title = o.plain_title = r.title;
    o.service_id = r.service;
    o.service_name = r.service == 1024 ? "NHK総合" : r.service == 1032 ? "Eテレ" : "ペルカン総合・サブ";
    o.result = r.result;
    o.actual_start = r.start;
    o.actual_end = r.end;
    o.bytes = static_cast<uint64_t>(EpochOfIso(r.end) - EpochOfIso(r.start)) * 2'100'000;
    o.drop = r.drop;
    o.error = r.error;
    o.scrambled = r.scrambled;
    o.rule_id = r.rule;
    ids.push_back(*library->Complete(o, o.file, 1));
  }
  library->SetProtected(ids[3], true);
  LibraryEntry now;
  now.file = dir.File("天気予報.ts");
  now.title = "気象情報・天気予報";
  now.service_id = 1024;
  now.service_name = "NHK総合";
  now.start = EpochOfIso("2026-12-08T19:55:00+09:00");
  now.bytes = 630'000'000;
  library->Begin(now);

  RecordingsWindowSources sources;
  sources.library_path = dir.File("library.sqlite");
  sources.rules_path = dir.File("rules.sqlite");
  sources.disk_status = [](RecordingLibrary&) { return std::string("空き 120 GB ・ 次の3時間に必要 8.2 GB"); };
  testing::RecordingMessages messages;
  RecordingsWindow window(std::move(sources), &messages);
  window.show();
  for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
  window.findChild<QTableView*>("recordingsList")->selectRow(1);
  for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
  ASSERT_TRUE(window.grab().save(QString::fromStdString(shot)));
}

}  // namespace
}  // namespace pelkan::ui
