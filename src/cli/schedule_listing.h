#pragma once

#include <cstddef>
#include <string>

#include "app/rule_names.h"
#include "base/mjd_time.h"
#include "guide/programme_resolver.h"
#include "platform/broadcast_text.h"
#include "schedule/recording_scheduler.h"
#include "schedule/schedule_item.h"

namespace pelkan::cli {

// The name `pelkan-cli schedule` says its messages under.
inline constexpr char kScheduleCommandName[] = "pelkan-cli schedule";
// Says `text` on stderr under that name (OfflineSchedule's messages).
void TellSchedule(const std::string& text);

// What the listings read beside the reservations: the home's programme guide (each event
// reservation's programme) and the rules' names.
struct ReservationLookups {
  ReservationLookups();
  ProgrammeResolver guide;
  RuleNames rules;
};

// The reservations and the plan the scheduler makes of them, one line each, with the guide's times
// for the event reservations the broadcast has not told yet. The two are read under the file's lock
// or in a process that does not tick, so they belong together.
using ScheduledPlan = RecordingScheduler::PlannedList;
ScheduledPlan PlanOf(RecordingScheduler& scheduler, ReservationLookups& lookups);

// One row of `schedule list` (UTF-8, tab-separated): number, type, start, length (an event's as the
// guide tells it), details with the margins, priority and rule, the programme's name, its service,
// and the file name with the broadcast's symbols in `symbols` form.
std::string ReservationRow(size_t number, const ScheduleItem& item, ReservationLookups& lookups,
                           platform::SymbolForm symbols = platform::SymbolForm::kSymbols);
// "YYYY-MM-DD HH:MM:SS" of a start, as --start takes it; `separator` between date and time.
std::string StartText(MjdTime t, char separator = ' ');
// The 録画予定 text of reservation `i` (UTF-8; the winner's name is broadcast text).
std::string PlanVerdictText(const ScheduledPlan& plan, size_t i);
// One line of `schedule plan`: number, start, end, programme name, service, tuning, verdict (with
// "番組情報が古い" when the guide's knowledge of it is old), seconds lost.
std::string PlanRow(const ScheduledPlan& plan, size_t i, ReservationLookups& lookups);

// `pelkan-cli schedule list [--plain-symbols]` and `pelkan-cli schedule plan [--json]`: the
// arguments after the subcommand's name; the process exit code.
int RunScheduleList(int argc, char** argv);
int RunSchedulePlan(int argc, char** argv);

}  // namespace pelkan::cli
