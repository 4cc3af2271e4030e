#include "app/recordings_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelkan {
namespace {

// The player's argv: the command split first, then the values put inside the arguments, so that a
// path or URL with blanks, quotes or ';' is one argument and is never substituted again.
TEST(RecordingsView, PlayerArgvKeepsEveryValueOneArgument) {
  const std::string odd = "/rec/a b; rm -rf ~ \"q\" 'x'.ts";
  const struct {
    const char* name;
    std::string command;
    PlayTarget target;
    std::vector<std::string> argv;
  } cases[] = {
      {"desktop player for a file", "", {odd, "", 5}, {"xdg-open", odd}},
      {"desktop player while chasing", "  ", {odd, "http://127.0.0.1:8080/recordings/7", 0},
       {"xdg-open", "http://127.0.0.1:8080/recordings/7"}},
      {"placeholders inside arguments", "mpv --start={position} --title=\"録画 {file}\" {file}", {odd, "", 120},
       {"mpv", "--start=120", "--title=録画 " + odd, odd}},
      {"no placeholder: the target last", "vlc --fullscreen", {odd, "", 0}, {"vlc", "--fullscreen", odd}},
      {"no placeholder while chasing: the URL last", "vlc", {odd, "http://h:1/recordings/2?t=ab", 0},
       {"vlc", "http://h:1/recordings/2?t=ab"}},
      {"a file's URL without a server", "player '{url}'", {"/rec/ニュース 1.ts", "", 0},
       {"player", "file:///rec/%E3%83%8B%E3%83%A5%E3%83%BC%E3%82%B9%201.ts"}},
      {"a value holding a placeholder stays as it is", "p {file} {url}", {"/rec/{url}.ts", "", 0},
       {"p", "/rec/{url}.ts", "file:///rec/%7Burl%7D.ts"}},
      {"a command that does not split", "p 'unclosed {file}", {odd, "", 0}, {}},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(PlayerArgv(c.command, c.target, &error), c.argv) << c.name;
    EXPECT_EQ(error.empty(), !c.argv.empty()) << c.name;
  }
}

// The row of each kind of recording: its texts and whether its result stands out.
TEST(RecordingsView, RowTextsAndBadges) {
  const auto rule_name = [](uint32_t id) { return id == 3 ? std::string("ニュース") : std::string("?"); };
  LibraryEntry complete;
  complete.title = "🈑ニュース７";
  complete.service_name = "NHK総合";
  complete.start = 1765195200;  // 2025-12-08 21:00 Japan
  complete.duration = 3725;
  complete.bytes = 8'200'000'000;
  complete.result = LibraryResult::kComplete;
  complete.rule_id = 3;
  LibraryEntry partial = complete;
  partial.result = LibraryResult::kPartial;
  partial.drop = 12;
  partial.error = 3;
  partial.scrambled = 1;
  partial.rule_id = 0;
  partial.is_protected = true;
  LibraryEntry recording = complete;
  recording.recording = true;
  recording.result = LibraryResult::kRecording;
  LibraryEntry missing = complete;
  missing.missing = true;
  missing.service_name = "";
  missing.service_id = 1024;
  missing.start = 0;
  LibraryEntry recovered = complete;
  recovered.result = LibraryResult::kRecovered;
  const struct {
    LibraryEntry entry;
    std::vector<std::string> cells;
    RecordingBadge badge;
  } cases[] = {
      {complete,
       {"🈑ニュース７", "NHK総合", "2025-12-08 21:00", "1:02:05", "完了  ドロップ 0  エラー 0  スクランブル 0", "8.2 GB",
        "ニュース", ""},
       RecordingBadge::kNone},
      {partial,
       {"🈑ニュース７", "NHK総合", "2025-12-08 21:00", "1:02:05", "一部  ドロップ 12  エラー 3  スクランブル 1", "8.2 GB",
        "", "🔒"},
       RecordingBadge::kFailed},
      {recording, {"🈑ニュース７", "NHK総合", "2025-12-08 21:00", "1:02:05", "録画中", "8.2 GB", "ニュース", ""},
       RecordingBadge::kRecording},
      {missing,
       {"🈑ニュース７", "1024", "-", "1:02:05", "ファイルなし ・ 完了  ドロップ 0  エラー 0  スクランブル 0", "8.2 GB",
        "ニュース", ""},
       RecordingBadge::kMissing},
      {recovered,
       {"🈑ニュース７", "NHK総合", "2025-12-08 21:00", "1:02:05", "復旧  ドロップ 0  エラー 0  スクランブル 0", "8.2 GB",
        "ニュース", ""},
       RecordingBadge::kRecovered},
  };
  for (const auto& c : cases) {
    const RecordingRow row = RecordingRowOf(c.entry, rule_name);
    EXPECT_EQ(std::vector<std::string>(std::begin(row.cells), std::end(row.cells)), c.cells);
    EXPECT_EQ(row.badge, c.badge) << c.cells[4];
  }
}

// A facet list's entry narrows the list by its key; a key the kind does not know narrows nothing.
TEST(RecordingsView, FacetsNarrowTheQuery) {
  const auto rule_name = [](uint32_t id) { return "ルール" + std::to_string(id); };
  const struct {
    LibraryFacetKind kind;
    LibraryFacet facet;
    std::string text;
    bool known;
  } cases[] = {
      {LibraryFacetKind::kRule, {"12", "rule 12", 3}, "ルール12 (3)", true},
      {LibraryFacetKind::kService, {"1024", "", 2}, "1024 (2)", true},
      {LibraryFacetKind::kService, {"70000", "NHK", 2}, "NHK (2)", false},
      {LibraryFacetKind::kSeries, {"id:57", "ドラマ", 4}, "ドラマ (4)", true},
      {LibraryFacetKind::kResult, {"tuner lost", "tuner lost", 1}, "チューナー切断 (1)", true},
      {LibraryFacetKind::kResult, {"lost", "lost", 1}, "lost (1)", false},
      {LibraryFacetKind::kMonth, {"2026-03", "2026-03", 9}, "2026年3月 (9)", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LibraryFacetText(c.kind, c.facet, rule_name), c.text);
    LibraryQuery query;
    EXPECT_EQ(NarrowByFacet(c.kind, c.facet.key, &query), c.known) << c.text;
    if (!c.known) continue;
    EXPECT_TRUE(query.rule_id || query.service_id || !query.series.empty() || query.result || !query.month.empty())
        << c.text;
  }
  LibraryQuery all;
  EXPECT_TRUE(NarrowByFacet(LibraryFacetKind::kRule, "", &all));
  EXPECT_FALSE(all.rule_id);
}

}  // namespace
}  // namespace pelkan
