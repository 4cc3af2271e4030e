#include <time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/json_text.h"
#include "app/library_feed.h"
#include "app/settings.h"
#include "cli/cli_commands.h"
#include "app/offline_schedule.h"
#include "cli/option_parser.h"
#include "library/disk_housekeeping.h"
#include "platform/text_codec.h"

namespace pelkan::cli {
namespace {

constexpr char kName[] = "pelkan-cli disk";

std::string PlanJson(const std::vector<DiskPlan>& plans, const HousekeepingRules& rules) {
  std::string out = "{\"auto_delete\": " + std::string(rules.auto_delete ? "true" : "false") +
                    ", \"keep_days\": " + std::to_string(rules.keep_days) + ", \"file_systems\": [";
  for (size_t i = 0; i < plans.size(); ++i) {
    const DiskPlan& p = plans[i];
    out += (i == 0 ? "\n  " : ",\n  ") + std::string("{\"device\": ") + std::to_string(p.device) +
           ", \"folder\": " + JsonString(p.folder) + ", \"need\": " + std::to_string(p.need) +
           ", \"free\": " + std::to_string(p.free) + ", \"short\": " + (p.short_of_space ? "true" : "false") +
           ", \"reservations\": [";
    for (size_t r = 0; r < p.reservations.size(); ++r) out += (r == 0 ? "" : ", ") + JsonString(p.reservations[r]);
    out += "], \"deletions\": [";
    for (size_t d = 0; d < p.deletions.size(); ++d) {
      const DiskPlan::Deletion& del = p.deletions[d];
      out += (d == 0 ? "" : ", ") + std::string("{\"id\": ") + std::to_string(del.entry.id) +
             ", \"file\": " + JsonString(del.entry.file) + ", \"title\": " + JsonString(del.entry.title) +
             ", \"bytes\": " + std::to_string(del.bytes) + ", \"why\": " + JsonString(del.why) + "}";
    }
    out += "]}";
  }
  return out + (plans.empty() ? "]}\n" : "\n]}\n");
}

int Plan(int argc, char** argv) {
  bool json = false;
  OptionParser parser(std::string(kName) + " plan",
                      "Usage: pelkan-cli disk plan [--json]\n"
                      "Per file system of the recording folders: what the reservations of the next 3\n"
                      "hours need (each service's rate measured from its recordings, else 17 Mbit/s,\n"
                      "plus 1 GiB), the free space, and the recordings the housekeeping (AUTO_DELETE)\n"
                      "would delete for it, oldest first, and why. Deletes nothing.\n\n");
  parser.Flag("--json", "as JSON", &json);
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  std::string notice, error;
  auto library = RecordingLibrary::Open(LibraryPath(), &notice, &error);
  if (!library) {
    std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return 1;
  }
  const Settings settings = LoadedSettings();
  HousekeepingRules rules;
  rules.auto_delete = settings.auto_delete != 0;
  rules.keep_days = settings.keep_days;
  const std::string folder = platform::SjisToUtf8(settings.rec_autopath);
  const int64_t now = ::time(nullptr);
  const std::vector<DiskPlan> plans = PlanDisk(*library, {folder}, PlannedRecordingsOf(PlannedListOfFile(), folder),
                                               rules, now, DiskAccess::System());
  if (json) {
    std::fputs(PlanJson(plans, rules).c_str(), stdout);
    return 0;
  }
  std::printf("自動削除 %s%s\n", rules.auto_delete ? "on" : "off",
              rules.keep_days > 0 ? (", KEEP_DAYS " + std::to_string(rules.keep_days)).c_str() : "");
  for (const DiskPlan& p : plans) {
    // Rounded alike, need and free may read the same: how short it is says why it deletes.
    const std::string shortfall = p.free >= p.need ? ""
                                  : " (short by " + SizeText(p.need - p.free) +
                                        (p.short_of_space ? ", even after deleting)" : ")");
    std::printf("%s: need %s, free %s%s\n", p.folder.c_str(), GigabytesText(p.need).c_str(),
                GigabytesText(p.free).c_str(), shortfall.c_str());
    for (const std::string& title : p.reservations) std::printf("  reservation  %s\n", title.c_str());
    for (const DiskPlan::Deletion& d : p.deletions) {
      std::printf("  would delete %lld  %s  %s  %s\n", static_cast<long long>(d.entry.id),
                  SizeText(d.bytes).c_str(), d.entry.file.c_str(), d.why.c_str());
    }
  }
  return 0;
}

}  // namespace

int RunDisk(int argc, char** argv) {
  OptionParser parser(kName, "Usage: pelkan-cli disk COMMAND [OPTIONS]\nThe disk space of the recording folders.\n\n",
                      {}, 8);
  parser.Command("plan", "what the next 3 hours need and what the housekeeping would delete", Plan);
  return parser.Parse(argc, argv).value_or(0);
}

}  // namespace pelkan::cli
