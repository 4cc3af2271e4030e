#include "app/recordings_view.h"

#include <cctype>
#include <cinttypes>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <set>

#include "hooks/command_line.h"
#include "library/disk_housekeeping.h"

namespace pelkan {
namespace {

constexpr const char* kPlaceholders[] = {"{file}", "{url}", "{position}"};

std::string CountsText(const LibraryEntry& e) {
  char text[96];
  std::snprintf(text, sizeof text, "ドロップ %" PRIu64 "  エラー %" PRIu64 "  スクランブル %" PRIu64, e.drop, e.error,
                e.scrambled);
  return text;
}

}  // namespace

std::string LibraryTimeText(int64_t epoch) {
  const std::string iso = JapanIsoOfEpoch(epoch);
  return iso.size() >= 16 ? iso.substr(0, 10) + " " + iso.substr(11, 5) : std::string("-");
}

std::string LibraryLengthText(int64_t seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return text;
}

std::string LibraryResultName(LibraryResult result) {
  switch (result) {
    case LibraryResult::kRecording:
      return "録画中";
    case LibraryResult::kComplete:
      return "完了";
    case LibraryResult::kRecovered:
      return "復旧";
    case LibraryResult::kPartial:
      return "一部";
    case LibraryResult::kFailed:
      return "失敗";
    case LibraryResult::kTunerLost:
      return "チューナー切断";
  }
  return {};
}

RecordingRow RecordingRowOf(const LibraryEntry& e, const std::function<std::string(uint32_t)>& rule_name) {
  RecordingRow row;
  row.cells[0] = e.title.empty() ? e.plain_title : e.title;
  row.cells[1] = e.service_name.empty() && e.service_id != 0 ? std::to_string(e.service_id) : e.service_name;
  row.cells[2] = LibraryTimeText(e.start);
  row.cells[3] = LibraryLengthText(e.duration);
  if (e.recording) {
    row.cells[4] = "録画中";
    row.badge = RecordingBadge::kRecording;
  } else {
    row.cells[4] = (e.missing ? "ファイルなし ・ " : "") + LibraryResultName(e.result) + "  " + CountsText(e);
    row.badge = e.missing                                 ? RecordingBadge::kMissing
                : e.result == LibraryResult::kComplete    ? RecordingBadge::kNone
                : e.result == LibraryResult::kRecovered   ? RecordingBadge::kRecovered
                : e.result == LibraryResult::kRecording   ? RecordingBadge::kRecording
                                                          : RecordingBadge::kFailed;
  }
  row.cells[5] = SizeText(e.bytes);
  row.cells[6] = e.rule_id != 0 && rule_name ? rule_name(e.rule_id) : std::string();
  row.cells[7] = e.is_protected ? "🔒" : "";
  return row;
}

std::string LibraryFacetText(LibraryFacetKind kind, const LibraryFacet& facet,
                             const std::function<std::string(uint32_t)>& rule_name) {
  std::string label = facet.label;
  switch (kind) {
    case LibraryFacetKind::kRule:
      if (rule_name) label = rule_name(static_cast<uint32_t>(std::strtoul(facet.key.c_str(), nullptr, 10)));
      break;
    case LibraryFacetKind::kService:
      if (label.empty()) label = facet.key;
      break;
    case LibraryFacetKind::kSeries:
      break;
    case LibraryFacetKind::kResult:
      if (const auto result = LibraryResultOfWord(facet.key)) label = LibraryResultName(*result);
      break;
    case LibraryFacetKind::kMonth:
      if (facet.key.size() == 7) label = facet.key.substr(0, 4) + "年" + std::to_string(std::atoi(facet.key.c_str() + 5)) + "月";
      break;
  }
  return label + " (" + std::to_string(facet.count) + ")";
}

bool NarrowByFacet(LibraryFacetKind kind, const std::string& key, LibraryQuery* query) {
  if (key.empty()) return true;
  char* end = nullptr;
  const unsigned long number = std::strtoul(key.c_str(), &end, 10);
  const bool numeric = end != key.c_str() && *end == '\0';
  switch (kind) {
    case LibraryFacetKind::kRule:
      if (!numeric || number == 0 || number > UINT32_MAX) return false;
      query->rule_id = static_cast<uint32_t>(number);
      return true;
    case LibraryFacetKind::kService:
      if (!numeric || number > UINT16_MAX) return false;
      query->service_id = static_cast<uint16_t>(number);
      return true;
    case LibraryFacetKind::kSeries:
      query->series = key;
      return true;
    case LibraryFacetKind::kResult:
      query->result = LibraryResultOfWord(key);
      return query->result.has_value();
    case LibraryFacetKind::kMonth:
      query->month = key;
      return true;
  }
  return false;
}

std::vector<std::string> KnownRecordingFolders(RecordingLibrary& library, const std::string& autopath) {
  std::set<std::string> known;
  if (!autopath.empty()) known.insert(autopath);
  library.Walk({}, [&known](const LibraryEntry& e) {
    const std::string folder = std::filesystem::path(e.file).parent_path().string();
    if (!folder.empty()) known.insert(folder);
    return true;
  });
  return {known.begin(), known.end()};
}

LibraryScanResult ScanKnownRecordingFolders(const std::string& library_path, const std::string& autopath,
                                            int64_t now, const std::function<void(const std::string&)>& log) {
  std::string notice, error;
  const std::unique_ptr<RecordingLibrary> library = RecordingLibrary::Open(library_path, &notice, &error);
  if (!library) {
    if (log) log("recordings' catalogue: " + error);
    return {};
  }
  LibraryScanResult result = ScanRecordingFolders(*library, KnownRecordingFolders(*library, autopath), now);
  if (log) {
    for (const std::string& skipped : result.skipped) log("recordings' scan skipped " + skipped);
  }
  return result;
}

CatalogueStamp CatalogueStampOf(const std::string& path) {
  return {platform::StampOf(path), platform::StampOf(path + "-wal")};
}

std::string FileUrl(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (const unsigned char c : path) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
      url += static_cast<char>(c);
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 15];
    }
  }
  return url;
}

std::vector<std::string> PlayerArgv(const std::string& command, const PlayTarget& target, std::string* error) {
  const std::string& chosen = target.url.empty() ? target.file : target.url;
  if (command.find_first_not_of(" \t") == std::string::npos) return {"xdg-open", chosen};
  hooks::CommandLine line = hooks::ParseCommandLine(command);
  if (!line.error.empty() || line.argv.empty()) {
    if (error != nullptr) *error = line.error.empty() ? "the player command is empty" : line.error;
    return {};
  }
  const std::string values[] = {target.file, target.url.empty() ? FileUrl(target.file) : target.url,
                                std::to_string(target.position)};
  bool placed = false;
  for (std::string& arg : line.argv) {
    // One pass over the argument, so that a value holding "{url}" is never replaced again.
    std::string out;
    for (size_t at = 0; at < arg.size();) {
      size_t which = 0;
      while (which < 3 && arg.compare(at, std::char_traits<char>::length(kPlaceholders[which]),
                                      kPlaceholders[which]) != 0)
        ++which;
      if (which == 3) {
        out += arg[at++];
        continue;
      }
      out += values[which];
      at += std::char_traits<char>::length(kPlaceholders[which]);
      placed = true;
    }
    arg = std::move(out);
  }
  if (!placed) line.argv.push_back(chosen);
  return line.argv;
}

std::string RemovalRefusal(const std::vector<LibraryEntry>& entries, RemovalKind kind) {
  for (const LibraryEntry& e : entries) {
    if (e.recording)
      return kind == RemovalKind::kForget ? "録画中の録画は一覧から外せません。" : "録画中の録画は削除できません。";
  }
  return {};
}

std::string TrashQuestion(const std::vector<LibraryEntry>& entries) {
  bool any_protected = false;
  std::string titles;
  for (size_t i = 0; i < entries.size(); ++i) {
    any_protected = any_protected || entries[i].is_protected;
    if (i < 5) titles += "\n" + entries[i].title + (entries[i].is_protected ? " 🔒" : "");
  }
  if (entries.size() > 5) titles += "\nほか " + std::to_string(entries.size() - 5) + " 件";
  const std::string count = std::to_string(entries.size());
  return (any_protected ? "保護された録画を含みます。保護を無視して録画 " + count + " 件をごみ箱に移しますか?"
                        : "録画 " + count + " 件をごみ箱に移しますか?") +
         "\n" + titles;
}

}  // namespace pelkan
