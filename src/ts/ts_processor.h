#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/capture_stats.h"
#include "base/mjd_time.h"
#include "ts/b25_decoder.h"
#include "ts/event_store.h"
#include "ts/output_filter.h"
#include "ts/packet_aligner.h"
#include "ts/packet_header.h"
#include "ts/pid_checker.h"
#include "ts/section_assembler.h"
#include "ts/ts_events.h"

namespace pelkan {

// What the PAT says a PID carries.
enum class PidKind : uint16_t {
  kNone = 0,
  kPmt = 2,              // a PMT PID named by the PAT
  kNit = 0x40,           // the network PID 0x0010 named by the PAT
  kOtherNetwork = 0x7F,  // a network PID other than 0x0010 named by the PAT
};

// Turns the raw byte stream of a tuner into TS packets and reports everything it finds through one
// event handler (see ts_events.h): it aligns 188/192/204-byte packets, passes each through the
// optional outside decoder, counts sync losses, continuity breaks and scrambled packets into a
// CaptureStats, assembles PSI/SI sections and decodes the PAT, PMT, NIT, SDT, time table and EIT
// (programme events go to its EventStore), and hands each packet to every output whose filter
// passes it.
//
// Threads: construction, Feed, Finish, the setters (SetDecodePsi and SetProcessEpg excepted) and
// destruction run on one processing thread, and so does every event. AddOutput, SetOutputFilter
// and ClearOutputFilter may be called from any thread at any time (also from inside the event
// handler); an update applies from the next packet. The event store queries may be called from
// any thread.
class TsProcessor {
 public:
  static constexpr uint32_t kInputCapacity = 0xA00000;
  static constexpr uint32_t kPacketStageCapacity = 0x100000;
  static constexpr uint32_t kSearchWindow = PacketAligner::kSearchWindow;

  // `decoder` (not owned, may be null) receives every aligned packet; its Reset is called now, at
  // each change of transport stream and at destruction. Output 0 exists from the start.
  explicit TsProcessor(B25Decoder* decoder = nullptr);
  ~TsProcessor();
  TsProcessor(const TsProcessor&) = delete;
  TsProcessor& operator=(const TsProcessor&) = delete;

  // Non-zero: every PSI/SI table is decoded; zero (the default): only the time table on PID 0x0014.
  // Any thread, any time: it applies from a following packet.
  void SetDecodePsi(uint32_t flag) { decode_psi_.store(flag, std::memory_order_relaxed); }
  // Non-zero: EIT sections fill the event store. Zero by default. Any thread, as SetDecodePsi.
  void SetProcessEpg(uint32_t flag) { process_epg_.store(flag, std::memory_order_relaxed); }
  // Zero: no packet is handed to the outputs (no EVENT_PACKET), for a reader of the tables only,
  // which then pays no call per packet. Non-zero (the default): each output gets the packets its
  // filter passes.
  void SetPacketEvents(uint32_t flag) { packet_events_ = flag; }
  // Non-zero: the packets an output passes that lie one after another in the bytes given to Feed
  // go out together as one EVENT_PACKETS (at the latest before the next other event and at the end
  // of the Feed call), so that a consumer pays one call per run instead of one per packet. A packet
  // that had to be put together (split between two calls, or from the decoder) and the PAT an
  // output rewrites still go out alone as EVENT_PACKET. Zero by default. Processing thread.
  void SetPacketRuns(uint32_t flag) {
    FlushRuns();
    packet_runs_ = flag;
  }
  // Non-zero: every packet also goes through a PidChecker, whose drops are added to
  // stats.dropped_packets, so that the capture and `inspect` tell the drops as `check` and a
  // recording's report count them. Zero by default. Set before the first Feed.
  void SetCountDrops(uint32_t flag);
  // Installs the handler of all events and the value passed back as its last argument. The handler
  // runs synchronously inside Feed and Finish and must not call Feed or Finish.
  void SetEventHandler(TsEventHandler handler, void* user) {
    handler_ = handler;
    user_ = user;
  }

  // Creates output `id` with a filter that passes everything. Returns 1 if created, 0 if it existed.
  int AddOutput(uint16_t id);
  // Sets the filter of output `id` (see OutputFilter::Set); nothing happens if the output does not exist.
  void SetOutputFilter(uint16_t id, uint32_t program_mode, const uint16_t* programs, uint32_t program_count,
                       uint32_t pid_mode, const uint16_t* pids, uint32_t pid_count);
  // all != 0: removes every output and creates output 0 again. all == 0: empties both sets of
  // output `id` (its modes stay); nothing if it does not exist.
  void ClearOutputFilter(uint16_t id, int all);
  // Copy of the filter of output `id`, or none. Any thread.
  std::optional<OutputFilter> GetOutputFilter(uint16_t id) const;
  // Ids of the existing outputs, ascending. Any thread.
  std::vector<uint16_t> OutputIds() const;

  // Processes a chunk of any size. Bytes that do not yet make a whole packet (or, before
  // synchronisation, a 612-byte search window) wait for the next call. The packet size and the
  // counters live in `stats`: zeroing stats.packet_size makes the next call search again.
  void Feed(const uint8_t* data, int length, CaptureStats& stats);
  // Ends the stream: drains the decoder (if any) and emits EVENT_STREAM_RESET with count 1.
  void Finish(CaptureStats& stats);

  // Forgets everything learnt from the tables: PID kinds, continuity counters, section assembly,
  // PAT/PMT/NIT/SDT/EIT state and the event store; calls the decoder's Reset. Outputs, flags,
  // handler and the bytes waiting for alignment are kept. Processing thread.
  void ResetTables();
  // The stream broke off (the tuner was away): the bytes waiting for alignment are dropped, so a
  // packet torn by the break is never joined to the bytes after it, and the continuity of every
  // PID (also the drop count's) starts anew at its next packet. Processing thread.
  void BreakStream();

  // The programme events of the current transport stream. Any thread.
  EventStore& event_store() { return event_store_; }
  // Shorthands for the store queries (see EventStore). Any thread.
  std::optional<ProgrammeEvent> FindEventAt(uint16_t service_id, MjdTime t, int purge) {
    return event_store_.FindEventAt(service_id, t, purge);
  }
  std::optional<ProgrammeEvent> FindEventById(int network_id, int transport_stream_id, int service_id,
                                              int event_id) const {
    return event_store_.FindEventById(network_id, transport_stream_id, service_id, event_id);
  }

  // Processing-thread views for diagnostics and tests.
  PidKind pid_kind(uint16_t pid) const { return pid_kinds_[pid & 0x1FFF]; }
  uint16_t transport_stream_id() const { return pat_transport_stream_id_; }
  std::span<const ProgramListEntry> pat_programs() const { return pat_programs_; }
  // Packets that reached the packet stage (after the decoder), null packets included.
  uint64_t packet_count() const { return packet_count_; }
  const SectionAssembler& assembler() const { return assembler_; }

 private:
  // The outputs as the packet loop sees them: an immutable snapshot replaced on every change.
  struct OutputSet {
    std::vector<std::pair<uint16_t, OutputFilter>> outputs;  // ascending id
  };
  enum Handler : int { kNoTable = 0, kPat, kPmt, kNit, kSdt, kTime, kEit };
  class Sink;

  void Emit(uint32_t type, int32_t param, const void* data, uint32_t count) {
    if (runs_pending_) FlushRuns();
    if (handler_) handler_(type, param, static_cast<const uint8_t*>(data), count, user_);
  }
  // Hands on every run of packets still held (SetPacketRuns).
  void FlushRuns();
  // Hands on the run held for output `index` of the active set, if any.
  void FlushRun(size_t index);

  // Alignment stage: each aligned packet goes through the decoder (if any) to the packet stage.
  void OnAlignedPacket(const uint8_t* packet, uint32_t size, CaptureStats& stats);
  // Packet stage: cuts `length` bytes into units of the packet size and processes each.
  void PacketStage(const uint8_t* data, uint32_t length, CaptureStats& stats);
  void ProcessUnit(const uint8_t* unit, uint32_t size, CaptureStats& stats);
  void RouteToOutputs(const uint8_t* unit, uint16_t pid, uint32_t size);
  void RefreshOutputs();
  // Replaces the published output set with `next` (called with outputs_mutex_ held).
  void PublishOutputs(std::shared_ptr<const OutputSet> next);

  // Table handlers (tables/*.cpp): each parses one complete, CRC-checked section.
  void OnSection(int handler, const SectionHeader& h, const uint8_t* section, uint32_t length);
  void HandlePat(const SectionHeader& h, const uint8_t* section, uint32_t length);
  void HandlePmt(const SectionHeader& h, const uint8_t* section, uint32_t length);
  void HandleNit(const SectionHeader& h, const uint8_t* section, uint32_t length);
  void HandleSdt(const SectionHeader& h, const uint8_t* section, uint32_t length);
  void HandleTime(const SectionHeader& h, const uint8_t* section, uint32_t length);
  void HandleEit(const SectionHeader& h, const uint8_t* section, uint32_t length);
  // Records the section's version under its table, extension and section number. False when that
  // version was already taken in (the section is then skipped).
  static bool IsNewVersion(std::unordered_map<uint32_t, uint8_t>& versions, const SectionHeader& h);

  B25Decoder* decoder_;
  TsEventHandler handler_ = nullptr;
  void* user_ = nullptr;
  std::atomic<uint32_t> decode_psi_{0};
  std::atomic<uint32_t> process_epg_{0};
  uint32_t packet_events_ = 1;
  uint32_t packet_runs_ = 0;
  // SetPacketRuns: the bytes of the current Feed call (packets inside them may be held until its
  // end), and per output of the active set the run held: its first byte, its length and packet size.
  const uint8_t* feed_begin_ = nullptr;
  const uint8_t* feed_end_ = nullptr;
  struct Run {
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    uint32_t packet_size = 0;
  };
  std::vector<Run> runs_;
  bool runs_pending_ = false;

  // Input stage: the alignment, with the bytes that wait for a whole packet or search window.
  PacketAligner aligner_;
  // Packet stage: bytes of decoder output that wait for a whole unit (at most 1 MiB).
  std::vector<uint8_t> stage_;
  uint32_t stage_length_ = 0;

  // Per-PID state, indexed by PID: what the PAT says it carries, and the continuity_counter of its
  // last packet (0xFF = none yet). Two plain tables, so that a reset is two memsets.
  std::vector<PidKind> pid_kinds_;
  std::vector<uint8_t> last_cc_;
  SectionAssembler assembler_;
  std::unique_ptr<Sink> sink_;
  uint64_t packet_count_ = 0;
  // The drop count's checker (SetCountDrops); never reset, as `check` reads a file through.
  std::unique_ptr<PidChecker> drop_checker_;

  // Table state, forgotten by ResetTables.
  uint16_t pat_transport_stream_id_ = 0;
  uint8_t pat_version_ = 0;
  // Versions of the NIT (every table on the network PIDs) and SDT-actual sections taken in, per
  // table_id_extension<<16 | table_id<<8 | section_number: each section of a multi-section table
  // and each network's table is taken in once per version.
  std::unordered_map<uint32_t, uint8_t> nit_versions_;
  std::unordered_map<uint32_t, uint8_t> sdt_versions_;
  std::vector<ProgramListEntry> pat_programs_;
  std::map<uint16_t, uint8_t> pmt_versions_;            // program_number -> version_number
  std::unordered_map<uint32_t, uint8_t> eit_versions_;  // service_id<<16 | table_id<<8 | section_number
  EventStore event_store_;

  // Outputs: the published set under its mutex, and the processing thread's current copy.
  mutable std::mutex outputs_mutex_;
  std::shared_ptr<const OutputSet> outputs_;
  std::atomic<uint64_t> outputs_generation_{0};
  std::shared_ptr<const OutputSet> active_outputs_;
  uint64_t active_generation_ = ~uint64_t{0};
};

}  // namespace pelkan
