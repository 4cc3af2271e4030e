// pelkan-cli schedule: the reservation list of schedule.ini in the current directory, without a
// window: add a reservation by date-time or by event, remove one (the list and the plan are
// printed by schedule_listing).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/date_time_text.h"
#include "app/home_folder.h"
#include "app/offline_schedule.h"
#include "app/reservation_request.h"
#include "app/scheduled_capture.h"
#include "app/settings.h"
#include "cli/cli_commands.h"
#include "cli/one_line_text.h"
#include "cli/option_parser.h"
#include "cli/schedule_listing.h"
#include "guide/programme_resolver.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "schedule/schedule_edit_form.h"
#include "schedule/schedule_edit_item.h"
#include "schedule/schedule_texts.h"

namespace pelkan::cli {
namespace {

constexpr const char* kName = kScheduleCommandName;

// The overlap question on the terminal; no terminal answers no.
bool AskOnTerminal() {
  std::printf("%s [y/N] ", platform::SjisToUtf8(OverlapQuestionText()).c_str());
  std::fflush(stdout);
  if (!::isatty(STDIN_FILENO)) {
    std::printf("\n");
    return false;
  }
  // (stdio's getline: <iostream>'s streams would be built at every start of the program)
  char* line = nullptr;
  size_t room = 0;
  const ssize_t length = ::getline(&line, &room, stdin);
  std::string answer = length > 0 ? std::string(line, static_cast<size_t>(length)) : std::string();
  std::free(line);
  if (length < 0) return false;
  if (!answer.empty() && answer.back() == '\n') answer.pop_back();
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "はい";
}

// Whether `item` is an event reservation of this service and event.
bool SameEvent(const ScheduleItem& item, uint16_t service_id, uint16_t event_id) {
  return (item.flags & SI_BY_EVENT) && item.service_id == service_id && item.event_id == event_id;
}

// Reads a date-time option ("YYYY-MM-DD HH:MM[:SS]") into *out.
OptionParser::Take DateTime(std::optional<MjdTime>* out) {
  return [out](const std::string& text) -> std::string {
    const char* problem = nullptr;
    *out = ParseDateTimeText(text.c_str(), &problem);
    return *out ? std::string() : std::string(problem);
  };
}

// Reads SERVICE:EVENT, each a number 0-65535, into *out.
OptionParser::Take ServiceEvent(std::optional<std::pair<uint16_t, uint16_t>>* out) {
  return [out](const std::string& text) -> std::string {
    const size_t colon = text.find(':');
    const auto sid = colon == std::string::npos ? std::nullopt : ParseNumber(text.substr(0, colon), 0xFFFF);
    const auto eid = colon == std::string::npos ? std::nullopt : ParseNumber(text.substr(colon + 1), 0xFFFF);
    if (!sid || !eid) return "is not SERVICE:EVENT, each 0-65535";
    *out = std::make_pair(static_cast<uint16_t>(*sid), static_cast<uint16_t>(*eid));
    return {};
  };
}

struct AddOptions : ReservationRequest {
  bool force = false;
};

void DeclareAdd(OptionParser& parser, AddOptions* o) {
  parser.Value("--start \"YYYY-MM-DD HH:MM[:SS]\"", "the start (JST) of a date-time reservation", DateTime(&o->start));
  parser.Number("--minutes N", "its length, 1 to 1440 minutes (24 hours, the longest recording)", 1,
                kMaxRecordSeconds / 60, &o->minutes);
  parser.Value("--event SERVICE:EVENT",
               "a reservation of a broadcast event instead (each number 0-65535); its\n"
               "time and title come from the programme guide when it has the event",
               ServiceEvent(&o->event));
  parser.Number("--service ID", "record only this service", 0, 0xFFFF, &o->service);
  parser.Flag("--daily", "repeat the reservation a day after", &o->daily);
  parser.Flag("--weekly", "repeat the reservation a week after", &o->weekly);
  parser.Value("--dir DIR", "the output directory (default REC_AUTOPATH of pelkan.ini)",
               [o](const std::string& dir) {
                 std::string problem = ShiftJisProblem(dir);
                 if (problem.empty()) o->dir = platform::Utf8ToSjis(dir);
                 return problem;
               });
  parser.Value("--file NAME", "a fixed file name (it may hold the broadcast's symbols)",
               [o](const std::string& file) -> std::string {
                 // A fixed name is read as the edit dialog reads it: it may hold the broadcast's symbols.
                 const auto sjis = platform::Utf8ToBroadcast(file);
                 if (!sjis) return "has a character without a Shift-JIS form";
                 if (sjis->empty() || sjis->size() >= kPathSize) return "is not a file name of at most 259 bytes";
                 o->file = file;
                 return {};
               });
  parser.Number("--channel N", "the channel the tuner selects", 0, 255, &o->channel);
  parser.Value("--channel-string TEXT", "the channel text sent to the tuner",
               [o](const std::string& text) -> std::string {
                 if (platform::Utf8ToSjis(text).size() >= kChannelStringSize) return "is too long";
                 o->channel_string = text;
                 return {};
               });
  // The margins' ranges and defaults are those of the settings that give new reservations theirs.
  const SettingKey& before = SettingKeyOf(&Settings::schedule_margin_before);
  const SettingKey& after = SettingKeyOf(&Settings::schedule_margin_after);
  const auto range = [](const SettingKey& k) { return std::to_string(k.min) + "-" + std::to_string(k.max); };
  parser.Number("--margin-before S",
                "start S seconds before the programme, " + range(before) + " (default\n" + before.name +
                    " of pelkan.ini, " + std::to_string(before.default_number) + ")",
                before.min, before.max, &o->margin_before);
  parser.Number("--margin-after S",
                "end S seconds after it, " + range(after) + " (default " + after.name + ", " +
                    std::to_string(after.default_number) + ")",
                after.min, after.max, &o->margin_after);
  parser.Number("--priority N", "1-5: of two reservations that need the tuner at once the higher\n"
                "records (default 3)", kMinPriority, kMaxPriority, &o->priority);
  parser.Flag("--force", "store an overlapping reservation without asking", &o->force);
}

// The texts of the reservations `item` makes lose time (UTF-8, one line each).
std::vector<std::string> LoserLines(RecordingScheduler& scheduler, ReservationLookups& lookups,
                                    const ScheduleItem& item) {
  std::vector<std::string> lines;
  for (const std::string& text : lookups.guide.Losers(scheduler.PlannedReservations(), item, nullptr))
    lines.push_back(OneLineText(platform::BroadcastToUtf8(text)));
  return lines;
}

// Stores `item` in schedule.ini (asking about an overlap, or about the reservations it makes lose
// time, unless `force`) and prints its row and what others lose. Returns the exit code.
int StoreReservation(const ScheduleItem& item, bool force) {
  bool agreed = force;
  OfflineSchedule s([&agreed] { return agreed || AskOnTerminal(); }, true, TellSchedule);
  if (!s.Locked()) return 1;
  ReservationLookups lookups;
  if (item.flags & SI_BY_EVENT) {
    // A second reservation of one event would record it twice into one name.
    const auto items = s.scheduler().Reservations();
    for (size_t i = 0; i < items.size(); ++i) {
      if (SameEvent(items[i], item.service_id, item.event_id)) {
        std::fprintf(stderr, "%s: not added: reservation %zu is for this event already: %s\n", kName, i + 1,
                     ReservationRow(i + 1, items[i], lookups).c_str());
        return 1;
      }
    }
  }
  // Others that would lose time (to a higher priority, or on another channel at the same time) are
  // named, and the overlap question asked once for them.
  const std::vector<std::string> losers = LoserLines(s.scheduler(), lookups, item);
  if (!losers.empty() && !force) {
    for (const std::string& line : losers) std::printf("%s\n", line.c_str());
    if (!AskOnTerminal()) {
      std::fprintf(stderr, "%s: not added (another reservation would lose time)\n", kName);
      return 1;
    }
    agreed = true;
  }
  if (s.scheduler().StoreItem(item, -1) == 0) {
    std::fprintf(stderr, "%s: not added (overlaps another reservation)\n", kName);
    return 1;
  }
  if (!s.scheduler().SaveSchedule()) {
    std::fprintf(stderr, "%s: cannot write %s\n", kName, SchedulePath().c_str());
    return 1;
  }
  // Reservations are in broadcast time (JST), whatever the machine's zone.
  if (HasStart(item) && ItemEnd(item) < Instant(JapanTimeNow())) {
    std::fprintf(stderr, "%s: warning: the reservation's time has already passed\n", kName);
  }
  const ScheduledPlan plan = PlanOf(s.scheduler(), lookups);
  const std::vector<ScheduleItem> listed = s.scheduler().Reservations();
  for (size_t i = 0; i < plan.items.size() && i < listed.size(); ++i) {
    const ScheduleItem& e = listed[i];
    const bool same = e.flags == item.flags && e.start_day == item.start_day &&
                      e.start_second == item.start_second && e.duration == item.duration &&
                      e.service_id == item.service_id && e.event_id == item.event_id;
    if (!same) continue;
    std::printf("added: %s\n", ReservationRow(i + 1, e, lookups).c_str());
    std::printf("plan: %s\n", PlanRow(plan, i, lookups).c_str());
    if (force) {
      for (const std::string& line : losers) std::printf("%s\n", line.c_str());
    }
    const PlanVerdict verdict = plan.lines[i].verdict;
    if (verdict == PlanVerdict::kPart || verdict == PlanVerdict::kNone) {
      std::fprintf(stderr, "%s: warning: reservation %zu will not be recorded whole: %s\n", kName, i + 1,
                   PlanVerdictText(plan, i).c_str());
    }
  }
  return 0;
}

int Add(int argc, char** argv) {
  AddOptions o;
  OptionParser parser(kName,
                      "Usage: pelkan-cli schedule add (--start \"YYYY-MM-DD HH:MM[:SS]\" --minutes N | --event "
                      "SERVICE:EVENT)\n"
                      "                              [--service ID] [--daily | --weekly] [--dir DIR] [--file NAME]\n"
                      "                              [--channel N] [--channel-string TEXT] [--margin-before S]\n"
                      "                              [--margin-after S] [--priority N] [--force]\n"
                      "Adds a reservation to schedule.ini in the current directory.\n\n",
                      {}, 25);
  DeclareAdd(parser, &o);
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  if (o.start.has_value() == o.event.has_value())
    return parser.Fail("give either --start with --minutes, or --event");
  if (o.daily && o.weekly) return parser.Fail("--daily and --weekly exclude each other");
  if (o.event && (o.service || o.daily || o.weekly || o.file || o.channel || o.channel_string))
    return parser.Fail(
        "an event reservation records the event's service and takes only --dir, the margins and --priority");
  if (o.start && !o.minutes) return parser.Fail("--start needs --minutes, the length of the recording");
  if (o.event && o.minutes) return parser.Fail("--minutes belongs to --start; an event brings its own length");

  const Settings settings = LoadedSettings();
  std::string error;
  const std::optional<std::string> directory = ReservationDirectory(o, settings, &error);
  if (!directory) {
    std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return 1;
  }
  const std::optional<ScheduleItem> item = BuildReservation(o, *directory, settings, &error);
  if (!item) return parser.Fail(error);
  return StoreReservation(*item, o.force);
}

// What names the reservation to remove: --start T, --event S:E, or N --expect-start T.
struct RemoveOptions {
  std::optional<long> number;
  std::optional<MjdTime> start, expect_start;
  std::optional<std::string> event_text;
  std::optional<std::pair<uint16_t, uint16_t>> event;
  bool series = false;
  bool all = false;
};

// The indexes, ascending, of the reservations `o` names in `items` (one, or with --all every
// reservation of the event); nullopt after saying why there is none.
std::optional<std::vector<size_t>> FindToRemove(const RemoveOptions& o, const std::vector<ScheduleItem>& items) {
  const MjdTime when = o.start ? *o.start : o.expect_start.value_or(MjdTime{});
  auto starts_at = [&when](const ScheduleItem& e) {
    return !(e.flags & SI_BY_EVENT) && HasStart(e) && e.start_day == when.date && e.start_second == when.seconds;
  };
  if (o.number) {
    if (static_cast<size_t>(*o.number) > items.size()) {
      std::fprintf(stderr, "%s: there is no reservation %ld\n", kName, *o.number);
      return std::nullopt;
    }
    const size_t index = static_cast<size_t>(*o.number - 1);
    if (!starts_at(items[index])) {
      std::fprintf(stderr, "%s: reservation %ld does not start at %s (the list has changed?): nothing removed\n",
                   kName, *o.number, StartText(when).c_str());
      return std::nullopt;
    }
    return std::vector<size_t>{index};
  }
  std::vector<size_t> matches;
  for (size_t i = 0; i < items.size(); ++i) {
    const ScheduleItem& e = items[i];
    const bool match = o.start ? starts_at(e) : SameEvent(e, o.event->first, o.event->second);
    if (match) matches.push_back(i);
  }
  if (matches.empty()) {
    const std::string what = o.start ? "starts at " + StartText(when) : "is for event " + *o.event_text;
    std::fprintf(stderr, "%s: no reservation %s (see 'pelkan-cli schedule list'): nothing removed\n", kName,
                 what.c_str());
    return std::nullopt;
  }
  if (matches.size() > 1 && !o.all) {
    const std::string what = o.start ? "start at " + StartText(when) : "are for event " + *o.event_text;
    std::fprintf(stderr, "%s: %zu reservations %s (numbers", kName, matches.size(), what.c_str());
    for (size_t m : matches) std::fprintf(stderr, " %zu", m + 1);
    // An event reservation keeps no start in the file, so only --all names them.
    std::fprintf(stderr, "): nothing removed; %s\n",
                 o.start ? "remove one with N --expect-start" : "remove them all with --event ... --all");
    return std::nullopt;
  }
  return matches;
}

// remove --start T, remove --event S:E, or remove N --expect-start T: the reservation is named by
// what identifies it, as a number alone may stand for another one once another process (a running
// capture ending a reservation, another edit) has changed the list.
int Remove(int argc, char** argv) {
  RemoveOptions o;
  OptionParser parser(kName,
                      "Usage: pelkan-cli schedule remove (--start \"YYYY-MM-DD HH:MM[:SS]\" | --event SERVICE:EVENT [--all] |\n"
                      "                                 N --expect-start \"YYYY-MM-DD HH:MM[:SS]\") [--series]\n"
                      "Removes a reservation from schedule.ini in the current directory.\n\n",
                      {}, 25);
  parser.Value("--start \"YYYY-MM-DD HH:MM[:SS]\"", "the date-time reservation starting then", DateTime(&o.start));
  parser.Value("--event SERVICE:EVENT", "the event reservation of this event",
               [&o, take = ServiceEvent(&o.event)](const std::string& text) {
                 o.event_text = text;
                 return take(text);
               });
  parser.Value("--expect-start \"YYYY-MM-DD HH:MM[:SS]\"", "the start reservation N must have",
               DateTime(&o.expect_start));
  parser.Flag("--series", "remove a daily or weekly one altogether, not only this occurrence", &o.series);
  parser.Flag("--all", "with --event: remove every reservation of the event, when there are several", &o.all);
  parser.Positionals("N", 0, 1, OptionParser::NumberIn(1, 1L << 30, [&o](uint64_t n) {
                       o.number = static_cast<long>(n);
                     }));
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  if (o.start.has_value() + o.event.has_value() + o.number.has_value() != 1)
    return parser.Fail("remove needs one of --start \"YYYY-MM-DD HH:MM[:SS]\", --event SERVICE:EVENT, or N");
  if (o.number && !o.expect_start)
    return parser.Fail("remove N needs --expect-start \"YYYY-MM-DD HH:MM[:SS]\", the start 'list' shows for N");
  if (!o.number && o.expect_start) return parser.Fail("--expect-start belongs to a number N");
  if (o.all && !o.event) return parser.Fail("--all belongs to --event");

  OfflineSchedule s(AskOnTerminal, true, TellSchedule);
  if (!s.Locked()) return 1;
  const auto items = s.scheduler().Reservations();
  const std::optional<std::vector<size_t>> indexes = FindToRemove(o, items);
  if (!indexes) return 1;
  ReservationLookups lookups;
  std::vector<std::string> rows;
  // From the last, so that the earlier numbers stay where they are.
  for (auto it = indexes->rbegin(); it != indexes->rend(); ++it) {
    const std::string row = ReservationRow(*it + 1, items[*it], lookups);
    if (s.scheduler().DeleteItem(static_cast<int>(*it), !o.series) == 0) {
      std::fprintf(stderr, "%s: the reservation cannot be removed: %s\n", kName, row.c_str());
      return 1;
    }
    rows.insert(rows.begin(), row);
  }
  if (!s.scheduler().SaveSchedule()) {
    std::fprintf(stderr, "%s: cannot write %s\n", kName, SchedulePath().c_str());
    return 1;
  }
  for (const std::string& row : rows) std::printf("removed: %s\n", row.c_str());
  return 0;
}

}  // namespace

int RunSchedule(int argc, char** argv) {
  OptionParser parser(
      kName,
      "Usage: pelkan-cli schedule list [--plain-symbols]\n"
      "       pelkan-cli schedule add (--start \"YYYY-MM-DD HH:MM[:SS]\" --minutes N | --event "
      "SERVICE:EVENT)\n"
      "                              [--service ID] [--daily | --weekly] [--dir DIR] [--file NAME]\n"
      "                              [--channel N] [--channel-string TEXT] [--margin-before S]\n"
      "                              [--margin-after S] [--priority N] [--force]\n"
      "       pelkan-cli schedule plan [--json]\n"
      "       pelkan-cli schedule remove (--start \"YYYY-MM-DD HH:MM[:SS]\" | --event SERVICE:EVENT [--all] |\n"
      "                                 N --expect-start \"YYYY-MM-DD HH:MM[:SS]\") [--series]\n"
      "Works on schedule.ini (and reads REC_AUTOPATH of pelkan.ini) in the current directory.\n",
      {}, 12);
  parser.Command("list",
                 "the reservations, numbered, with the texts of the reservation list;\n"
                 "--plain-symbols prints the broadcast's symbols of the file names in their plain\n"
                 "forms ([字] for 🈑), as the files are named",
                 RunScheduleList);
  parser.Command("add",
                 "--start/--minutes: a date-time reservation; --event: by broadcast event id\n"
                 "(decimal, or hexadecimal with 0x), its time and title taken from the programme guide\n"
                 "(epg.sqlite, see 'pelkan-cli epg') when it has the event, and from the programme\n"
                 "information while capturing; a second reservation of one event is refused;\n"
                 "--service ID records only that service; --daily/--weekly repeat after the end;\n"
                 "--dir the output directory (default REC_AUTOPATH); --file a fixed file name;\n"
                 "--margin-before/--margin-after S seconds around the programme (defaults\n"
                 "SCHEDULE_MARGIN_BEFORE/AFTER of pelkan.ini); --priority 1-5 decides which of two\n"
                 "reservations that need the tuner at once records; a reservation that makes others\n"
                 "lose time names each one and asks, as an overlap does; --force stores it without\n"
                 "asking. Prints the new reservation and its plan line, and warns when it will not\n"
                 "be recorded whole",
                 Add);
  parser.Command("plan",
                 "what the tuner will record of each reservation: its span with the margins,\n"
                 "service, stream or channel, verdict (全体, 一部, 録画不可) and the seconds lost at\n"
                 "its head or tail to another reservation; --json prints a JSON array",
                 RunSchedulePlan);
  parser.Command("remove",
                 "deletes the date-time reservation starting at --start, or the event reservation\n"
                 "--event, and refuses when none or several match (--event ... --all removes every\n"
                 "reservation of the event); a daily or weekly one continues with its next\n"
                 "occurrence unless --series is given. A number N of 'list' (which another program\n"
                 "may change meanwhile) is taken only with --expect-start, the start that\n"
                 "reservation must have",
                 Remove);
  return parser.Parse(argc, argv).value_or(0);
}

}  // namespace pelkan::cli
