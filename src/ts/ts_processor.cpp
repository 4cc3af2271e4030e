#include "ts/ts_processor.h"

#include <algorithm>
#include <cstring>

namespace pelkan {
namespace {

constexpr std::memory_order kRelaxed = std::memory_order_relaxed;

void Increment(std::atomic<uint32_t>& counter) { counter.fetch_add(1, kRelaxed); }

// Versions remembered per kind of table: far more than a broadcast's 8 EIT schedule tables of 256
// sections for 100 services.
constexpr size_t kMaxTrackedSections = size_t{1} << 18;

}  // namespace

class TsProcessor::Sink final : public SectionSink {
 public:
  explicit Sink(TsProcessor& p) : p_(p) {}
  void OnSection(int handler, const PacketHeader&, const SectionHeader& header, const uint8_t* section,
                 uint32_t length) override {
    p_.OnSection(handler, header, section, length);
  }

 private:
  TsProcessor& p_;
};

TsProcessor::TsProcessor(B25Decoder* decoder)
    : decoder_(decoder), pid_kinds_(8192), last_cc_(8192), sink_(std::make_unique<Sink>(*this)) {
  ResetTables();
  auto initial = std::make_shared<OutputSet>();
  initial->outputs.emplace_back(0, OutputFilter{});
  std::lock_guard lock(outputs_mutex_);
  PublishOutputs(std::move(initial));
}

TsProcessor::~TsProcessor() { ResetTables(); }

void TsProcessor::ResetTables() {
  std::memset(pid_kinds_.data(), 0, pid_kinds_.size() * sizeof(PidKind));
  std::memset(last_cc_.data(), 0xFF, last_cc_.size());
  assembler_.Reset();
  pat_transport_stream_id_ = 0;
  pat_version_ = 0;
  nit_versions_.clear();
  sdt_versions_.clear();
  pat_programs_.clear();
  pmt_versions_.clear();
  eit_versions_.clear();
  event_store_.Clear();
  if (decoder_) decoder_->Reset();
}

// ---- Outputs -------------------------------------------------------------------------------------

void TsProcessor::PublishOutputs(std::shared_ptr<const OutputSet> next) {
  outputs_ = std::move(next);
  outputs_generation_.fetch_add(1, std::memory_order_release);
}

int TsProcessor::AddOutput(uint16_t id) {
  std::lock_guard lock(outputs_mutex_);
  auto next = std::make_shared<OutputSet>(*outputs_);
  auto& v = next->outputs;
  auto it = std::lower_bound(v.begin(), v.end(), id, [](const auto& e, uint16_t key) { return e.first < key; });
  if (it != v.end() && it->first == id) return 0;
  v.emplace(it, id, OutputFilter{});
  PublishOutputs(std::move(next));
  return 1;
}

void TsProcessor::SetOutputFilter(uint16_t id, uint32_t program_mode, const uint16_t* programs,
                                  uint32_t program_count, uint32_t pid_mode, const uint16_t* pids,
                                  uint32_t pid_count) {
  std::lock_guard lock(outputs_mutex_);
  auto next = std::make_shared<OutputSet>(*outputs_);
  for (auto& [oid, filter] : next->outputs) {
    if (oid != id) continue;
    filter.Set(program_mode, programs, program_count, pid_mode, pids, pid_count);
    PublishOutputs(std::move(next));
    return;
  }
}

void TsProcessor::ClearOutputFilter(uint16_t id, int all) {
  std::lock_guard lock(outputs_mutex_);
  auto next = std::make_shared<OutputSet>();
  if (all) {
    next->outputs.emplace_back(0, OutputFilter{});
    PublishOutputs(std::move(next));
    return;
  }
  *next = *outputs_;
  for (auto& [oid, filter] : next->outputs) {
    if (oid != id) continue;
    filter.ClearSets();
    PublishOutputs(std::move(next));
    return;
  }
}

std::optional<OutputFilter> TsProcessor::GetOutputFilter(uint16_t id) const {
  std::lock_guard lock(outputs_mutex_);
  for (const auto& [oid, filter] : outputs_->outputs) {
    if (oid == id) return filter;
  }
  return std::nullopt;
}

std::vector<uint16_t> TsProcessor::OutputIds() const {
  std::lock_guard lock(outputs_mutex_);
  std::vector<uint16_t> ids;
  for (const auto& entry : outputs_->outputs) ids.push_back(entry.first);
  return ids;
}

void TsProcessor::RefreshOutputs() {
  std::lock_guard lock(outputs_mutex_);
  active_outputs_ = outputs_;
  active_generation_ = outputs_generation_.load(kRelaxed);
  runs_.assign(active_outputs_->outputs.size(), Run{});
}

void TsProcessor::FlushRun(size_t index) {
  Run& run = runs_[index];
  if (run.length == 0) return;
  const uint32_t length = run.length;
  run.length = 0;
  const int32_t param = static_cast<int32_t>(active_outputs_->outputs[index].first | run.packet_size << 16);
  handler_(EVENT_PACKETS, param, run.data, length, user_);
}

void TsProcessor::FlushRuns() {
  if (!runs_pending_) return;
  runs_pending_ = false;
  for (size_t i = 0; i < runs_.size(); ++i) FlushRun(i);
}

void TsProcessor::RouteToOutputs(const uint8_t* unit, uint16_t pid, uint32_t size) {
  if (!handler_) return;
  if (outputs_generation_.load(std::memory_order_acquire) != active_generation_) {
    FlushRuns();
    RefreshOutputs();
  }
  // The set is immutable and held here, so a filter change made by the handler while the events of
  // this packet go out applies from the next packet, and no lock is held during the handler calls.
  const OutputSet& set = *active_outputs_;
  // A packet inside the caller's bytes may wait for the ones after it until the Feed call ends.
  const bool may_wait = packet_runs_ != 0 && unit >= feed_begin_ && unit + size <= feed_end_;
  for (size_t i = 0; i < set.outputs.size(); ++i) {
    const auto& [id, filter] = set.outputs[i];
    if (!filter.Passes(pid)) continue;
    if (pid != 0 && may_wait) {
      Run& run = runs_[i];
      if (run.length > 0 && (run.data + run.length != unit || run.packet_size != size)) FlushRun(i);
      if (run.length == 0) run = Run{unit, 0, size};
      run.length += size;
      runs_pending_ = true;
    } else if (pid != 0) {
      FlushRun(i);
      handler_(EVENT_PACKET, id, unit, size, user_);
    } else {
      FlushRun(i);
      uint8_t copy[204];
      std::memcpy(copy, unit, size);
      filter.RewritePat(copy, size, pat_programs_);
      handler_(EVENT_PACKET, id, copy, size, user_);
    }
  }
}

// ---- Alignment stage -----------------------------------------------------------------------------

// Inlined into Feed: it runs for every packet.
[[gnu::always_inline]] inline void TsProcessor::OnAlignedPacket(const uint8_t* packet, uint32_t size,
                                                                CaptureStats& stats) {
  if (!decoder_) {
    // The common case, one whole packet and nothing staged, goes straight to the unit.
    if (stage_length_ == 0 && size == stats.packet_size.load(kRelaxed)) {
      ProcessUnit(packet, size, stats);
    } else {
      PacketStage(packet, size, stats);
    }
    return;
  }
  uint8_t* out = nullptr;
  int out_length = 0;
  if (decoder_->Decode(packet, static_cast<int>(size), &out, &out_length) && out && out_length > 0) {
    PacketStage(out, static_cast<uint32_t>(out_length), stats);
  }
}

void TsProcessor::Feed(const uint8_t* data, int length, CaptureStats& stats) {
  if (!data || length <= 0) return;
  uint32_t n = static_cast<uint32_t>(length);
  const uint32_t room = kInputCapacity - aligner_.pending();
  if (n > room) {
    n = room;
    Increment(stats.input_overflows);
  }
  feed_begin_ = data;
  feed_end_ = data + n;
  aligner_.Feed(data, n, stats, [this, &stats](const uint8_t* packet, uint32_t size) {
    OnAlignedPacket(packet, size, stats);
  });
  FlushRuns();
  feed_begin_ = feed_end_ = nullptr;
}

// ---- Packet stage --------------------------------------------------------------------------------

void TsProcessor::PacketStage(const uint8_t* data, uint32_t length, CaptureStats& stats) {
  const uint32_t size = stats.packet_size.load(kRelaxed);
  if (size == 0) return;
  const uint32_t room = kPacketStageCapacity - stage_length_;
  if (length > room) {
    length = room;
    Increment(stats.packet_stage_overflows);
  }
  if (stage_length_ == 0 && !decoder_) {
    // Without a decoder the bytes are the caller's own packet: process them in place.
    while (length >= size) {
      ProcessUnit(data, size, stats);
      data += size;
      length -= size;
    }
    if (length == 0) return;
  }
  // Decoder output is copied first: the decoder may reuse its memory at its next call, and a
  // transport stream change calls its Reset while the units are being processed.
  if (stage_.size() < stage_length_ + length) stage_.resize(stage_length_ + length);
  std::memcpy(stage_.data() + stage_length_, data, length);
  stage_length_ += length;
  uint32_t read = 0;
  while (stage_length_ - read >= size) {
    ProcessUnit(stage_.data() + read, size, stats);
    read += size;
  }
  stage_length_ -= read;
  if (stage_length_ > 0 && read > 0) std::memmove(stage_.data(), stage_.data() + read, stage_length_);
}

void TsProcessor::SetCountDrops(uint32_t flag) {
  if (!flag) {
    drop_checker_.reset();
  } else if (!drop_checker_) {
    drop_checker_ = std::make_unique<PidChecker>();
  }
}

void TsProcessor::ProcessUnit(const uint8_t* unit, uint32_t size, CaptureStats& stats) {
  if (drop_checker_ && unit[0] == kSyncByte) {
    const uint64_t before = drop_checker_->drops();
    drop_checker_->Check(unit, packet_count_ * size);
    if (const uint64_t dropped = drop_checker_->drops() - before) {
      stats.dropped_packets.fetch_add(static_cast<uint32_t>(dropped), kRelaxed);
    }
  }
  ++packet_count_;
  if (unit[3] & 0xC0) Increment(stats.scrambled_packets);
  const uint16_t pid = static_cast<uint16_t>((unit[1] & 0x1F) << 8 | unit[2]);
  if (unit[0] != kSyncByte || pid == kNullPid) return;

  uint8_t& last_cc = last_cc_[pid];
  const uint8_t cc = unit[3] & 0x0F;
  const bool start = unit[1] & 0x40;
  if (last_cc != 0xFF && start && cc != ((last_cc + 1) & 0x0F)) Increment(stats.continuity_errors);
  last_cc = cc;

  int handler = kNoTable;
  if (decode_psi_.load(std::memory_order_relaxed) != 0) {
    switch (pid) {
      case 0x0000: handler = kPat; break;
      case 0x0001: break;
      case 0x0011: handler = kSdt; break;
      case 0x0012:
      case 0x0026:
      case 0x0027: handler = kEit; break;
      case 0x0014: handler = kTime; break;
      default:
        const PidKind kind = pid_kinds_[pid];
        if (kind == PidKind::kPmt) {
          handler = kPmt;
        } else if (kind == PidKind::kNit || kind == PidKind::kOtherNetwork) {
          handler = kNit;
        }
    }
  } else if (pid == 0x0014) {
    handler = kTime;
  }
  if (handler != kNoTable) assembler_.PushPayload(ParsePacketHeader(unit), unit + 4, handler, *sink_);

  if (packet_events_) RouteToOutputs(unit, pid, size);
}

void TsProcessor::BreakStream() {
  aligner_.Discard();
  std::fill(last_cc_.begin(), last_cc_.end(), uint8_t{0xFF});
  if (drop_checker_) drop_checker_->RestartContinuity();
}

void TsProcessor::Finish(CaptureStats& stats) {
  const uint32_t size = stats.packet_size.load(kRelaxed);
  uint8_t* out = nullptr;
  int out_length = 0;
  if (decoder_ && decoder_->Flush(&out, &out_length) && out && out_length > 0 && size != 0) {
    // Copied first, as the pieces may reach a PAT that resets the decoder.
    const std::vector<uint8_t> held(out, out + out_length);
    for (size_t pos = 0; pos < held.size(); pos += size) {
      PacketStage(held.data() + pos, static_cast<uint32_t>(std::min<size_t>(size, held.size() - pos)), stats);
    }
  }
  Emit(EVENT_STREAM_RESET, 0, nullptr, 1);
}

// ---- Sections ------------------------------------------------------------------------------------

bool TsProcessor::IsNewVersion(std::unordered_map<uint32_t, uint8_t>& versions, const SectionHeader& h) {
  const uint32_t key = uint32_t{h.table_id_extension} << 16 | uint32_t{h.table_id} << 8 | h.section_number;
  // A stream that keeps inventing tables cannot make the map grow without bound: forgetting the
  // versions only means sections are taken in once more.
  if (versions.size() >= kMaxTrackedSections && versions.find(key) == versions.end()) versions.clear();
  auto [it, inserted] = versions.try_emplace(key, h.version_number);
  if (inserted) return true;
  if (it->second == h.version_number) return false;
  it->second = h.version_number;
  return true;
}

void TsProcessor::OnSection(int handler, const SectionHeader& h, const uint8_t* section, uint32_t length) {
  switch (handler) {
    case kPat: HandlePat(h, section, length); break;
    case kPmt: HandlePmt(h, section, length); break;
    case kNit: HandleNit(h, section, length); break;
    case kSdt: HandleSdt(h, section, length); break;
    case kTime: HandleTime(h, section, length); break;
    case kEit: HandleEit(h, section, length); break;
    default: break;
  }
}

}  // namespace pelkan
