#include "library/disk_housekeeping.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace pelkan {
namespace {

// The path resolved, "" when it is not there.
std::string Resolved(const DiskAccess& access, const std::string& path) {
  return path.empty() ? std::string() : access.resolve(path);
}

// When a recording ended, as far as its entry tells: its end, else its start, else its cataloguing.
int64_t EndOf(const LibraryEntry& e) {
  return e.end != 0 ? e.end : e.start != 0 ? e.start : e.created;
}

bool Inside(const std::string& path, const std::string& folder) {
  return !folder.empty() && path.size() > folder.size() + 1 && path.starts_with(folder) &&
         path[folder.size()] == '/';
}

}  // namespace

DiskAccess DiskAccess::System() {
  DiskAccess a;
  a.free_space = [](const std::string& path, uint64_t* free_bytes) {
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0) return false;
    *free_bytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    return true;
  };
  a.lstat = [](const std::string& path, struct stat* st) { return ::lstat(path.c_str(), st) == 0; };
  a.resolve = [](const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    std::string out = real ? real : "";
    std::free(real);
    return out;
  };
  return a;
}

std::vector<DiskPlan> PlanDisk(RecordingLibrary& library, const std::vector<std::string>& folders,
                               const std::vector<PlannedRecording>& planned, const HousekeepingRules& rules,
                               int64_t now, const DiskAccess& access) {
  std::map<dev_t, DiskPlan> plans;
  std::map<dev_t, std::vector<std::string>> real_folders;  // resolved, per file system
  const auto place = [&](const std::string& folder) -> DiskPlan* {
    const std::string real = Resolved(access, folder);
    struct stat st {};
    if (real.empty() || !access.lstat(real, &st)) return nullptr;
    DiskPlan& plan = plans[st.st_dev];
    if (plan.folder.empty()) {
      plan.device = st.st_dev;
      plan.folder = folder;
      uint64_t free_bytes = 0;
      plan.free = access.free_space(real, &free_bytes) ? free_bytes : 0;
    }
    std::vector<std::string>& known = real_folders[st.st_dev];
    if (std::find(known.begin(), known.end(), real) == known.end()) known.push_back(real);
    return &plan;
  };
  for (const std::string& folder : folders) place(folder);
  for (const PlannedRecording& p : planned) {
    if (p.start + p.seconds <= now || p.start > now + HousekeepingRules::kLookAheadSeconds) continue;
    DiskPlan* plan = place(p.folder);
    if (plan == nullptr) continue;
    // A recording under way needs only what is left of it.
    const int64_t seconds = p.start < now ? p.start + p.seconds - now : p.seconds;
    if (plan->reservations.empty()) plan->need += HousekeepingRules::kReserveBytes;
    const double rate = library.MeasuredRate(p.service_id).value_or(HousekeepingRules::kAssumedRate);
    plan->need += static_cast<uint64_t>(rate * static_cast<double>(seconds));
    // A reservation by date and time has no title of its own: its start names it.
    plan->reservations.push_back(p.title.empty() ? JapanIsoOfEpoch(p.start) : p.title);
  }
  const bool any_short = std::any_of(plans.begin(), plans.end(), [](const auto& p) { return p.second.free < p.second.need; });
  std::vector<LibraryEntry> entries;
  if (any_short) entries = library.List();
  // Oldest end first; ties by the older start, then the lower id.
  std::sort(entries.begin(), entries.end(), [](const LibraryEntry& a, const LibraryEntry& b) {
    if (EndOf(a) != EndOf(b)) return EndOf(a) < EndOf(b);
    if (a.start != b.start) return a.start < b.start;
    return a.id < b.id;
  });
  std::vector<DiskPlan> out;
  for (auto& [device, plan] : plans) {
    uint64_t freed = 0;
    for (const LibraryEntry& e : entries) {
      if (plan.free + freed >= plan.need) break;
      if (e.recording || e.is_protected || e.missing || e.result == LibraryResult::kRecording) continue;
      if (rules.keep_days > 0 && EndOf(e) > now - int64_t{rules.keep_days} * 86400) continue;
      // A regular file of this file system (not a symbolic link), inside a recording folder of it
      // once every link on the way is resolved: a folder linked to a disk of its own is as usual
      // as a folder path with no link, and a link from within the folder that leads out of it is
      // never followed.
      const std::string real = Resolved(access, e.file);
      struct stat st {};
      if (real.empty() || !access.lstat(e.file, &st) || !S_ISREG(st.st_mode) || st.st_dev != device) continue;
      const std::vector<std::string>& inside = real_folders[device];
      if (std::none_of(inside.begin(), inside.end(), [&](const std::string& f) { return Inside(real, f); }))
        continue;
      uint64_t bytes = static_cast<uint64_t>(st.st_size);
      struct stat report {};
      if (!e.report.empty() && access.lstat(e.report, &report) && S_ISREG(report.st_mode) &&
          report.st_dev == device)
        bytes += static_cast<uint64_t>(report.st_size);
      freed += bytes;
      plan.deletions.push_back({e, bytes, "oldest finished recording (ended " + JapanIsoOfEpoch(EndOf(e)) + ")"});
    }
    plan.short_of_space = plan.free + freed < plan.need;
    out.push_back(std::move(plan));
  }
  return out;
}

std::string GigabytesText(uint64_t bytes) {
  const double gb = static_cast<double>(bytes) / 1e9;
  char text[32];
  // Under a gigabyte, hundredths: what a pass frees is often tens of megabytes, never "0.0 GB".
  std::snprintf(text, sizeof text, gb < 1 ? "%.2f GB" : gb < 100 ? "%.1f GB" : "%.0f GB", gb);
  return text;
}

std::string SizeText(uint64_t bytes) {
  return bytes < 1'000'000'000 ? std::to_string((bytes + 500'000) / 1'000'000) + " MB" : GigabytesText(bytes);
}

std::string DiskStatusLine(const std::vector<DiskPlan>& plans) {
  uint64_t free_bytes = 0, need = 0;
  for (const DiskPlan& p : plans) {
    free_bytes += p.free;
    need += p.need;
  }
  return "空き " + GigabytesText(free_bytes) + " ・ 次の3時間に必要 " + GigabytesText(need);
}

std::vector<std::string> CarryOutDiskPlan(RecordingLibrary& library, const std::vector<DiskPlan>& plans,
                                          const std::function<void(const std::string&)>& log) {
  std::vector<std::string> notices;
  for (const DiskPlan& plan : plans) {
    size_t count = 0;
    uint64_t freed = 0;
    std::string titles;
    for (const DiskPlan::Deletion& d : plan.deletions) {
      std::string error;
      // The entry as it is now: protected or reopened since the plan was made, it stays.
      const std::optional<LibraryEntry> now = library.Find(d.entry.id);
      if (!now || now->file != d.entry.file) continue;
      if (!RemoveRecording(library, *now, RemovalKind::kDelete, false, &error)) {
        log("housekeeping: " + d.entry.file + " not deleted: " + error);
        continue;
      }
      log("housekeeping: deleted " + d.entry.file + " (" + std::to_string(d.bytes) + " bytes; " + d.why + ")");
      ++count;
      freed += d.bytes;
      titles += (titles.empty() ? "" : "、") + (d.entry.title.empty() ? d.entry.file : d.entry.title);
    }
    if (count > 0) {
      notices.push_back("録画を " + std::to_string(count) + " 件削除して " + GigabytesText(freed) +
                        " 空けました: " + titles);
    }
    if (plan.short_of_space) {
      notices.push_back("空き容量が足りません: 必要 " + GigabytesText(plan.need) + "、空き " +
                        GigabytesText(plan.free + freed) + "、削除できる録画なし");
    }
  }
  return notices;
}

}  // namespace pelkan
