#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "schedule/schedule_item.h"

namespace pelkan {

// The reservation file as its list was last read or written, and the work on the file: reading,
// the three-way merge with what the file holds now, the atomic write under the file's lock.
// Several processes may hold the list of one file; each merges what changed on either side since
// its last read or write. Not safe from several threads: its owner (RecordingScheduler) keeps it
// under its own lock and hands a copy of the base (Snapshot) to Merge, which runs without it.
class ReservationFile {
 public:
  enum class SyncResult { kDone, kBusy, kFailed };

  // The file as last read or written: the base of the next merge.
  struct Snapshot {
    std::string path;
    std::vector<ScheduleItem> list;
    std::string text;
    platform::FileStamp stamp;
    bool exists = false;
    bool unreadable = false;  // there, but no reservation file (IsScheduleText)
    std::string list_id;      // its ListId (ScheduleListId), empty when none
  };
  // What a merge did.
  struct Outcome {
    SyncResult result = SyncResult::kDone;
    // The merged list, sorted, with the file's text and stamp after the write; nullopt when there
    // was nothing to merge (neither side changed) or the merge failed.
    std::optional<std::vector<ScheduleItem>> merged;
    std::string text;
    platform::FileStamp stamp;
    // Set when the file was no reservation file: the name it was moved to, empty when it could not
    // be moved (then the result is kFailed).
    std::optional<std::string> kept_aside;
    std::string list_id;  // the ListId of the file as written
  };

  const std::string& path() const { return base_.path; }
  bool unreadable() const { return base_.unreadable; }
  const std::string& list_id() const { return base_.list_id; }
  Snapshot snapshot() const { return base_; }

  // Reads the file at `path` (the stored path when empty; a given path is stored) as the new base
  // and gives its reservations, sorted: none when it is missing or no reservation file. nullopt
  // when no path is known. `warnings` gets a line per reservation dropped as never recordable.
  std::optional<std::vector<ScheduleItem>> Load(const std::string& path, std::vector<std::string>* warnings);
  // Takes the file at `path` as the base without taking its list, so that the next merge makes it
  // hold the owner's list (saving to another file).
  void Rebase(const std::string& path);

  // Merges `ours` (the owner's list, changed since `base`) with the file's list now and writes the
  // result when it differs from the file's (or there is no file): a file whose list did not change
  // keeps its own lines. The file keeps its ListId; a file that lost its list (removed, kept
  // aside with nothing of this side's list standing) gets a new one when a rule's reservation goes
  // in (see FormatSchedule). A file that is no reservation file, or whose every reservation section
  // was dropped (EveryReservationDropped), is moved aside first; one that exists
  // but cannot be read is never replaced (kFailed). Takes the file's lock for `wait_ms` unless
  // `have_lock` (kBusy when another holder keeps it). Cheap when nothing changed (one stat).
  static Outcome Merge(const Snapshot& base, const std::vector<ScheduleItem>& ours, bool have_lock,
                       uint32_t wait_ms);
  // The base after a merge of the file at `path` (not taken when the path changed meanwhile).
  void Synced(const std::string& path, const Outcome& outcome);

  // True the first time a file could not be moved aside since the last successful merge (the user
  // is told once).
  bool FirstAsideFailure();

  // The file's lock, held from LockScheduleFile to UnlockScheduleFile of the owner.
  bool locked() const { return held_lock_ != nullptr; }
  void Hold(std::unique_ptr<platform::FileLock> lock) { held_lock_ = std::move(lock); }
  std::unique_ptr<platform::FileLock> Release() { return std::move(held_lock_); }

 private:
  // Reads `base_.path` into the base: stamp (taken before reading), text, and the two flags.
  void ReadBase();

  Snapshot base_;
  bool aside_failure_told_ = false;
  std::unique_ptr<platform::FileLock> held_lock_;
};

}  // namespace pelkan
