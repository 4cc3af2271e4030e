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
#include "platform/profile.h"
#include "platform/text_codec.h"
#include "rules/rule_evaluation.h"
#include "rules/rule_store.h"
#include "schedule/schedule_texts.h"

namespace pelkan::cli {
namespace {

constexpr const char* kName = kScheduleCommandName;

}  // namespace

void TellSchedule(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", kName, text.c_str());
}

namespace {

// The margins and priority of a reservation that does not have the defaults of the file:
// "[マージン=30秒前/60秒後][優先度=5]", each only when it differs.
std::string MarginPriorityText(const ScheduleItem& item) {
  std::string text;
  if (item.margin_before != kDefaultMarginBefore || item.margin_after != kDefaultMarginAfter) {
    text += "[マージン=" + std::to_string(item.margin_before) + "秒前/" + std::to_string(item.margin_after) +
            "秒後]";
  }
  if (item.priority != kDefaultPriority) text += "[優先度=" + std::to_string(item.priority) + "]";
  return text;
}

// "[ルール: NAME]" for a reservation made by an automatic reservation rule ("[ルール: ルール不明(ID=N)]"
// when the rules file no longer knows it); empty for one made by hand.
std::string RuleMarkText(const ScheduleItem& item) {
  if (item.rule_id == 0) return {};
  // Read again whenever the rules file (or its write-ahead log) changed: one process may list after
  // it changed the rules.
  static std::pair<platform::FileStamp, platform::FileStamp> read_at;
  static std::map<uint32_t, std::string> names;
  const auto stamps = std::make_pair(platform::StampOf(RulesPath()), platform::StampOf(RulesPath() + "-wal"));
  if (stamps != read_at) {
    read_at = stamps;
    names.clear();
    if (stamps.first.exists) {
      if (auto store = RuleStore::Open(RulesPath(), nullptr, nullptr)) {
        for (const ReservationRule& r : store->Rules()) names[r.id] = r.name;
      }
    }
  }
  const auto it = names.find(item.rule_id);
  return "[ルール: " +
         (it != names.end() ? it->second
                            : kUnknownRuleText + std::string("(ID=") + std::to_string(item.rule_id) + ")") +
         "]";
}

}  // namespace

std::string ReservationRow(size_t number, const ScheduleItem& item, platform::SymbolForm symbols) {
  return std::to_string(number) + "\t" + platform::SjisToUtf8(ItemTypeText(item)) + "\t" +
         platform::SjisToUtf8(ItemStartText(item)) + "\t" + platform::SjisToUtf8(ItemDurationText(item)) +
         "\t" +
         OneLineText(platform::SjisToUtf8(ItemDetailText(item)) + MarginPriorityText(item) +
                     RuleMarkText(item)) +
         "\t" + OneLineText(platform::BroadcastToUtf8(ItemFileNameText(item), symbols));
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

ScheduledPlan PlanOf(RecordingScheduler& scheduler) {
  return scheduler.PlannedReservations();
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

std::string PlanRow(const ScheduledPlan& plan, size_t i) {
  const PlanLine& line = plan.lines[i];
  const auto span = RequestedSpan(plan, i);
  const auto service = RecordedService(plan.items[i]);
  std::string lost;
  if (line.verdict == PlanVerdict::kNone && span) {
    lost = LostText("all", span->second - span->first, line.by, plan);
  } else {
    if (line.head_lost > 0) lost = LostText("head", line.head_lost, line.head_by, plan);
    if (line.tail_lost > 0)
      lost += (lost.empty() ? "" : ", ") + LostText("tail", line.tail_lost, line.tail_by, plan);
  }
  const std::string verdict = PlanVerdictText(plan, i);
  return std::to_string(i + 1) + "\t" + (span ? InstantText(span->first) : "-") + "\t" +
         (span ? InstantText(span->second) : "-") + "\t" + (service ? std::to_string(*service) : "all") +
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
  std::printf("No.\tタイプ\t開始日時\t録画時間\t詳細\tファイル名\n");
  for (size_t i = 0; i < items.size(); ++i)
    std::printf("%s\n", ReservationRow(i + 1, items[i], symbols).c_str());
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
  const ScheduledPlan plan = PlanOf(s.scheduler());
  if (json) {
    std::string out = "[";
    for (size_t i = 0; i < plan.items.size(); ++i) out += (i ? ",\n  " : "\n  ") + PlanJson(plan, i);
    out += plan.items.empty() ? "]\n" : "\n]\n";
    std::fputs(out.c_str(), stdout);
    return 0;
  }
  std::printf("No.\t開始\t終了\tサービス\tチャンネル\t録画予定\t欠ける部分\n");
  for (size_t i = 0; i < plan.items.size(); ++i) std::printf("%s\n", PlanRow(plan, i).c_str());
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
