#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "guide/guide_event.h"
#include "ts/stream_listener.h"

namespace pelkan {

class GuideStore;

// Fills the programme guide's store from the processor's events: the event information sections
// of the actual stream (present/following, schedule basic and extended), the service names, the
// broadcast clock and the stream resets. The processing thread only notes which sections are new
// (per network, stream, service, table and section, by version) and hands their bytes over; a
// writer thread of its own parses them and writes them to the store, a transaction at a time, so
// that a slow disk never holds the capture up. It also removes the events that ended more than a
// day before the stream's own clock and records when each service's schedule was last complete and
// when it was last heard from (the services of the stream being received, once a minute).
class GuideCollector : public StreamListener {
 public:
  // Messages for the user (Shift-JIS), called on the writer thread: the file was renamed aside, or
  // what was received could not be written (said once until writing works again).
  using NoticeFn = std::function<void(const std::string& text)>;

  // Most sections waiting for the writer; more are dropped (and taken in again when they come
  // round the next time).
  static constexpr size_t kMaxWaiting = 4096;
  // Events are removed once they ended this long before the stream's clock.
  static constexpr GuideTime kKeepSeconds = 86400;

  // How often, at most, the time a service was last heard from is written (broadcast seconds).
  static constexpr GuideTime kHeardEvery = 60;

  // How often the writer tries again to open a store it could not open (another program held the
  // file's lock, it was read-only, the folder was missing) while sections come.
  static constexpr std::chrono::milliseconds kReopenInterval{2000};

  // Starts the writer thread, which opens (creating or repairing, see GuideStore::Open) the store
  // at `path`, and opens it again later when that failed. `notice` receives the message when the
  // file had to be renamed aside.
  explicit GuideCollector(std::string path, NoticeFn notice = nullptr);
  // Writes what is waiting, then stops the writer thread.
  ~GuideCollector() override;
  GuideCollector(const GuideCollector&) = delete;
  GuideCollector& operator=(const GuideCollector&) = delete;

  // The processor's event handler form, for a processor read without a capture; `user` is the
  // collector. Processing thread (one thread at a time); returns at once.
  static void OnTsEvent(uint32_t type, int32_t param, const uint8_t* data, uint32_t count, void* user);
  // As a capture's consumer (processing thread, one thread at a time; each returns at once).
  void OnEitSection(uint16_t service_id, std::span<const uint8_t> section) override;
  void OnServiceName(uint16_t service_id, const ServiceNames& names) override;
  void OnClock(const BroadcastTime& time) override;
  void OnStreamReset(uint16_t transport_stream_id) override;

  // Returns once everything handed over before the call is written (or could not be). Any thread
  // except the writer's.
  void Flush();

  struct Stats {
    uint64_t sections = 0;  // new sections handed over
    uint64_t dropped = 0;   // sections dropped: too many waiting, or the store could not take them
    bool store_open = false;
    std::string error;  // why the store could not be opened (English), empty when it is open
    // Sections taken in since the guide was last written could not be written (they are taken in
    // again when they come round); false again once a batch is written.
    bool unwritten = false;
  };
  Stats GetStats() const;
  // What the status shows while the guide cannot be written ("番組表を保存できません", Shift-JIS), else
  // empty. Any thread.
  std::string StatusText() const;

 private:
  struct Work {
    enum Kind { kSection, kName, kClock, kReset, kFlush } kind = kSection;
    std::vector<uint8_t> bytes;  // kSection: the section; kName: the name
    uint16_t service_id = 0;
    GuideTime clock = 0;
    std::shared_ptr<std::promise<void>> done;  // kFlush
  };
  // What the writer knows of one service of the guide.
  struct ServiceState;

  void Push(Work work);
  // Opens the store (writer thread).
  void OpenStore();
  void WriterThread();
  void Apply(std::vector<Work>& batch);
  // Writes one piece of work; false when the store failed.
  bool ApplyOne(Work& work);
  // Begins the batch's transaction unless it has begun; false when it cannot.
  bool Writing();
  // What a piece of work changes of the writer's own state, when it cannot be written.
  void Remember(const Work& work);
  void CheckComplete(uint64_t service_key);
  // Writes that the service was heard from at the stream's clock, at most every kHeardEvery.
  void NoteHeard(uint64_t service_key);
  // The message (Shift-JIS) that the guide's file could not take what was received.
  std::string WriteFailedNotice() const;
  // Writes the marks of the services whose sections this batch stored (in its transaction);
  // false when the store failed.
  bool WriteMarks();

  // Per service key, the sections whose events are stored (table id << 8 | section number ->
  // version << 32 | CRC), as the file holds them: a section that comes again unchanged (after the
  // writer or the program started again) is neither read nor written.
  using SectionMarkMap = std::map<uint16_t, uint64_t>;

  const std::string path_;
  NoticeFn notice_;

  // Processing thread: the version of every section handed over.
  std::unordered_map<uint64_t, uint8_t> versions_;
  std::atomic<bool> forget_versions_{false};

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Work> waiting_;
  size_t waiting_sections_ = 0;
  bool stop_ = false;
  Stats stats_;

  // Writer thread.
  std::unique_ptr<GuideStore> store_;
  std::map<uint64_t, std::unique_ptr<ServiceState>> services_;  // by network, stream and service id
  std::map<uint16_t, uint64_t> stream_services_;                // service id -> key, current stream
  std::map<uint16_t, std::string> names_;                       // service id -> name, current stream
  GuideTime clock_ = -1;
  GuideTime removed_at_ = -1;
  bool write_failure_told_ = false;
  bool in_transaction_ = false;
  std::map<uint64_t, SectionMarkMap> marks_;        // committed
  std::map<uint64_t, SectionMarkMap> batch_marks_;  // the batch's, until it is committed
  std::chrono::steady_clock::time_point opened_at_;

  std::thread writer_;
};

}  // namespace pelkan
