#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "library/recording_library.h"
#include "library/recording_removal.h"

namespace pelkan {

// A reservation the disk must have room for.
struct PlannedRecording {
  int64_t start = 0;    // seconds since the epoch
  int64_t seconds = 0;  // its length with its margins
  std::string folder;   // where it records (UTF-8)
  uint16_t service_id = 0;
  std::string title;  // UTF-8
};

// What the housekeeping asks of the file systems; the tests give a fake.
struct DiskAccess {
  // Free bytes of the file system holding `path`; false when unknown.
  std::function<bool(const std::string& path, uint64_t* free_bytes)> free_space;
  // lstat(2) of `path`: false when it is not there.
  std::function<bool(const std::string& path, struct stat* st)> lstat;
  // The path with every symbolic link resolved (realpath(3)); "" when it cannot be resolved.
  std::function<std::string(const std::string& path)> resolve;
  // The real file system.
  static DiskAccess System();
};

// Of one file system, what the next hours need and what may be deleted for it.
struct DiskPlan {
  dev_t device = 0;
  std::string folder;  // the first recording folder on it
  uint64_t need = 0;   // bytes
  uint64_t free = 0;   // bytes
  std::vector<std::string> reservations;  // the titles counted in the need (an untitled one: its start)
  struct Deletion {
    LibraryEntry entry;
    uint64_t bytes = 0;  // the file's and its report's
    std::string why;     // English: "oldest finished recording (ended 2026-12-01T21:00:00+09:00)"
  };
  std::vector<Deletion> deletions;  // oldest end first, enough to meet the need when possible
  bool short_of_space = false;      // free (with the deletions) still below the need
};

// The housekeeping's settings ([Pelkan_Q_LIBRARY] AUTO_DELETE, KEEP_DAYS).
struct HousekeepingRules {
  bool auto_delete = false;
  int keep_days = 0;  // only recordings that ended longer ago than this are deleted; 0: any age
  static constexpr int64_t kLookAheadSeconds = 3 * 3600;
  static constexpr uint64_t kReserveBytes = 1ull << 30;
  static constexpr double kAssumedRate = 17e6 / 8;  // bytes per second without a measured one
};

// The plan of every file system holding one of `folders` (the recording folders, UTF-8) or a
// reservation of `planned` starting within the look-ahead: need = Σ (the service's rate measured
// from the catalogue, else kAssumedRate) × seconds + kReserveBytes on a file system with such a
// reservation, 0 on the others. When the free space is below
// it, the catalogued, finished, unprotected recordings on that file system inside one of the
// folders once the links are resolved (the file itself no link, never a link out of the folder,
// never another folder's file, never one the catalogue does not own, never one being recorded), older than KEEP_DAYS if set, oldest end first (ties:
// older start, then lower id), until the need is met. Nothing is deleted here. `now`: seconds
// since the epoch.
std::vector<DiskPlan> PlanDisk(RecordingLibrary& library, const std::vector<std::string>& folders,
                               const std::vector<PlannedRecording>& planned, const HousekeepingRules& rules,
                               int64_t now, const DiskAccess& access);

// Carries the deletions of `plans` out (file and report deleted, not trashed; the entry goes).
// `log` takes one line (English) per deletion and failure. Returns the notices for the user
// (UTF-8): one per file system that deleted, and one for each still short of space.
std::vector<std::string> CarryOutDiskPlan(RecordingLibrary& library, const std::vector<DiskPlan>& plans,
                                          const std::function<void(const std::string&)>& log);

// "0.05 GB" (hundredths below 1 GB), "8.2 GB" (one decimal below 100 GB), "120 GB". Decimal
// gigabytes: the notices and the status line keep this unit.
std::string GigabytesText(uint64_t bytes);
// A size as it is read: under a gigabyte in megabytes ("16 MB", not "0.0 GB"), else GigabytesText.
std::string SizeText(uint64_t bytes);
// The 録画済み window's status line: "空き 120 GB ・ 次の3時間に必要 8.2 GB" (sums over the plans).
std::string DiskStatusLine(const std::vector<DiskPlan>& plans);

}  // namespace pelkan
