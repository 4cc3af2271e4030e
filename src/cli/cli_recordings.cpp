#include <time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/library_json.h"
#include "app/recordings_view.h"
#include "app/settings.h"
#include "cli/cli_commands.h"
#include "app/offline_schedule.h"
#include "cli/option_parser.h"
#include "library/library_scan.h"
#include "library/recording_library.h"
#include "library/recording_removal.h"
#include "platform/text_codec.h"

namespace pelkan::cli {
namespace {

constexpr char kName[] = "pelkan-cli recordings";

std::unique_ptr<RecordingLibrary> OpenLibrary() {
  std::string notice, error;
  std::unique_ptr<RecordingLibrary> library = RecordingLibrary::Open(LibraryPath(), &notice, &error);
  if (!notice.empty()) std::fprintf(stderr, "%s: %s\n", kName, platform::SjisToUtf8(notice).c_str());
  if (!library) std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
  return library;
}

// One line of the list: id, start, length, result with its counts, marks, service, title.
std::string ListLine(const LibraryEntry& e) {
  std::string marks;
  if (e.is_protected) marks += " protected";
  if (e.recording) marks += " recording";
  if (e.missing) marks += " missing";
  char head[160];
  std::snprintf(head, sizeof head, "%6lld  %s  %9s  %-10s  %llu/%llu/%llu%s  ", static_cast<long long>(e.id),
                LibraryTimeText(e.start).c_str(), LibraryLengthText(e.duration).c_str(),
                std::string(LibraryResultWord(e.result)).c_str(), static_cast<unsigned long long>(e.drop),
                static_cast<unsigned long long>(e.error), static_cast<unsigned long long>(e.scrambled),
                marks.c_str());
  return head + e.service_name + "  " + e.title;
}

std::string IdProblem(const std::string& v, std::vector<int64_t>* ids) {
  const std::optional<uint64_t> id = ParseNumber(v, INT64_MAX);
  if (!id) return "is not a recording's id";
  ids->push_back(static_cast<int64_t>(*id));
  return "";
}

int List(int argc, char** argv) {
  LibraryQuery query;
  bool json = false;
  OptionParser parser(std::string(kName) + " list",
                      "Usage: pelkan-cli recordings list [--search WORDS] [--rule ID] [--service ID]\n"
                      "                                  [--result R] [--json]\n"
                      "The recordings of the catalogue (library.sqlite), newest first: id, start, length,\n"
                      "result, drops/errors/scrambled, service and title.\n\n",
                      {}, 17);
  parser.Value("--search WORDS", "every word in the title or service (folded as the guide's search)",
               [&](const std::string& v) {
                 query.words = v;
                 return std::string();
               });
  parser.Number("--rule ID", "made by this automatic reservation rule", 1, UINT32_MAX, &query.rule_id);
  parser.Number("--service ID", "of this service", 0, UINT16_MAX, &query.service_id);
  parser.Value("--result R", "complete, recovered, partial, failed, tuner lost or recording",
               [&](const std::string& v) {
                 query.result = LibraryResultOfWord(v);
                 return query.result ? std::string() : std::string("is not a result");
               });
  parser.Flag("--json", "as JSON", &json);
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  auto library = OpenLibrary();
  if (!library) return 1;
  if (json) {
    // Written row by row as the catalogue is read: a long list is never held whole.
    if (WriteLibraryListJson(*library, query, stdout)) return 0;
    std::fprintf(stderr, "%s: the list could not be read or written whole\n", kName);
    return 1;
  }
  library->Walk(query, [](const LibraryEntry& e) {
    std::printf("%s\n", ListLine(e).c_str());
    return true;
  });
  return 0;
}

int Show(int argc, char** argv) {
  std::vector<int64_t> ids;
  bool json = false;
  OptionParser parser(std::string(kName) + " show",
                      "Usage: pelkan-cli recordings show ID [--json]\nOne recording of the catalogue.\n\n");
  parser.Flag("--json", "as JSON", &json);
  parser.Positionals("ID", 1, 1, [&ids](const std::string& v) { return IdProblem(v, &ids); });
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  auto library = OpenLibrary();
  if (!library) return 1;
  const std::optional<LibraryEntry> e = library->Find(ids[0]);
  if (!e) {
    std::fprintf(stderr, "%s: no recording %lld\n", kName, static_cast<long long>(ids[0]));
    return 1;
  }
  if (json) {
    std::printf("%s\n", LibraryEntryJson(*e).c_str());
    return 0;
  }
  const auto line = [](const char* key, const std::string& value) { std::printf("%-13s %s\n", key, value.c_str()); };
  line("id", std::to_string(e->id));
  line("title", e->title);
  line("service", std::to_string(e->service_id) + " " + e->service_name);
  line("kind", e->kind + (e->rule_id != 0 ? " (rule " + std::to_string(e->rule_id) + ")" : std::string()));
  line("start", JapanIsoOfEpoch(e->start));
  line("end", JapanIsoOfEpoch(e->end));
  line("length", LibraryLengthText(e->duration));
  line("bytes", std::to_string(e->bytes));
  line("result", std::string(LibraryResultWord(e->result)) + (e->reason.empty() ? "" : ": " + e->reason));
  line("drop", std::to_string(e->drop));
  line("error", std::to_string(e->error));
  line("scrambled", std::to_string(e->scrambled));
  line("gaps", std::to_string(e->gaps));
  line("protected", e->is_protected ? "yes" : "no");
  line("state", e->recording ? "recording" : e->missing ? "missing" : "on disk");
  line("file", e->file);
  line("report", e->report);
  return 0;
}

int Protect(int argc, char** argv, bool on) {
  std::vector<int64_t> ids;
  const std::string verb = on ? "protect" : "unprotect";
  OptionParser parser(std::string(kName) + " " + verb,
                      "Usage: pelkan-cli recordings " + verb + " ID...\n" +
                          (on ? "Keeps recordings from deletion (delete refuses them, the housekeeping skips them).\n\n"
                              : "Lets recordings be deleted again.\n\n"));
  parser.Positionals("ID", 1, SIZE_MAX, [&ids](const std::string& v) { return IdProblem(v, &ids); });
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  auto library = OpenLibrary();
  if (!library) return 1;
  int code = 0;
  for (const int64_t id : ids) {
    if (!library->SetProtected(id, on)) {
      std::fprintf(stderr, "%s: no recording %lld\n", kName, static_cast<long long>(id));
      code = 1;
    }
  }
  return code;
}

int Delete(int argc, char** argv) {
  std::vector<int64_t> ids;
  bool trash = false, forget = false, force = false;
  OptionParser parser(std::string(kName) + " delete",
                      "Usage: pelkan-cli recordings delete ID... [--trash | --forget] [--force]\n"
                      "Moves recordings (file and report) to the desktop's trash and takes them out of\n"
                      "the catalogue. A protected recording and one being recorded are refused.\n\n");
  parser.Flag("--trash", "to the trash (the default)", &trash);
  parser.Flag("--forget", "only out of the catalogue; the files stay", &forget);
  parser.Flag("--force", "a protected recording or one being recorded too", &force);
  parser.Positionals("ID", 1, SIZE_MAX, [&ids](const std::string& v) { return IdProblem(v, &ids); });
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  if (trash && forget) return parser.Fail("give --trash or --forget, not both");
  auto library = OpenLibrary();
  if (!library) return 1;
  int code = 0;
  for (const int64_t id : ids) {
    const std::optional<LibraryEntry> e = library->Find(id);
    std::string error = "no recording " + std::to_string(id);
    if (!e || !RemoveRecording(*library, *e, forget ? RemovalKind::kForget : RemovalKind::kTrash, force, &error)) {
      std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
      code = 1;
    }
  }
  return code;
}

int Scan(int argc, char** argv) {
  std::vector<std::string> folders;
  OptionParser parser(std::string(kName) + " scan",
                      "Usage: pelkan-cli recordings scan [DIR...]\n"
                      "Catalogues the recordings found by their reports (NAME.ts.err) under the folders\n"
                      "(default: REC_AUTOPATH and the folders of the catalogued recordings), finds moved\n"
                      "ones again and marks those whose file is gone as missing. Deletes nothing.\n\n");
  parser.Positionals("DIR", 0, SIZE_MAX, [&folders](const std::string& v) {
    folders.push_back(v);
    return std::string();
  });
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  auto library = OpenLibrary();
  if (!library) return 1;
  if (folders.empty()) {
    folders = KnownRecordingFolders(*library, platform::SjisToUtf8(LoadedSettings().rec_autopath));
  }
  const LibraryScanResult result = ScanRecordingFolders(*library, folders, ::time(nullptr));
  for (const std::string& skipped : result.skipped) std::fprintf(stderr, "%s: skipped %s\n", kName, skipped.c_str());
  std::printf("%zu reports, %zu added, %zu moved, %zu missing\n", result.reports, result.added, result.moved,
              result.missing);
  return 0;
}

}  // namespace

int RunRecordings(int argc, char** argv) {
  OptionParser parser(kName,
                      "Usage: pelkan-cli recordings COMMAND [OPTIONS]\n"
                      "The catalogue of recordings (library.sqlite beside pelkan.ini).\n\n",
                      {}, 13);
  parser.Command("list", "the recordings, newest first (--search, --rule, --service, --result, --json)", List);
  parser.Command("show", "one recording (--json)", Show);
  parser.Command("protect", "keeps recordings from deletion", [](int c, char** v) { return Protect(c, v, true); });
  parser.Command("unprotect", "lets recordings be deleted again", [](int c, char** v) { return Protect(c, v, false); });
  parser.Command("delete", "to the trash, or --forget: out of the catalogue only", Delete);
  parser.Command("scan", "catalogues recordings found by their reports; marks missing ones", Scan);
  return parser.Parse(argc, argv).value_or(0);
}

}  // namespace pelkan::cli
