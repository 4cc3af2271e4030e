#include "library/library_scan.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "hooks/recording_outcome.h"

namespace pelkan {
namespace {

namespace fs = std::filesystem;

// Reports are small; anything larger named *.err is something else.
constexpr uintmax_t kLargestReport = 4u << 20;

bool RegularFile(const std::string& path, struct stat* st) {
  return ::stat(path.c_str(), st) == 0 && S_ISREG(st->st_mode);
}

// Where the recording of the report at `report` (which says it was made at `origin`) is now; ""
// when nowhere.
std::string FindRecording(const std::string& report, const std::string& origin, struct stat* st) {
  if (!origin.empty() && RegularFile(origin, st)) return origin;
  // Moved with its report: beside it under the report's name less ".err", or under its own name.
  const std::string beside = report.substr(0, report.size() - 4);
  if (RegularFile(beside, st)) return beside;
  const std::string folder = fs::path(report).parent_path().string();
  const std::string same_name = folder + "/" + fs::path(origin).filename().string();
  if (!origin.empty() && RegularFile(same_name, st)) return same_name;
  return {};
}

}  // namespace

LibraryScanResult ScanRecordingFolders(RecordingLibrary& library, const std::vector<std::string>& folders,
                                       int64_t now) {
  LibraryScanResult result;
  for (const std::string& given : folders) {
    std::error_code ec;
    const std::string folder = fs::absolute(given, ec).lexically_normal().string();
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      const fs::directory_entry& item = *it;
      std::error_code type_ec;
      if (!item.is_regular_file(type_ec) || item.is_symlink(type_ec)) continue;
      const std::string report = item.path().string();
      if (!report.ends_with(".err")) continue;
      if (item.file_size(type_ec) > kLargestReport) {
        result.skipped.push_back(report + ": too large for a report");
        continue;
      }
      hooks::RecordingOutcome outcome;
      if (!hooks::ReadReportFile(report, &outcome) || outcome.file.empty()) {
        result.skipped.push_back(report + ": not a recording report");
        continue;
      }
      ++result.reports;
      // A recording named relative to where it was made lies beside its report.
      const std::string named = outcome.file;
      if (!named.empty() && named.front() != '/') outcome.file = (fs::path(report).parent_path() / named).string();
      struct stat st {};
      const std::string file = FindRecording(report, outcome.file, &st);
      if (file.empty()) continue;
      bool recording = false;
      if (outcome.reason.starts_with("recording since")) {
        recording = now - st.st_mtime < kStalledRecordingSeconds;
        if (!recording) {
          outcome.result = "failed";
          outcome.reason = "the recording stopped without completing its report";
          outcome.bytes = static_cast<uint64_t>(st.st_size);
        }
      }
      const std::optional<LibraryEntry> made_here = library.FindMatch(outcome, file);
      if (!made_here) {
        ++result.added;
      } else if (made_here->file != file) {
        ++result.moved;
      }
      // A recording this catalogue follows (recording) keeps its entry as its recorder left it.
      if (made_here && made_here->recording && recording) continue;
      library.Complete(outcome, file, now, recording);
    }
  }
  for (const LibraryEntry& e : library.List()) {
    struct stat st {};
    const bool gone = !RegularFile(e.file, &st);
    if (gone && !e.recording) ++result.missing;
    if (gone != e.missing && !e.recording) library.SetMissing(e.id, gone);
  }
  return result;
}

}  // namespace pelkan
