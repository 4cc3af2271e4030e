#include "schedule/reservation_file.h"

#include <algorithm>

#include "schedule/schedule_file.h"

namespace pelkan {

void ReservationFile::ReadBase() {
  // The stamp is taken before reading: a replacement meanwhile is seen (and merged) at the next sync.
  base_.stamp = platform::StampOf(base_.path);
  base_.text.clear();
  base_.exists = platform::ReadFileContents(base_.path, &base_.text);
  // No reservation file: nothing is taken from it, and it is moved aside before a list is written.
  base_.unreadable = base_.exists && !IsScheduleText(base_.text);
  base_.list_id = base_.exists && !base_.unreadable ? ScheduleListId(base_.text) : std::string();
}

std::optional<std::vector<ScheduleItem>> ReservationFile::Load(const std::string& path,
                                                               std::vector<std::string>* warnings) {
  if (!path.empty()) base_.path = path;
  if (base_.path.empty()) return std::nullopt;
  ReadBase();
  warnings->clear();
  std::vector<ScheduleItem> list =
      base_.exists && !base_.unreadable ? ParseSchedule(base_.text, warnings) : std::vector<ScheduleItem>();
  std::stable_sort(list.begin(), list.end(), CompareItems);
  base_.list = list;
  return list;
}

void ReservationFile::Rebase(const std::string& path) {
  base_.path = path;
  ReadBase();
  base_.list = base_.exists && !base_.unreadable ? ParseSchedule(base_.text) : std::vector<ScheduleItem>();
}

ReservationFile::Outcome ReservationFile::Merge(const Snapshot& base, const std::vector<ScheduleItem>& ours,
                                                bool have_lock, uint32_t wait_ms) {
  Outcome out;
  const std::string& path = base.path;
  const bool file_changed = platform::StampOf(path) != base.stamp;
  const bool ours_changed = !base.exists || FormatSchedule(ours) != FormatSchedule(base.list);
  if (!file_changed && !ours_changed && !base.unreadable) return out;

  // Another writer keeps the lock from its read to its write; meanwhile the file is left alone.
  std::unique_ptr<platform::FileLock> file_lock;
  if (!have_lock) {
    file_lock = platform::FileLock::Acquire(path, wait_ms);
    if (!file_lock) {
      out.result = SyncResult::kBusy;
      return out;
    }
  }
  const platform::FileStamp now_stamp = platform::StampOf(path);
  std::string text;
  bool exists = platform::ReadFileContents(path, &text);
  // There, but unreadable (no permission): it is never replaced by what this side knows.
  if (!exists && now_stamp.exists) {
    out.result = SyncResult::kFailed;
    return out;
  }
  if (exists && (!IsScheduleText(text) || EveryReservationDropped(text))) {
    // Not a reservation file, or one of which nothing could be taken (hand-edited): kept under a
    // name of its own, never overwritten.
    out.kept_aside = platform::MoveFileAside(path, ".bad");
    if (out.kept_aside->empty()) {
      out.result = SyncResult::kFailed;
      return out;
    }
    exists = false;
    text.clear();
  }
  std::vector<ScheduleItem> theirs;
  const std::string their_id = exists ? ScheduleListId(text) : std::string();
  std::string list_id = their_id;
  if (out.kept_aside || (exists && base.exists && text == base.text)) {
    // A file kept aside tells nothing of the list: this side's list stands, and so does its ListId.
    theirs = base.list;
    if (out.kept_aside) list_id = base.list_id;
  } else if (exists) {
    theirs = ParseSchedule(text);
  }
  std::stable_sort(theirs.begin(), theirs.end(), CompareItems);
  std::vector<ScheduleItem> merged = MergeSchedule(base.list, ours, theirs);
  std::stable_sort(merged.begin(), merged.end(), CompareItems);
  if (list_id.empty() &&
      std::any_of(merged.begin(), merged.end(), [](const ScheduleItem& item) { return item.rule_id != 0; }))
    list_id = NewListId();
  const std::string merged_text = FormatSchedule(merged, list_id);
  out.stamp = now_stamp;
  out.list_id = list_id;
  // Written only when the list changed: a file of the same list keeps its comments and line ends.
  if (!exists || merged_text != FormatSchedule(theirs, their_id)) {
    if (!platform::ReplaceFileContents(path, merged_text)) {
      out.result = SyncResult::kFailed;
      return out;
    }
    out.stamp = platform::StampOf(path);
    text = merged_text;
  }
  out.text = std::move(text);
  out.merged = std::move(merged);
  return out;
}

void ReservationFile::Synced(const std::string& path, const Outcome& outcome) {
  if (path != base_.path || !outcome.merged) return;
  base_.list = *outcome.merged;
  base_.text = outcome.text;
  base_.stamp = outcome.stamp;
  base_.exists = true;
  base_.unreadable = false;
  base_.list_id = outcome.list_id;
  aside_failure_told_ = false;
}

bool ReservationFile::FirstAsideFailure() {
  const bool first = !aside_failure_told_;
  aside_failure_told_ = true;
  return first;
}

}  // namespace pelkan
