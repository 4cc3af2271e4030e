#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "guide/guide_event.h"
#include "platform/text_codec.h"

// The programme guide's texts and the rules that choose them. Every text is Shift-JIS (the
// program's internal encoding). Pure functions, safe from any thread.

namespace pelkan::guide_text {

inline const std::string kFileReplaced = platform::Sjis(
    "番組表ファイル %s は壊れているか番組表のものでないため、%s に名前を変えて新しく作りました。");
// The guide's file (%s: its name) could not take what was received: another program holds it,
// the disk is full or the file is read-only.
inline const std::string kWriteFailed =
    platform::Sjis("番組表ファイル %s に書き込めないため、受信した番組情報の一部を保存できませんでした。");
// The status line and the guide window while received programmes cannot be written to the file.
inline const std::string kNotWritten = platform::Sjis("番組表を保存できません");
inline const std::string kNoticeGuide = platform::Sjis(
    "番組表を作るには、オプションの「PSI処理」と「電子番組表処理(EIT)」をオンにしてください。");
inline const std::string kNoticeFilter =
    platform::Sjis("サービスを一覧するには、オプションの「PSI処理」をオンにしてください。");
inline const std::string kReserved = platform::Sjis("予約済み");
inline const std::string kEmpty =
    platform::Sjis("番組情報はまだありません。電子番組表処理をオンにして接続すると、放送から集めます。");
inline const std::string kReadError = platform::Sjis("番組表ファイルを読めません");

// Colour groups of genres: content_nibble_level_1 0-11, then one for none and the rest.
inline constexpr int kGenreGroups = 13;
// The colour group of a genre byte (content_nibble_level_1 << 4 | level_2; -1 none).
int GenreGroup(int genre);
// The name of a colour group ("ドラマ"; "その他" for the last).
std::string_view GenreGroupName(int group);
// The name of a genre byte's first level; "その他" for none and the levels without a name.
inline std::string_view GenreName(int genre) {
  return GenreGroupName(GenreGroup(genre));
}

// What has to be switched on for the guide (`guide`) or the filtering window to fill: the notice
// that says so, or empty when the needed switches are on. The guide needs both DECODE_PSI and
// PROC_EPG, the filtering window DECODE_PSI.
std::string_view SwitchNotice(bool decode_psi, bool proc_epg, bool guide);

// A day button: "12/7(月)".
std::string DayText(uint32_t mjd);
// The start time of a programme box: "21:00".
std::string ClockText(GuideTime t);
// When a service's schedule was last complete: "番組表取得完了 2026/12/07 21:05", or "番組表取得中".
std::string CompletionText(GuideTime complete_at);

// The detail of a programme: "2026/12/07(月) 21:00 - 21:30 (30分) 映像(...) 音声(...)", the
// service, the title (with "予約済み" when reserved), "ジャンル: ドラマ", then the description
// and the extended text, each after an empty line.
std::string DetailText(const GuideEvent& e, std::string_view service_name, bool reserved);
// The line under a programme's title in the reservation dialog's heading:
// "ペルカン総合テレビ  2026/12/07(月) 21:00 - 21:30 (30分)  ドラマ".
std::string HeadingLine(const GuideEvent& e, std::string_view service_name);
// One line for screen readers: "ペルカン総合テレビ 21:00 - 21:30 土曜ドラマ ドラマ 予約済み".
std::string AccessibleText(const GuideEvent& e, std::string_view service_name, bool reserved);
// The label above the search results: "検索結果(&R)" before a search, "検索結果(&R) 3件" after.
std::string SearchResultsLabel(std::optional<size_t> count);
// A line of the search results: "12/7(月) 21:00 ペルカン総合テレビ 土曜ドラマ", after "予 " when the
// programme is reserved by hand or "自 " by a rule (`mark`).
enum class SearchMark { kNone, kByHand, kByRule };
std::string SearchResultText(const GuideEvent& e, std::string_view service_name, SearchMark mark = SearchMark::kNone);

}  // namespace pelkan::guide_text
