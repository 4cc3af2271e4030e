#include "guide/guide_texts.h"

#include <gtest/gtest.h>

#include "base/mjd_time.h"
#include "platform/text_codec.h"

namespace pelkan::guide_text {
namespace {

std::string U(std::string_view sjis) {
  return platform::SjisToUtf8(sjis);
}

GuideEvent Drama() {
  GuideEvent e;
  e.key = {0x7FE8, 0x7FE8, 1024, 4660};
  e.start = GuideTime{MjdFromDate(2026, 12, 7)} * 86400 + 21 * 3600;
  e.duration = 1830;
  e.title = platform::Utf8ToSjis("土曜ドラマ");
  e.description = platform::Utf8ToSjis("第３回");
  e.extended = platform::Utf8ToSjis("出演者\n山田太郎");
  e.genre = 0x30;
  e.video_component_type = 0xB3;
  e.audio_component_type = 0x03;
  return e;
}

TEST(GuideTexts, SwitchNoticeSaysWhatTheWindowNeeds) {
  EXPECT_EQ(U(SwitchNotice(true, true, true)), "");
  EXPECT_EQ(U(SwitchNotice(true, false, true)), U(kNoticeGuide));
  EXPECT_EQ(U(SwitchNotice(false, true, true)), U(kNoticeGuide));
  EXPECT_EQ(U(SwitchNotice(true, false, false)), "") << "the filtering window does without EIT processing";
  EXPECT_EQ(U(SwitchNotice(false, true, false)), U(kNoticeFilter));
  EXPECT_NE(U(kNoticeGuide).find("電子番組表処理(EIT)"), std::string::npos);
}

TEST(GuideTexts, SearchResultsLabelCountsOnlyAfterASearch) {
  EXPECT_EQ(U(SearchResultsLabel(std::nullopt)), "検索結果(&R)");
  EXPECT_EQ(U(SearchResultsLabel(0)), "検索結果(&R) 0件");
  EXPECT_EQ(U(SearchResultsLabel(12)), "検索結果(&R) 12件");
}

TEST(GuideTexts, GenresFallIntoTheirGroups) {
  EXPECT_EQ(U(GenreName(0x30)), "ドラマ");
  EXPECT_EQ(U(GenreName(0x5B)), "バラエティ");
  EXPECT_EQ(U(GenreName(0xB0)), "福祉");
  for (int other : {-1, 0xC0, 0xE1, 0xFF, 0x100}) {
    EXPECT_EQ(GenreGroup(other), kGenreGroups - 1) << other;
    EXPECT_EQ(U(GenreName(other)), "その他");
  }
}

TEST(GuideTexts, ProgrammeTexts) {
  const GuideEvent e = Drama();
  EXPECT_EQ(U(DayText(MjdFromDate(2026, 12, 7))), "12/7(月)");
  EXPECT_EQ(ClockText(e.start), "21:00");
  EXPECT_EQ(U(CompletionText(-1)), "番組表取得中");
  EXPECT_EQ(U(CompletionText(e.start + 5 * 60)), "番組表取得完了 2026/12/07 21:05");
  EXPECT_EQ(U(DetailText(e, platform::Utf8ToSjis("ペルカン総合テレビ"), true)),
            "2026/12/07(月) 21:00 - 21:30 (31分) 映像(D3 1080i,16:9) 音声(ステレオ)\n"
            "ペルカン総合テレビ\n土曜ドラマ [予約済み]\nジャンル: ドラマ\n\n第３回\n\n出演者\n山田太郎");
  EXPECT_EQ(U(AccessibleText(e, platform::Utf8ToSjis("ペルカン総合テレビ"), true)),
            "ペルカン総合テレビ 21:00 - 21:30 土曜ドラマ ドラマ 予約済み");
  EXPECT_EQ(U(SearchResultText(e, platform::Utf8ToSjis("ペルカン総合テレビ"))),
            "12/7(月) 21:00 ペルカン総合テレビ 土曜ドラマ");
  EXPECT_EQ(U(SearchResultText(e, platform::Utf8ToSjis("ペルカン総合テレビ"), SearchMark::kByHand)),
            "予 12/7(月) 21:00 ペルカン総合テレビ 土曜ドラマ");
  EXPECT_EQ(U(SearchResultText(e, platform::Utf8ToSjis("ペルカン総合テレビ"), SearchMark::kByRule)),
            "自 12/7(月) 21:00 ペルカン総合テレビ 土曜ドラマ");
  EXPECT_EQ(U(HeadingLine(e, platform::Utf8ToSjis("ペルカン総合テレビ"))),
            "ペルカン総合テレビ  2026/12/07(月) 21:00 - 21:30 (31分)  ドラマ");
  GuideEvent live = e;
  live.duration = kUndefinedDuration;
  live.description.clear();
  live.extended.clear();
  live.genre = -1;
  EXPECT_EQ(U(DetailText(live, "", false)),
            "2026/12/07(月) 21:00未定 映像(D3 1080i,16:9) 音声(ステレオ)\n\n土曜ドラマ\nジャンル: その他");
}

}  // namespace
}  // namespace pelkan::guide_text
