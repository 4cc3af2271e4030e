#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "library/disk_housekeeping.h"
#include "library/recording_library.h"
#include "schedule/recording_scheduler.h"

namespace pelkan {

class CaptureApp;
class ScheduledCapture;
struct Settings;

// The reservations of `planned` the disk must have room for (waiting or recording, whole or in
// part), in the folders they record to (`default_folder` when they name none; UTF-8).
std::vector<PlannedRecording> PlannedRecordingsOf(const RecordingScheduler::PlannedList& planned,
                                                  const std::string& default_folder);

// The recordings' catalogue as a capture session keeps it: a recording enters when its file opens
// (the manual recording's or a reservation's, seen at each Follow) and is completed from its report
// when it ends (the end listeners); with AUTO_DELETE, the disk's housekeeping runs before each
// reservation starts, when the plan changes and every minute while recording. Owning thread.
class LibraryFeed {
 public:
  using LogFn = std::function<void(const std::string&)>;
  using NoticeFn = std::function<void(const std::string& text)>;
  static constexpr int64_t kHousekeepingSeconds = 60;
  static constexpr int64_t kBeforeStartSeconds = 90;
  static constexpr int64_t kPlanLookSeconds = 5;

  // The files a feed's recordings write now, as other threads ask (the HTTP server's chasing).
  class WritingFiles {
   public:
    bool Holds(const std::string& file) const {
      std::lock_guard<std::mutex> lock(mutex_);
      return files_.contains(file);
    }
    void Set(const std::set<std::string>& files) {
      std::lock_guard<std::mutex> lock(mutex_);
      files_ = files;
    }
    void Drop(const std::string& file) {
      std::lock_guard<std::mutex> lock(mutex_);
      files_.erase(file);
    }

   private:
    mutable std::mutex mutex_;
    std::set<std::string> files_;
  };

  // Opens the catalogue at `path` (UTF-8); without it (it cannot be opened: said in `log`) the
  // feed does nothing. `notice` takes the housekeeping's notices and a replaced file's (UTF-8).
  LibraryFeed(const std::string& path, const Settings& settings, LogFn log, NoticeFn notice);
  ~LibraryFeed();
  LibraryFeed(const LibraryFeed&) = delete;
  LibraryFeed& operator=(const LibraryFeed&) = delete;

  // Completes the entries of the recordings of `app` and the reservations of `schedule` (either
  // may be null) when they end.
  void Wire(CaptureApp* app, ScheduledCapture* schedule);
  // The heartbeat: catalogues the files opened since the last call and keeps the disk free.
  // `now_epoch`: seconds since the epoch.
  void Follow(CaptureApp* app, ScheduledCapture* schedule, int64_t now_epoch);
  // Replaces the file systems' access (tests).
  void SetDiskAccess(DiskAccess access) { access_ = std::move(access); }

  RecordingLibrary* library() { return library_.get(); }
  // The files being written now (any thread; kept up at each Follow and each end).
  std::shared_ptr<const WritingFiles> writing() const { return writing_; }

 private:
  std::optional<int64_t> Opened(const std::string& file, const ScheduleItem* item, int64_t now);
  // Gives the manual recording's entry what its report will name: the capture's first service and
  // the programme on air there.
  void DescribeManual(CaptureApp& app);
  void Housekeep(ScheduledCapture& schedule, bool recording, int64_t now);

  const Settings& settings_;
  LogFn log_;
  NoticeFn notice_;
  std::unique_ptr<RecordingLibrary> library_;
  DiskAccess access_ = DiskAccess::System();
  std::set<std::string> open_;
  // The manual recording being written: its entry, the service's name and whether its programme
  // is known yet (the first one seen stays, as in its report).
  struct Manual {
    int64_t id = 0;
    std::string service_name;
    bool titled = false;
    int64_t looked = 0;
  };
  Manual manual_;
  std::shared_ptr<WritingFiles> writing_ = std::make_shared<WritingFiles>();
  std::string plan_key_;
  int64_t last_housekeeping_ = 0;
  int64_t last_look_ = 0;
};

}  // namespace pelkan
