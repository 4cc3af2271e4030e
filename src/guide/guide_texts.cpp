#include "guide/guide_texts.h"

#include <cstdio>
#include <initializer_list>

#include "base/mjd_time.h"
#include "info/programme_text.h"

namespace pelkan::guide_text {
namespace {

using platform::Sjis;

const std::string kGroupNames[kGenreGroups] = {
    Sjis("ニュース／報道"), Sjis("スポーツ"),     Sjis("情報／ワイドショー"),
    Sjis("ドラマ"),         Sjis("音楽"),         Sjis("バラエティ"),
    Sjis("映画"),           Sjis("アニメ／特撮"), Sjis("ドキュメンタリー／教養"),
    Sjis("劇場／公演"),     Sjis("趣味／教育"),   Sjis("福祉"),
    Sjis("その他"),
};

const std::string kCompleteAt = Sjis("番組表取得完了 %04d/%02d/%02d %02d:%02d");
const std::string kIncomplete = Sjis("番組表取得中");
const std::string kGenreLine = Sjis("ジャンル: ");
const std::string kMinutes = Sjis(" (%u分)");

MjdTime ToMjd(GuideTime t) {
  return MjdTime{static_cast<uint32_t>(t / 86400), static_cast<uint32_t>(t % 86400)};
}

// Start and end as FormatProgrammeText takes them (an undetermined end as kUndefinedDuration).
void StartEnd(const GuideEvent& e, MjdTime* start, MjdTime* end) {
  *start = ToMjd(e.start);
  *end = e.HasEnd() ? ToMjd(e.End()) : MjdTime{start->date, kUndefinedDuration};
}

// Appends the pieces in turn (also keeps GCC 12 from a false -Wrestrict on "a" + std::string).
void Append(std::string& out, std::initializer_list<std::string_view> pieces) {
  for (std::string_view piece : pieces) out.append(piece);
}

}  // namespace

int GenreGroup(int genre) {
  if (genre < 0 || genre > 0xFF) return kGenreGroups - 1;
  const int level1 = genre >> 4;
  return level1 < kGenreGroups - 1 ? level1 : kGenreGroups - 1;
}

std::string_view GenreGroupName(int group) {
  return group >= 0 && group < kGenreGroups ? std::string_view(kGroupNames[group])
                                            : std::string_view(kGroupNames[kGenreGroups - 1]);
}

std::string_view SwitchNotice(bool decode_psi, bool proc_epg, bool guide) {
  if (guide) return decode_psi && proc_epg ? std::string_view() : std::string_view(kNoticeGuide);
  return decode_psi ? std::string_view() : std::string_view(kNoticeFilter);
}

std::string DayText(uint32_t mjd) {
  int year = 0, month = 0, day = 0;
  MjdToDate(mjd, &year, &month, &day);
  char text[32];
  std::snprintf(text, sizeof text, "%d/%d(", month, day);
  std::string out = text;
  Append(out, {WeekdayName(mjd), ")"});
  return out;
}

std::string ClockText(GuideTime t) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d:%02d", static_cast<int>(t % 86400 / 3600),
                static_cast<int>(t % 3600 / 60));
  return text;
}

std::string CompletionText(GuideTime complete_at) {
  if (complete_at < 0) return kIncomplete;
  int year = 0, month = 0, day = 0;
  MjdToDate(static_cast<uint32_t>(complete_at / 86400), &year, &month, &day);
  char text[64];
  std::snprintf(text, sizeof text, kCompleteAt.c_str(), year, month, day,
                static_cast<int>(complete_at % 86400 / 3600), static_cast<int>(complete_at % 3600 / 60));
  return text;
}

namespace {

// "2026/12/07(月) 21:00 - 21:30 (30分)".
std::string TimeLine(const GuideEvent& e) {
  MjdTime start, end;
  StartEnd(e, &start, &end);
  std::string out =
      FormatProgrammeText(PT_START_DATE | PT_START_TIME | PT_END_TIME, start, end, {}, {}, 0, 0);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (e.HasEnd()) {
    char minutes[32];
    std::snprintf(minutes, sizeof minutes, kMinutes.c_str(), (e.duration + 59) / 60);
    out += minutes;
  }
  return out;
}

}  // namespace

std::string HeadingLine(const GuideEvent& e, std::string_view service_name) {
  std::string out(service_name);
  if (!out.empty()) out += "  ";
  Append(out, {TimeLine(e), "  ", GenreName(e.genre)});
  return out;
}

std::string DetailText(const GuideEvent& e, std::string_view service_name, bool reserved) {
  MjdTime start, end;
  StartEnd(e, &start, &end);
  std::string out = TimeLine(e);
  out +=
      FormatProgrammeText(PT_COMPONENTS, start, end, {}, {}, e.video_component_type, e.audio_component_type);
  Append(out, {"\n", service_name, "\n", e.title});
  if (reserved) Append(out, {" [", kReserved, "]"});
  Append(out, {"\n", kGenreLine, GenreName(e.genre)});
  if (!e.description.empty()) Append(out, {"\n\n", e.description});
  if (!e.extended.empty()) Append(out, {"\n\n", e.extended});
  return out;
}

std::string AccessibleText(const GuideEvent& e, std::string_view service_name, bool reserved) {
  MjdTime start, end;
  StartEnd(e, &start, &end);
  std::string out;
  Append(out, {service_name, " ",
               FormatProgrammeText(PT_START_TIME | PT_END_TIME | PT_TITLE, start, end, e.title, {}, 0, 0),
               " ", GenreName(e.genre)});
  if (reserved) Append(out, {" ", kReserved});
  return out;
}

std::string SearchResultsLabel(std::optional<size_t> count) {
  std::string label = Sjis("検索結果(&R)");
  if (count) label.append(" ").append(std::to_string(*count)).append(Sjis("件"));
  return label;
}

std::string SearchResultText(const GuideEvent& e, std::string_view service_name, SearchMark mark) {
  std::string out;
  if (mark != SearchMark::kNone) Append(out, {Sjis(mark == SearchMark::kByRule ? "自" : "予"), " "});
  out += DayText(static_cast<uint32_t>(e.start / 86400));
  Append(out, {" ", ClockText(e.start), " ", service_name, " ", e.title});
  return out;
}

}  // namespace pelkan::guide_text
