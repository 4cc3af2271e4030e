#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "info/guide_event.h"

// The programme guide's texts and the rules that choose them. Every text is Shift-JIS (the
// program's internal encoding): the Japanese texts are written as byte escapes with the UTF-8
// reading in the comment. Pure functions, safe from any thread.

namespace pelkan::guide_text {

inline constexpr char kFileReplaced[] =
    "\x94\xD4\x91g\x95\\\x83t\x83@\x83\x43\x83\x8B %s "
    "\x82\xCD\x89\xF3\x82\xEA\x82\xC4\x82\xA2\x82\xE9\x82\xA9\x94\xD4\x91g\x95\\\x82\xCC\x82\xE0\x82\xCC\x82"
    "\xC5\x82\xC8\x82\xA2\x82\xBD\x82\xDF\x81\x41%s "
    "\x82\xC9\x96\xBC\x91O\x82\xF0\x95\xCF\x82\xA6\x82\xC4\x90V\x82\xB5\x82\xAD\x8D\xEC\x82\xE8\x82\xDC\x82"
    "\xB5\x82\xBD\x81\x42";  // 番組表ファイル %s は壊れているか番組表のものでないため、%s
                             // に名前を変えて新しく作りました。
inline constexpr char kNoticeGuide[] =
    "\x94\xD4\x91g\x95\\\x82\xF0\x8D\xEC\x82\xE9\x82\xC9\x82\xCD\x81\x41\x83I\x83v\x83V\x83\x87\x83\x93\x82"
    "\xCC\x81uPSI\x8F\x88\x97\x9D\x81v\x82\xC6\x81u\x93\x64\x8Eq\x94\xD4\x91g\x95\\\x8F\x88\x97\x9D(EIT)"
    "\x81v\x82\xF0\x83I\x83\x93\x82\xC9\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81\x42";  // 番組表を作るには、オプションの「PSI処理」と「電子番組表処理(EIT)」をオンにしてください。
inline constexpr char kNoticeFilter[] =
    "\x83T\x81["
    "\x83r\x83X\x82\xF0\x88\xEA\x97\x97\x82\xB7\x82\xE9\x82\xC9\x82\xCD\x81\x41\x83I\x83v\x83V\x83\x87\x83"
    "\x93\x82\xCC\x81uPSI\x8F\x88\x97\x9D\x81v\x82\xF0\x83I\x83\x93\x82\xC9\x82\xB5\x82\xC4\x82\xAD\x82\xBE"
    "\x82\xB3\x82\xA2\x81\x42";  // サービスを一覧するには、オプションの「PSI処理」をオンにしてください。
inline constexpr char kReserved[] = "\x97\\\x96\xF1\x8D\xCF\x82\xDD";  // 予約済み
inline constexpr char kEmpty[] =
    "\x94\xD4\x91g\x8F\xEE\x95\xF1\x82\xCD\x82\xDC\x82\xBE\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81\x42"
    "\x93\x64\x8Eq\x94\xD4\x91g\x95\\\x8F\x88\x97\x9D\x82\xF0\x83I\x83\x93\x82\xC9\x82\xB5\x82\xC4\x90\xDA"
    "\x91\xB1\x82\xB7\x82\xE9\x82\xC6\x81\x41\x95\xFA\x91\x97\x82\xA9\x82\xE7\x8FW\x82\xDF\x82\xDC\x82\xB7"
    "\x81\x42";  // 番組情報はまだありません。電子番組表処理をオンにして接続すると、放送から集めます。
inline constexpr char kReadError[] =
    "\x94\xD4\x91g\x95\\\x83t\x83@\x83\x43\x83\x8B\x82\xF0\x93\xC7\x82\xDF\x82\xDC\x82\xB9\x82\xF1";  // 番組表ファイルを読めません

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
// One line for screen readers: "ペルカン総合テレビ 21:00 - 21:30 土曜ドラマ ドラマ 予約済み".
std::string AccessibleText(const GuideEvent& e, std::string_view service_name, bool reserved);
// A line of the search results: "12/7(月) 21:00 ペルカン総合テレビ 土曜ドラマ".
std::string SearchResultText(const GuideEvent& e, std::string_view service_name);

}  // namespace pelkan::guide_text
