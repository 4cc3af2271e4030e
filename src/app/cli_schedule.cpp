// pelkan-cli schedule: the reservation list of schedule.ini in the current directory, without a
// window: list it, add a reservation by date-time or by event, remove one.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "app/cli_args.h"
#include "app/cli_commands.h"
#include "app/date_time_text.h"
#include "app/scheduled_capture.h"
#include "app/settings.h"
#include "guide/guide_store.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "schedule/schedule_edit_form.h"
#include "schedule/schedule_edit_item.h"
#include "schedule/schedule_texts.h"

namespace pelkan::cli {
namespace {

constexpr char kName[] = "pelkan-cli schedule";

void PrintHelp(FILE* out) {
  std::fprintf(
      out,
      "Usage: pelkan-cli schedule list [--plain-symbols]\n"
      "       pelkan-cli schedule add (--start \"YYYY-MM-DD HH:MM[:SS]\" --minutes N | --event "
      "SERVICE:EVENT)\n"
      "                              [--service ID] [--daily | --weekly] [--dir DIR] [--file NAME]\n"
      "                              [--channel N] [--channel-string TEXT] [--force]\n"
      "       pelkan-cli schedule remove (--start \"YYYY-MM-DD HH:MM[:SS]\" | --event SERVICE:EVENT |\n"
      "                                 N --expect-start \"YYYY-MM-DD HH:MM[:SS]\") [--series]\n"
      "Works on schedule.ini (and reads REC_AUTOPATH of pelkan.ini) in the current directory.\n"
      "  list      the reservations, numbered, with the texts of the reservation list;\n"
      "            --plain-symbols prints the broadcast's symbols of the file names in their plain\n"
      "            forms ([字] for 🈑), as the files are named\n"
      "  add       --start/--minutes: a date-time reservation; --event: by broadcast event id\n"
      "            (decimal, or hexadecimal with 0x), its time and title taken from the programme guide\n"
      "            (epg.sqlite, see 'pelkan-cli epg') when it has the event, and from the programme\n"
      "            information while capturing;\n"
      "            --service ID records only that service; --daily/--weekly repeat after the end;\n"
      "            --dir the output directory (default REC_AUTOPATH); --file a fixed file name;\n"
      "            --force stores an overlapping reservation without asking\n"
      "  remove    deletes the date-time reservation starting at --start, or the event reservation\n"
      "            --event, and refuses when none or several match; a daily or weekly one continues\n"
      "            with its next occurrence unless --series is given. A number N of 'list' (which\n"
      "            another program may change meanwhile) is taken only with --expect-start, the\n"
      "            start that reservation must have\n");
}

// The overlap question on the terminal; no terminal answers no.
bool AskOnTerminal() {
  std::printf("%s [y/N] ", platform::SjisToUtf8(OverlapQuestionText()).c_str());
  std::fflush(stdout);
  if (!::isatty(STDIN_FILENO)) {
    std::printf("\n");
    return false;
  }
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "はい";
}

// A scheduler loaded from schedule.ini, without a capture. A change holds the file's lock from the
// reading to the writing, so that no other writer (a running `capture --schedule`) comes between.
struct OfflineSchedule {
  explicit OfflineSchedule(ScheduledCapture::ConfirmFn confirm, bool change = false)
      : capture([](std::function<void()>) {}, std::move(confirm)) {
    capture.SetKeptAsideListener([](const std::string& path, const std::string& kept_as) {
      std::fprintf(stderr, "%s: %s\n", kName, KeptAsideText(path, kept_as).c_str());
    });
    capture.scheduler().LoadSchedule(SchedulePath());
    if (!change) return;
    locked = capture.scheduler().LockScheduleFile(kLockWaitMs);
    if (locked) capture.scheduler().LoadSchedule();
  }
  ~OfflineSchedule() { capture.scheduler().UnlockScheduleFile(); }
  RecordingScheduler& scheduler() { return capture.scheduler(); }
  // False: another process kept the file locked; say so and change nothing.
  bool Locked() {
    if (!locked)
      std::fprintf(stderr, "%s: %s is locked by another process; try again\n", kName, SchedulePath().c_str());
    return locked;
  }
  static constexpr uint32_t kLockWaitMs = 10000;
  ScheduledCapture capture;
  bool locked = false;
};

std::string Row(size_t number, const ScheduleItem& item,
                platform::SymbolForm symbols = platform::SymbolForm::kSymbols) {
  return std::to_string(number) + "\t" + platform::SjisToUtf8(ItemTypeText(item)) + "\t" +
         platform::SjisToUtf8(ItemStartText(item)) + "\t" + platform::SjisToUtf8(ItemDurationText(item)) +
         "\t" + platform::SjisToUtf8(ItemDetailText(item)) + "\t" +
         platform::BroadcastToUtf8(ItemFileNameText(item), symbols);
}

int List(platform::SymbolForm symbols) {
  OfflineSchedule s(nullptr);
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
  for (size_t i = 0; i < items.size(); ++i) std::printf("%s\n", Row(i + 1, items[i], symbols).c_str());
  return 0;
}

// A number of the command line (decimal, or hexadecimal with 0x) from `min` to `max`.
std::optional<long> NumberIn(const char* text, long min, long max) {
  if (text == nullptr) return std::nullopt;
  const auto v = cli::ParseNumber(text, static_cast<uint64_t>(max));
  if (!v || static_cast<long>(*v) < min) return std::nullopt;
  return static_cast<long>(*v);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The event in the programme guide (epg.sqlite), if it is there; the latest one when several
// networks or streams have a service and event of these numbers.
std::optional<GuideEvent> FindInGuide(uint16_t service_id, uint16_t event_id) {
  std::unique_ptr<GuideStore> store =
      GuideStore::Open(GuidePath(), GuideStore::Access::kRead, false, nullptr, nullptr);
  if (!store) return std::nullopt;
  std::vector<GuideEvent> found = store->FindByServiceEvent(service_id, event_id);
  if (found.empty()) return std::nullopt;
  return found.front();
}

// The event's time and title as the scheduler takes them over when it finds the event in the
// broadcast: an open end (or one past the longest recording) records the longest recording.
void TakeOverGuideEvent(const GuideEvent& e, ScheduleItem* item) {
  item->start_day = static_cast<uint32_t>(e.start / 86400);
  item->start_second = static_cast<uint32_t>(e.start % 86400);
  item->duration = e.HasEnd() && e.duration <= kMaxRecordSeconds ? e.duration : kMaxRecordSeconds;
  SetText(item->title, e.title);
}

int Usage(const char* message) {
  std::fprintf(stderr, "pelkan-cli schedule: %s\n", message);
  return 2;
}

int Add(int argc, char** argv) {
  const char* start = nullptr;
  const char* minutes = nullptr;
  const char* event = nullptr;
  const char* service = nullptr;
  const char* dir = nullptr;
  const char* file = nullptr;
  const char* channel = nullptr;
  const char* channel_string = nullptr;
  bool daily = false, weekly = false, force = false;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char** slot) {
      if (i + 1 >= argc) return false;
      *slot = argv[++i];
      return true;
    };
    bool ok = true;
    if (a == "--start")
      ok = value(&start);
    else if (a == "--minutes")
      ok = value(&minutes);
    else if (a == "--event")
      ok = value(&event);
    else if (a == "--service")
      ok = value(&service);
    else if (a == "--dir")
      ok = value(&dir);
    else if (a == "--file")
      ok = value(&file);
    else if (a == "--channel")
      ok = value(&channel);
    else if (a == "--channel-string")
      ok = value(&channel_string);
    else if (a == "--daily")
      daily = true;
    else if (a == "--weekly")
      weekly = true;
    else if (a == "--force")
      force = true;
    else
      return Usage(("unknown option " + a).c_str());
    if (!ok) return Usage(("missing value of " + a).c_str());
  }
  if ((start != nullptr) == (event != nullptr))
    return Usage("give either --start with --minutes, or --event");
  if (daily && weekly) return Usage("--daily and --weekly exclude each other");

  if (event != nullptr && (service || daily || weekly || file || channel || channel_string))
    return Usage("an event reservation records the event's service and takes only --dir");

  std::string directory;
  if (dir != nullptr) {
    const auto sjis = cli::SjisPath(kName, "--dir", dir);
    if (!sjis) return 2;
    directory = *sjis;
  } else {
    Settings settings;
    LoadSettings(SettingsPath(), CurrentDirectorySjis().value_or(std::string()), &settings);
    directory = settings.rec_autopath;
    if (directory.empty()) {
      std::fprintf(stderr,
                   "%s: the current directory has a character without a Shift-JIS form and pelkan.ini "
                   "gives no REC_AUTOPATH: give --dir\n",
                   kName);
      return 1;
    }
  }
  const std::string directory_utf8 = platform::SjisToUtf8(directory);
  if (!IsDirectory(directory_utf8)) {
    std::fprintf(stderr, "pelkan-cli schedule: no such directory: %s\n", directory_utf8.c_str());
    return 1;
  }
  if (directory.size() >= kPathSize) return Usage("the directory path is too long");

  // The record the edit dialog starts from, then the options as the user would set them in the
  // dialog, through the dialog's own OK step: both store the same record.
  const MjdTime now = UnpackMjdTime(LocalMjdTime());
  std::optional<GuideEvent> guide_event;
  ScheduleItem opened{};
  DeviceChannels device;
  ScheduleEditForm form;
  if (start != nullptr) {
    const char* problem = nullptr;
    const auto t = ParseDateTimeText(start, &problem);
    if (!t) return Usage((std::string("--start ") + problem).c_str());
    const auto m = NumberIn(minutes, 1, kMaxRecordSeconds / 60);
    if (!m)
      return Usage("--minutes must be a number of minutes from 1 to 1440 (24 hours, the longest recording)");
    // As the list window's 追加 opens it at that time.
    opened = MakeTimeReservation(directory, 0, nullptr, 0, std::nullopt, *t);
    form = FormFromItem(opened, device, now);
    form.duration = static_cast<uint32_t>(*m * 60);
    form.after_end = daily ? kAfterEndDaily : weekly ? kAfterEndWeekly : kAfterEndDelete;
    if (service != nullptr) {
      const auto sid = NumberIn(service, 0, 0xFFFF);
      if (!sid) return Usage("--service must be a service id, 0-65535");
      form.service_limit = true;
      form.service_id_text = std::to_string(*sid);
    }
    if (channel != nullptr) {
      const auto ch = NumberIn(channel, 0, 255);
      if (!ch) return Usage("--channel must be 0-255");
      device.capabilities |= kCanSelectChannel;
      form.channel = static_cast<int>(*ch);
    }
    if (channel_string != nullptr) {
      if (platform::Utf8ToSjis(channel_string).size() >= kChannelStringSize)
        return Usage("--channel-string is too long");
      device.capabilities |= kCanSendString;
      form.channel_string = channel_string;
    }
    if (file != nullptr) {
      // A fixed name is read as the edit dialog reads it: it may hold the broadcast's symbols.
      const auto sjis = platform::Utf8ToBroadcast(file);
      if (!sjis) return Usage("--file has a character without a Shift-JIS form");
      if (sjis->empty() || sjis->size() >= kPathSize)
        return Usage("--file must be a file name of at most 259 bytes");
      form.file_name_flag = true;
      form.file_name = file;
    }
  } else {
    if (minutes != nullptr) return Usage("--minutes belongs to --start; an event brings its own length");
    const char* colon = std::strchr(event, ':');
    if (colon == nullptr) return Usage("--event must be SERVICE:EVENT");
    const std::string service_text(event, colon);
    const auto sid = NumberIn(service_text.c_str(), 0, 0xFFFF);
    const auto eid = NumberIn(colon + 1, 0, 0xFFFF);
    if (!sid || !eid) return Usage("--event must be SERVICE:EVENT, each 0-65535");
    guide_event = FindInGuide(static_cast<uint16_t>(*sid), static_cast<uint16_t>(*eid));
    if (guide_event) {
      const GuideEventKey& k = guide_event->key;
      opened = MakeEventReservation(directory, k.original_network_id, k.transport_stream_id, k.service_id,
                                    k.event_id, guide_event->title, now);
    } else {
      opened = MakeEventReservation(directory, 0, 0, static_cast<uint16_t>(*sid), static_cast<uint16_t>(*eid),
                                    std::nullopt, now);
    }
    form = FormFromItem(opened, device, now);
  }
  const ScheduleEditResult built = BuildScheduleItem(form, opened, device);
  if (!built.item) {
    const std::string why = platform::SjisToUtf8(built.message);
    return Usage(why.empty() ? "the reservation cannot be made" : why.c_str());
  }
  ScheduleItem item = *built.item;
  if (guide_event) TakeOverGuideEvent(*guide_event, &item);

  OfflineSchedule s(
      force ? ScheduledCapture::ConfirmFn([] { return true; }) : ScheduledCapture::ConfirmFn(AskOnTerminal),
      true);
  if (!s.Locked()) return 1;
  if (s.scheduler().StoreItem(item, -1) == 0) {
    std::fprintf(stderr, "pelkan-cli schedule: not added (overlaps another reservation)\n");
    return 1;
  }
  if (!s.scheduler().SaveSchedule()) {
    std::fprintf(stderr, "pelkan-cli schedule: cannot write %s\n", SchedulePath().c_str());
    return 1;
  }
  if (HasStart(item) && ItemEnd(item) < Instant(UnpackMjdTime(LocalMjdTime()))) {
    std::fprintf(stderr, "pelkan-cli schedule: warning: the reservation's time has already passed\n");
  }
  const auto items = s.scheduler().Reservations();
  for (size_t i = 0; i < items.size(); ++i) {
    const ScheduleItem& e = items[i];
    const bool same = e.flags == item.flags && e.start_day == item.start_day &&
                      e.start_second == item.start_second && e.duration == item.duration &&
                      e.service_id == item.service_id && e.event_id == item.event_id;
    if (same) std::printf("added: %s\n", Row(i + 1, items[i]).c_str());
  }
  return 0;
}

// "YYYY-MM-DD HH:MM:SS" of a start, as --start takes it.
std::string StartText(MjdTime t) {
  int y, mo, d, h, mi, sec;
  MjdToDate(t.date, &y, &mo, &d);
  SecondsToHms(t.seconds, &h, &mi, &sec);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, sec);
  return text;
}

// remove --start T, remove --event S:E, or remove N --expect-start T: the reservation is named by
// what identifies it, as a number alone may stand for another one once another process (a running
// capture ending a reservation, another edit) has changed the list.
int Remove(int argc, char** argv) {
  std::optional<long> number;
  const char* start = nullptr;
  const char* expect_start = nullptr;
  const char* event = nullptr;
  bool series = false;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char** slot) {
      if (i + 1 >= argc) return false;
      *slot = argv[++i];
      return true;
    };
    if (a == "--series") {
      series = true;
    } else if (a == "--start" || a == "--expect-start" || a == "--event") {
      if (!value(a == "--start" ? &start : a == "--event" ? &event : &expect_start))
        return Usage(("missing value of " + a).c_str());
    } else if (!number && !a.empty() && a[0] != '-') {
      number = NumberIn(argv[i], 1, 1L << 30);
      if (!number) return Usage("remove: N must be a reservation number shown by 'list'");
    } else {
      return Usage(("remove: unexpected " + a).c_str());
    }
  }
  if ((start != nullptr) + (event != nullptr) + number.has_value() != 1)
    return Usage("remove needs one of --start \"YYYY-MM-DD HH:MM[:SS]\", --event SERVICE:EVENT, or N");
  if (number && expect_start == nullptr)
    return Usage("remove N needs --expect-start \"YYYY-MM-DD HH:MM[:SS]\", the start 'list' shows for N");
  if (!number && expect_start != nullptr) return Usage("--expect-start belongs to a number N");
  std::optional<MjdTime> when;
  if (start != nullptr || expect_start != nullptr) {
    const char* problem = nullptr;
    when = ParseDateTimeText(start != nullptr ? start : expect_start, &problem);
    if (!when)
      return Usage((std::string(start != nullptr ? "--start " : "--expect-start ") + problem).c_str());
  }
  std::optional<long> event_service, event_id;
  if (event != nullptr) {
    const char* colon = std::strchr(event, ':');
    const std::string service_text = colon == nullptr ? std::string() : std::string(event, colon);
    if (colon != nullptr) {
      event_service = NumberIn(service_text.c_str(), 0, 0xFFFF);
      event_id = NumberIn(colon + 1, 0, 0xFFFF);
    }
    if (!event_service || !event_id) return Usage("--event must be SERVICE:EVENT, each 0-65535");
  }

  OfflineSchedule s(AskOnTerminal, true);
  if (!s.Locked()) return 1;
  const auto items = s.scheduler().Reservations();
  auto starts_at = [&](const ScheduleItem& e) {
    return !(e.flags & SI_BY_EVENT) && HasStart(e) && e.start_day == when->date &&
           e.start_second == when->seconds;
  };
  int index = -1;
  if (number) {
    if (static_cast<size_t>(*number) > items.size()) {
      std::fprintf(stderr, "%s: there is no reservation %ld\n", kName, *number);
      return 1;
    }
    index = static_cast<int>(*number - 1);
    if (!starts_at(items[static_cast<size_t>(index)])) {
      std::fprintf(stderr,
                   "%s: reservation %ld does not start at %s (the list has changed?): nothing removed\n",
                   kName, *number, StartText(*when).c_str());
      return 1;
    }
  } else {
    std::vector<size_t> matches;
    for (size_t i = 0; i < items.size(); ++i) {
      const ScheduleItem& e = items[i];
      const bool match = start != nullptr ? starts_at(e)
                                          : (e.flags & SI_BY_EVENT) && e.service_id == *event_service &&
                                                e.event_id == *event_id;
      if (match) matches.push_back(i);
    }
    const std::string what =
        start != nullptr ? "starts at " + StartText(*when) : "is for event " + std::string(event);
    if (matches.empty()) {
      std::fprintf(stderr, "%s: no reservation %s (see 'pelkan-cli schedule list'): nothing removed\n", kName,
                   what.c_str());
      return 1;
    }
    if (matches.size() > 1) {
      std::fprintf(stderr, "%s: %zu reservations %s (numbers", kName, matches.size(),
                   (start != nullptr ? "start at " + StartText(*when) : "are for event " + std::string(event))
                       .c_str());
      for (size_t m : matches) std::fprintf(stderr, " %zu", m + 1);
      std::fprintf(stderr, "): nothing removed; remove one with N --expect-start\n");
      return 1;
    }
    index = static_cast<int>(matches[0]);
  }
  const std::string row = Row(static_cast<size_t>(index) + 1, items[static_cast<size_t>(index)]);
  if (s.scheduler().DeleteItem(index, !series) == 0) {
    std::fprintf(stderr, "%s: the reservation cannot be removed: %s\n", kName, row.c_str());
    return 1;
  }
  if (!s.scheduler().SaveSchedule()) {
    std::fprintf(stderr, "%s: cannot write %s\n", kName, SchedulePath().c_str());
    return 1;
  }
  std::printf("removed: %s\n", row.c_str());
  return 0;
}

}  // namespace

int RunSchedule(int argc, char** argv) {
  if (argc < 1 || std::strcmp(argv[0], "--help") == 0 || std::strcmp(argv[0], "-h") == 0) {
    PrintHelp(argc < 1 ? stderr : stdout);
    return argc < 1 ? 2 : 0;
  }
  const std::string sub = argv[0];
  if (sub == "list") {
    if (argc == 1) return List(platform::SymbolForm::kSymbols);
    if (argc == 2 && std::strcmp(argv[1], "--plain-symbols") == 0) return List(platform::SymbolForm::kPlain);
    return Usage("list takes only --plain-symbols");
  }
  if (sub == "add") return Add(argc - 1, argv + 1);
  if (sub == "remove") return Remove(argc - 1, argv + 1);
  return Usage(("unknown subcommand " + sub).c_str());
}

}  // namespace pelkan::cli
