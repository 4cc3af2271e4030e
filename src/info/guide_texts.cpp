#include "info/guide_texts.h"

#include <cstdio>
#include <initializer_list>

#include "core/mjd_time.h"
#include "info/programme_text.h"

namespace pelkan::guide_text {
namespace {

constexpr std::string_view kGroupNames[kGenreGroups] = {
    "\x83j\x83\x85\x81[\x83X\x81^\x95\xF1\x93\xB9",                            // ニュース／報道
    "\x83X\x83|\x81[\x83\x63",                                                 // スポーツ
    "\x8F\xEE\x95\xF1\x81^\x83\x8F\x83\x43\x83h\x83V\x83\x87\x81[",            // 情報／ワイドショー
    "\x83h\x83\x89\x83}",                                                      // ドラマ
    "\x89\xB9\x8Ay",                                                           // 音楽
    "\x83o\x83\x89\x83G\x83\x65\x83\x42",                                      // バラエティ
    "\x89\x66\x89\xE6",                                                        // 映画
    "\x83\x41\x83j\x83\x81\x81^\x93\xC1\x8E\x42",                              // アニメ／特撮
    "\x83h\x83L\x83\x85\x83\x81\x83\x93\x83^\x83\x8A\x81[\x81^\x8B\xB3\x97{",  // ドキュメンタリー／教養
    "\x8C\x80\x8F\xEA\x81^\x8C\xF6\x89\x89",                                   // 劇場／公演
    "\x8E\xEF\x96\xA1\x81^\x8B\xB3\x88\xE7",                                   // 趣味／教育
    "\x95\x9F\x8E\x83",                                                        // 福祉
    "\x82\xBB\x82\xCC\x91\xBC",                                                // その他
};

constexpr char kCompleteAt[] =
    "\x94\xD4\x91g\x95\\\x8E\xE6\x93\xBE\x8A\xAE\x97\xB9 %04d/%02d/%02d %02d:%02d";  // 番組表取得完了 ...
constexpr char kIncomplete[] = "\x94\xD4\x91g\x95\\\x8E\xE6\x93\xBE\x92\x86";        // 番組表取得中
constexpr char kGenreLine[] = "\x83W\x83\x83\x83\x93\x83\x8B: ";                     // ジャンル:
constexpr char kMinutes[] = " (%u\x95\xAA)";                                         // " (%u分)"

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
  return group >= 0 && group < kGenreGroups ? kGroupNames[group] : kGroupNames[kGenreGroups - 1];
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
  std::snprintf(text, sizeof text, kCompleteAt, year, month, day,
                static_cast<int>(complete_at % 86400 / 3600), static_cast<int>(complete_at % 3600 / 60));
  return text;
}

std::string DetailText(const GuideEvent& e, std::string_view service_name, bool reserved) {
  MjdTime start, end;
  StartEnd(e, &start, &end);
  std::string out =
      FormatProgrammeText(PT_START_DATE | PT_START_TIME | PT_END_TIME, start, end, {}, {}, 0, 0);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (e.HasEnd()) {
    char minutes[32];
    std::snprintf(minutes, sizeof minutes, kMinutes, (e.duration + 59) / 60);
    out += minutes;
  }
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

std::string SearchResultText(const GuideEvent& e, std::string_view service_name) {
  std::string out = DayText(static_cast<uint32_t>(e.start / 86400));
  Append(out, {" ", ClockText(e.start), " ", service_name, " ", e.title});
  return out;
}

}  // namespace pelkan::guide_text
