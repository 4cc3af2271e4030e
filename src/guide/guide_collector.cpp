#include "guide/guide_collector.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>

#include "guide/eit_guide_section.h"
#include "guide/guide_store.h"
#include "guide/guide_texts.h"
#include "guide/schedule_layout.h"
#include "platform/text_codec.h"
#include "base/mjd_time.h"
#include "ts/tables/eit_section.h"
#include "ts/ts_events.h"

namespace pelkan {
namespace {

// The writer gathers what comes in during this long into one transaction: at most one a second.
constexpr auto kCommitInterval = std::chrono::milliseconds(1000);
// Sections whose versions are remembered; a stream that keeps inventing tables only makes the
// collector take sections in again.
constexpr size_t kMaxTrackedSections = size_t{1} << 18;
// Sections remembered as stored, per service (a service has a few hundred); past that the others
// are read again each time they come.
constexpr size_t kMaxMarks = 4096;
// How often (broadcast seconds) ended events are removed.
constexpr GuideTime kRemoveEvery = 600;

uint64_t ServiceKey(uint16_t original_network_id, uint16_t transport_stream_id, uint16_t service_id) {
  return uint64_t{original_network_id} << 32 | uint64_t{transport_stream_id} << 16 | service_id;
}

// A section's mark: its version and its CRC (the section's last four bytes).
uint64_t SectionMark(const EitSection::Header& h, const std::vector<uint8_t>& section) {
  const uint8_t* crc = section.data() + section.size() - 4;
  return uint64_t{h.version_number} << 32 | uint32_t{crc[0]} << 24 | uint32_t{crc[1]} << 16 |
         uint32_t{crc[2]} << 8 | crc[3];
}

// The marks of a service in the file: seven bytes each, table id, section number, version and CRC.
constexpr size_t kMarkBytes = 7;

std::string PackMarks(const std::map<uint16_t, uint64_t>& marks) {
  std::string bytes;
  bytes.reserve(marks.size() * kMarkBytes);
  for (const auto& [section, mark] : marks) {
    const char entry[kMarkBytes] = {static_cast<char>(section >> 8), static_cast<char>(section),
                                    static_cast<char>(mark >> 32),   static_cast<char>(mark >> 24),
                                    static_cast<char>(mark >> 16),   static_cast<char>(mark >> 8),
                                    static_cast<char>(mark)};
    bytes.append(entry, kMarkBytes);
  }
  return bytes;
}

std::map<uint16_t, uint64_t> UnpackMarks(std::string_view bytes) {
  std::map<uint16_t, uint64_t> marks;
  for (size_t i = 0; i + kMarkBytes <= bytes.size(); i += kMarkBytes) {
    const auto* e = reinterpret_cast<const uint8_t*>(bytes.data() + i);
    marks[static_cast<uint16_t>(e[0] << 8 | e[1])] =
        uint64_t{e[2]} << 32 | uint32_t{e[3]} << 24 | uint32_t{e[4]} << 16 | uint32_t{e[5]} << 8 | e[6];
  }
  return marks;
}

}  // namespace

struct GuideCollector::ServiceState {
  ScheduleLayout layout;
  bool complete = false;
  GuideTime heard_written = -1;  // the last time written as heard from
  std::string name_written;
  bool named = false;
};

GuideCollector::GuideCollector(std::string path, NoticeFn notice)
    : path_(std::move(path)), notice_(std::move(notice)) {
  writer_ = std::thread([this] { WriterThread(); });
}

GuideCollector::~GuideCollector() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (writer_.joinable()) writer_.join();
}

void GuideCollector::OnTsEvent(uint32_t type, int32_t param, const uint8_t* data, uint32_t count,
                               void* user) {
  DeliverTsEvent(*static_cast<GuideCollector*>(user), type, param, data, count);
}

void GuideCollector::OnEitSection(uint16_t, std::span<const uint8_t> section) {
  const std::optional<EitSection::Header> h = EitSection::ReadHeader(section.data(), static_cast<uint32_t>(section.size()));
  // A section that is not yet applicable (current_next_indicator 0) must not replace the
  // current one.
  if (!h || !h->current_next_indicator) return;
  if (forget_versions_.exchange(false)) versions_.clear();
  const uint64_t key = ServiceKey(h->original_network_id, h->transport_stream_id, h->service_id) << 16 |
                       uint64_t{h->table_id} << 8 | h->section_number;
  const uint8_t version = h->version_number;
  if (versions_.size() >= kMaxTrackedSections && versions_.find(key) == versions_.end()) versions_.clear();
  auto [it, inserted] = versions_.try_emplace(key, version);
  if (!inserted && it->second == version) return;
  it->second = version;
  Work w;
  w.kind = Work::kSection;
  w.bytes.assign(section.begin(), section.end());
  {
    std::lock_guard lock(mutex_);
    if (waiting_sections_ >= kMaxWaiting) {
      ++stats_.dropped;
      versions_.erase(key);
      return;
    }
    ++stats_.sections;
  }
  Push(std::move(w));
}

void GuideCollector::OnServiceName(uint16_t service_id, const ServiceNames& names) {
  Work w;
  w.kind = Work::kName;
  w.service_id = service_id;
  const size_t length = strnlen(names.service_name, sizeof names.service_name);
  w.bytes.assign(names.service_name, names.service_name + length);
  Push(std::move(w));
}

void GuideCollector::OnClock(const BroadcastTime& time) {
  Work w;
  w.kind = Work::kClock;
  w.clock = GuideTime{time.date} * 86400 + time.seconds;
  Push(std::move(w));
}

void GuideCollector::OnStreamReset(uint16_t) {
  Work w;
  w.kind = Work::kReset;
  Push(std::move(w));
}

void GuideCollector::Push(Work work) {
  bool first = false;
  {
    std::lock_guard lock(mutex_);
    if (work.kind == Work::kSection) ++waiting_sections_;
    first = waiting_.empty();
    waiting_.push_back(std::move(work));
  }
  // The writer waits for the first piece of a batch only; what follows is gathered while it waits
  // out the batch's second, and would only wake it for nothing.
  if (first) wake_.notify_one();
}

void GuideCollector::Flush() {
  if (writer_.get_id() == std::this_thread::get_id()) return;
  Work w;
  w.kind = Work::kFlush;
  w.done = std::make_shared<std::promise<void>>();
  std::future<void> done = w.done->get_future();
  {
    std::lock_guard lock(mutex_);
    if (stop_) return;
    waiting_.push_back(std::move(w));
  }
  wake_.notify_one();
  done.wait();
}

GuideCollector::Stats GuideCollector::GetStats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

std::string GuideCollector::StatusText() const {
  std::lock_guard lock(mutex_);
  return stats_.unwritten ? guide_text::kNotWritten : std::string();
}

void GuideCollector::OpenStore() {
  std::string notice, error;
  store_ = GuideStore::Open(path_, GuideStore::Access::kWrite, true, &notice, &error);
  opened_at_ = std::chrono::steady_clock::now();
  marks_.clear();
  if (store_) {
    for (const auto& [service, bytes] : store_->SectionMarks()) marks_[service] = UnpackMarks(bytes);
  }
  {
    std::lock_guard lock(mutex_);
    stats_.store_open = store_ != nullptr;
    stats_.error = error;
  }
  if (!notice.empty() && notice_) notice_(notice);
}

void GuideCollector::WriterThread() {
  OpenStore();

  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !waiting_.empty(); });
    if (waiting_.empty() && stop_) break;
    // Gathers a little more unless someone waits for the writer.
    bool flush = false;
    for (const Work& w : waiting_) flush = flush || w.kind == Work::kFlush;
    if (!flush && !stop_) wake_.wait_for(lock, kCommitInterval, [this] { return stop_; });
    std::vector<Work> batch(std::make_move_iterator(waiting_.begin()),
                            std::make_move_iterator(waiting_.end()));
    waiting_.clear();
    waiting_sections_ = 0;
    lock.unlock();
    Apply(batch);
    lock.lock();
  }
  lock.unlock();
  store_.reset();
}

void GuideCollector::Apply(std::vector<Work>& batch) {
  std::vector<std::shared_ptr<std::promise<void>>> finished;
  // A store that could not be opened (locked by another program when the capture began, say) is
  // tried again while sections come: they are kept for it, never given up for the run.
  bool sections = false;
  for (const Work& w : batch) sections = sections || w.kind == Work::kSection;
  if (!store_ && sections && std::chrono::steady_clock::now() - opened_at_ >= kReopenInterval) OpenStore();
  // The transaction begins with the first write: a batch that changes nothing writes nothing.
  bool began = store_ != nullptr;
  in_transaction_ = false;
  batch_marks_.clear();
  // The batch did not reach the file: another program held its write lock too long, the disk is
  // full or read-only, the file is damaged. What it held is taken in again when its sections come
  // round (the versions are forgotten), and the sections are counted as dropped.
  bool lost = !began;
  for (Work& w : batch) {
    if (w.kind == Work::kFlush) {
      finished.push_back(std::move(w.done));
      continue;
    }
    if (!began) {
      Remember(w);
      continue;
    }
    if (ApplyOne(w)) continue;
    if (in_transaction_) store_->Rollback();
    in_transaction_ = false;
    began = false;
    lost = true;
    batch_marks_.clear();
    for (auto& [key, state] : services_) state->named = false;
    if (store_->LastErrorIsDamage()) {
      marks_.clear();
      std::string notice;
      if (store_->ReplaceDamagedFile(&notice)) {
        if (!notice.empty() && notice_) notice_(notice);
      } else {
        store_.reset();
      }
      services_.clear();
    }
  }
  if (began && in_transaction_ && (!WriteMarks() || !store_->Commit())) {
    store_->Rollback();
    lost = true;
  } else {
    for (auto& [service, sections] : batch_marks_) {
      for (const auto& [section, mark] : sections) marks_[service][section] = mark;
    }
  }
  batch_marks_.clear();
  in_transaction_ = false;
  size_t failed = 0;
  if (lost) {
    for (const Work& x : batch) failed += x.kind == Work::kSection;
    // Whether the store is open or not, what was lost is taken in again when it comes round.
    if (failed > 0) forget_versions_ = true;
  }
  // The user hears once that the guide is not being written, and again after it was written
  // meanwhile.
  if (failed > 0 && !write_failure_told_) {
    write_failure_told_ = true;
    if (notice_) notice_(WriteFailedNotice());
  } else if (!lost && failed == 0 && began) {
    write_failure_told_ = false;
  }
  {
    std::lock_guard lock(mutex_);
    stats_.dropped += failed;
    stats_.store_open = store_ != nullptr;
    if (failed > 0) {
      stats_.unwritten = true;
    } else if (began && !lost) {
      stats_.unwritten = false;
    }
  }
  for (auto& done : finished) done->set_value();
}

std::string GuideCollector::WriteFailedNotice() const {
  char text[1024];
  const size_t slash = path_.rfind('/');
  const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  std::snprintf(text, sizeof text, guide_text::kWriteFailed.c_str(), platform::Utf8ToSjis(name).c_str());
  return text;
}

bool GuideCollector::WriteMarks() {
  for (const auto& [service, sections] : batch_marks_) {
    SectionMarkMap all = marks_[service];
    for (const auto& [section, mark] : sections) all[section] = mark;
    if (!store_->SetSectionMarks(service, PackMarks(all))) return false;
  }
  return true;
}

bool GuideCollector::Writing() {
  if (!in_transaction_) in_transaction_ = store_->Begin();
  return in_transaction_;
}

bool GuideCollector::ApplyOne(Work& w) {
  switch (w.kind) {
    case Work::kSection: {
      const std::optional<EitSection::Header> header =
          EitSection::ReadHeader(w.bytes.data(), static_cast<uint32_t>(w.bytes.size()));
      if (!header || w.bytes.size() < 4) return true;
      const EitSection::Header& h = *header;
      const uint64_t key = ServiceKey(h.original_network_id, h.transport_stream_id, h.service_id);
      const uint16_t section = static_cast<uint16_t>(h.table_id << 8 | h.section_number);
      const uint64_t mark = SectionMark(h, w.bytes);
      const auto known = marks_.find(key);
      // A section whose events are stored as they are is neither read nor written again.
      if (known == marks_.end() || !known->second.count(section) || known->second.at(section) != mark) {
        const std::optional<EitGuideSection> s = ParseEitGuideSection(w.bytes.data(), w.bytes.size());
        if (!s) return true;
        if (!Writing()) return false;
        for (const GuideEventUpdate& u : s->events) {
          if (!store_->ApplyEvent(u)) return false;
        }
        SectionMarkMap& marks = batch_marks_[key];
        if ((known == marks_.end() ? 0 : known->second.size()) + marks.size() < kMaxMarks) marks[section] = mark;
      }
      std::unique_ptr<ServiceState>& state = services_[key];
      if (!state) state = std::make_unique<ServiceState>();
      stream_services_[h.service_id] = key;
      auto name = names_.find(h.service_id);
      if (name != names_.end() && (!state->named || state->name_written != name->second)) {
        if (!Writing() ||
            !store_->SetServiceName(h.original_network_id, h.transport_stream_id, h.service_id, name->second))
          return false;
        state->named = true;
        state->name_written = name->second;
      }
      NoteHeard(key);
      if (h.table_id >= 0x50) {
        state->layout.Add(h.table_id, h.version_number, h.section_number, h.last_section_number,
                          h.segment_last_section_number, h.last_table_id);
        CheckComplete(key);
      }
      return true;
    }
    case Work::kName: {
      std::string name(w.bytes.begin(), w.bytes.end());
      names_[w.service_id] = name;
      auto known = stream_services_.find(w.service_id);
      if (known == stream_services_.end()) return true;
      ServiceState& state = *services_[known->second];
      if (state.named && state.name_written == name) return true;
      const uint64_t key = known->second;
      if (!Writing()) return false;
      if (!store_->SetServiceName(static_cast<uint16_t>(key >> 32), static_cast<uint16_t>(key >> 16),
                                  static_cast<uint16_t>(key), name))
        return false;
      state.named = true;
      state.name_written = name;
      return true;
    }
    case Work::kClock:
      clock_ = w.clock;
      // Ended programmes go by the stream's own clock, but never by one more than a day ahead of
      // the computer's: one stream with a wrong clock must not empty the guide.
      if (clock_ - ToGuideTime(JapanTimeNow()) > kKeepSeconds) {
        for (auto& [key, state] : services_) CheckComplete(key);
        return true;
      }
      if (removed_at_ < 0 || clock_ - removed_at_ >= kRemoveEvery || clock_ < removed_at_) {
        if (!Writing() || store_->RemoveEndedBefore(clock_ - kKeepSeconds) < 0) return false;
        removed_at_ = clock_;
      }
      for (auto& [key, state] : services_) CheckComplete(key);
      for (const auto& [service_id, key] : stream_services_) NoteHeard(key);
      return true;
    case Work::kReset:
      stream_services_.clear();
      names_.clear();
      return true;
    case Work::kFlush:
      return true;
  }
  return true;
}

void GuideCollector::Remember(const Work& w) {
  switch (w.kind) {
    case Work::kName:
      names_[w.service_id] = std::string(w.bytes.begin(), w.bytes.end());
      break;
    case Work::kClock:
      clock_ = w.clock;
      break;
    case Work::kReset:
      stream_services_.clear();
      names_.clear();
      break;
    default:
      break;
  }
}

void GuideCollector::NoteHeard(uint64_t key) {
  const auto found = services_.find(key);
  if (found == services_.end() || !found->second) return;
  ServiceState& state = *found->second;
  if (clock_ < 0 || clock_ - ToGuideTime(JapanTimeNow()) > kKeepSeconds) return;
  if (state.heard_written >= 0 && clock_ >= state.heard_written && clock_ - state.heard_written < kHeardEvery)
    return;
  // A failure here only leaves the time unrecorded until the next minute.
  if (!Writing()) return;
  store_->SetServiceHeard(static_cast<uint16_t>(key >> 32), static_cast<uint16_t>(key >> 16),
                          static_cast<uint16_t>(key), clock_);
  state.heard_written = clock_;
}

void GuideCollector::CheckComplete(uint64_t key) {
  ServiceState& state = *services_[key];
  if (clock_ < 0) return;
  const bool complete = state.layout.Complete(clock_);
  if (complete && !state.complete && Writing()) {
    // A failure here only leaves the time unrecorded until the next completion.
    store_->SetScheduleComplete(static_cast<uint16_t>(key >> 32), static_cast<uint16_t>(key >> 16),
                                static_cast<uint16_t>(key), clock_);
  }
  state.complete = complete;
}

}  // namespace pelkan
