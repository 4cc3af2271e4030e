// pelkan-cli schedule list and plan: the reservation list of schedule.ini and what the tuner will
// record of it, as tab-separated rows or JSON.
#include "cli/schedule_listing.h"

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "app/home_folder.h"
#include "app/json_text.h"
#include "app/offline_schedule.h"
#include "app/plan_json.h"
#include "cli/one_line_text.h"
#include "cli/option_parser.h"
#include "platform/text_codec.h"
#include "guide/guide_coverage.h"
#include "schedule/schedule_texts.h"

namespace pelkan::cli {
namespace {

constexpr const char* kName = kScheduleCommandName;

}  // namespace

ReservationLookups::ReservationLookups() : guide(GuidePath()), rules(RulesPath()) {}

void TellSchedule(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", kName, text.c_str());
}

namespace {

std::string Utf8Broadcast(const std::string& sjis, platform::SymbolForm symbols = platform::SymbolForm::kSymbols) {
  return OneLineText(platform::BroadcastToUtf8(sjis, symbols));
}

}  // namespace

std::string ReservationRow(size_t number, const ScheduleItem& listed, ReservationLookups& lookups,
                           platform::SymbolForm symbols) {
  const ScheduleItem item = lookups.guide.WithGuideTime(listed);
  const ResolvedProgramme programme = lookups.guide.OfReservation(listed);
  return std::to_string(number) + "\t" + platform::SjisToUtf8(ItemTypeText(item)) + "\t" +
         platform::SjisToUtf8(ItemStartText(item)) + "\t" + platform::SjisToUtf8(ItemDurationText(item)) +
         "\t" + OneLineText(lookups.rules.DetailText(item)) + "\t" +
         Utf8Broadcast(ProgrammeNameText(item, programme)) + "\t" +
         Utf8Broadcast(ServiceNameText(item, programme)) + "\t" + Utf8Broadcast(ItemFileNameText(item), symbols);
}

std::string StartText(MjdTime t, char separator) {
  return InstantText(int64_t{t.date} * 86400 + t.seconds, separator);
}

namespace {

// What the reservation tunes to: "channel=N", "channel-string=TEXT", "stream=0xSSSS" as it has
// them, "-" for none.
std::string TuningText(const ScheduleItem& item) {
  std::string text;
  const auto add = [&text](const std::string& part) { text += (text.empty() ? "" : " ") + part; };
  if (item.flags & SI_CHANNEL_VALUE) add("channel=" + std::to_string(item.channel_value));
  if (item.flags & SI_CHANNEL_STRING)
    add("channel-string=" + OneLineText(platform::SjisToUtf8(GetText(item.channel_string))));
  if (item.stream_id != 0) {
    char id[16];
    std::snprintf(id, sizeof id, "stream=0x%04X", item.stream_id);
    add(id);
  }
  return text.empty() ? "-" : text;
}

}  // namespace

ScheduledPlan PlanOf(RecordingScheduler& scheduler, ReservationLookups& lookups) {
  return lookups.guide.Resolve(scheduler.PlannedReservations());
}

std::string PlanVerdictText(const ScheduledPlan& plan, size_t i) {
  return OneLineText(platform::BroadcastToUtf8(PlanText(plan.lines[i], plan.items)));
}

namespace {

// "head 120s by 2 (NAME)": seconds lost to the reservation numbered as in the list.
std::string LostText(const char* where, int64_t seconds, int by, const ScheduledPlan& plan) {
  std::string text = std::string(where) + " " + std::to_string(seconds) + "s";
  if (by >= 0 && static_cast<size_t>(by) < plan.items.size()) {
    text += " by " + std::to_string(by + 1) + " (" +
            OneLineText(platform::BroadcastToUtf8(PlanWinnerName(plan.items[static_cast<size_t>(by)]))) + ")";
  }
  return text;
}

}  // namespace

std::string PlanRow(const ScheduledPlan& plan, size_t i, ReservationLookups& lookups) {
  const PlanLine& line = plan.lines[i];
  const auto span = RequestedSpan(plan, i);
  const auto service = RecordedServiceId(plan.items[i]);
  std::string lost;
  if (line.verdict == PlanVerdict::kNone && span) {
    lost = LostText("all", span->second - span->first, line.by, plan);
  } else {
    if (line.head_lost > 0) lost = LostText("head", line.head_lost, line.head_by, plan);
    if (line.tail_lost > 0)
      lost += (lost.empty() ? "" : ", ") + LostText("tail", line.tail_lost, line.tail_by, plan);
  }
  const ResolvedProgramme programme = lookups.guide.OfReservation(plan.items[i]);
  std::string verdict = PlanVerdictText(plan, i);
  if (programme.stale) {
    if (!verdict.empty()) verdict += ' ';
    verdict += platform::SjisToUtf8(StaleGuideText());
  }
  const std::string name = Utf8Broadcast(ProgrammeNameText(plan.items[i], programme));
  return std::to_string(i + 1) + "\t" + (span ? InstantText(span->first) : "-") + "\t" +
         (span ? InstantText(span->second) : "-") + "\t" + (name.empty() ? "-" : name) + "\t" +
         (service ? std::to_string(*service) : "all") +
         "\t" + TuningText(plan.items[i]) + "\t" + (verdict.empty() ? "-" : verdict) + "\t" +
         (lost.empty() ? "-" : lost);
}

namespace {

int List(platform::SymbolForm symbols) {
  OfflineSchedule s(nullptr, false, TellSchedule);
  if (s.scheduler().ScheduleFileUnreadable()) {
    std::fprintf(stderr,
                 "%s: %s is not a reservation file (it has no [Pelkan_Schedule] section); it is kept as "
                 "%s.bad when reservations are next written\n",
                 kName, SchedulePath().c_str(), SchedulePath().c_str());
  }
  for (const std::string& w : s.scheduler().LoadWarnings())
    std::fprintf(stderr, "%s: schedule.ini: %s: dropped, it can never be recorded\n", kName, w.c_str());
  const auto items = s.scheduler().Reservations();
  ReservationLookups lookups;
  std::printf("No.\tタイプ\t開始日時\t録画時間\t詳細\t番組名\tサービス\tファイル名\n");
  for (size_t i = 0; i < items.size(); ++i)
    std::printf("%s\n", ReservationRow(i + 1, items[i], lookups, symbols).c_str());
  return 0;
}

}  // namespace

int RunSchedulePlan(int argc, char** argv) {
  bool json = false;
  OptionParser parser(kName,
                      "Usage: pelkan-cli schedule plan [--json]\n"
                      "What the tuner will record of each reservation of schedule.ini in the current\n"
                      "directory.\n\n",
                      {}, 19);
  parser.Flag("--json", "a JSON array of one object per reservation", &json);
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  OfflineSchedule s(nullptr, false, TellSchedule);
  ReservationLookups lookups;
  const ScheduledPlan plan = PlanOf(s.scheduler(), lookups);
  if (json) {
    std::string out = "[";
    for (size_t i = 0; i < plan.items.size(); ++i) out += (i ? ",\n  " : "\n  ") + PlanJson(plan, i, lookups.guide.OfReservation(plan.items[i]).stale);
    out += plan.items.empty() ? "]\n" : "\n]\n";
    std::fputs(out.c_str(), stdout);
    return 0;
  }
  std::printf("No.\t開始\t終了\t番組名\tサービス\tチャンネル\t録画予定\t欠ける部分\n");
  for (size_t i = 0; i < plan.items.size(); ++i) std::printf("%s\n", PlanRow(plan, i, lookups).c_str());
  return 0;
}

int RunScheduleList(int argc, char** argv) {
  platform::SymbolForm symbols = platform::SymbolForm::kSymbols;
  OptionParser parser(kName,
                      "Usage: pelkan-cli schedule list [--plain-symbols]\n"
                      "Lists the reservations of schedule.ini in the current directory.\n\n",
                      {}, 19);
  parser.Flag("--plain-symbols", "the broadcast's symbols of the file names in their plain forms",
              [&symbols] { symbols = platform::SymbolForm::kPlain; });
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  return List(symbols);
}

}  // namespace pelkan::cli
