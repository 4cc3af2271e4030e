#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ts/packet_header.h"
#include "ts/section_assembler.h"

namespace pelkan {

// What a PID carries, as the stream's own PAT and PMTs (or the fixed PIDs of the tables) tell.
enum class PidContent : uint8_t {
  kUnknown,
  kPat,
  kPmt,
  kNit,
  kSdt,
  kEit,
  kTot,
  kVideo,
  kAudio,
  kCaption,
  kData
};

// "PAT", "PMT", "NIT", "SDT", "EIT", "TOT", "video", "audio", "caption", "data"; "" when unknown.
const char* PidContentName(PidContent content);

// The counts of one PID (or of all of them).
struct PidCounts {
  uint64_t packets = 0;
  uint64_t drop = 0;       // packets missing, read from continuity_counter
  uint64_t error = 0;      // packets with transport_error_indicator
  uint64_t scrambled = 0;  // packets with transport_scrambling_control != 0
};

// One thing that happened at a packet, so that a user can find where a recording was damaged.
struct CheckEvent {
  enum class Kind : uint8_t { kDrop, kError, kScramblingStart, kScramblingEnd };
  Kind kind = Kind::kDrop;
  uint16_t pid = 0;
  uint8_t expected = 0;  // kDrop: the continuity_counter expected and the one found
  uint8_t found = 0;
  uint32_t missing = 0;  // kDrop: packets missing
  uint64_t offset = 0;   // byte offset of the packet in the checked stream
  uint32_t tick = 0;     // millisecond tick when it was checked (set by the feeder; 0 when not)
};

// Checks the packets of a transport stream, PID by PID (null packets, PID 0x1FFF, are left out):
// counts packets, drops, errors and scrambled packets, and keeps the first kMaxEvents events.
//
// Continuity: the first packet of a PID sets its counter; only packets with a payload advance it
// (others are not checked); one repeat of the previous counter is a permitted duplicate; a packet
// whose adaptation field has the discontinuity_indicator restarts the count; a packet with the
// error indicator counts as an error and still takes part in continuity; otherwise
// drop += (continuity_counter - expected) mod 16.
//
// What each PID carries comes from the PAT and PMTs among the checked packets themselves, so a
// file checked later gives the same table as the recording did. One thread at a time.
class PidChecker {
 public:
  static constexpr size_t kMaxEvents = 1000;

  PidChecker();
  ~PidChecker();
  PidChecker(const PidChecker&) = delete;
  PidChecker& operator=(const PidChecker&) = delete;

  // Checks one packet: `packet` holds at least 188 bytes starting with the sync byte (a 192- or
  // 204-byte packet's extra bytes are not looked at); `offset` is its place in the stream.
  inline void Check(const uint8_t* packet, uint64_t offset);

  // The PIDs seen, ascending, with their counts.
  std::vector<std::pair<uint16_t, PidCounts>> Pids() const;
  // The sums over all PIDs.
  PidCounts Totals() const;
  // Packets checked, null packets included.
  uint64_t packets_checked() const { return packets_checked_; }
  // Packets dropped so far, all PIDs (Totals().drop without the sum).
  uint64_t drops() const { return drops_; }
  PidContent Content(uint16_t pid) const { return content_[pid & 0x1FFF]; }
  // Programme numbers (service ids) of the PATs seen, ascending.
  std::vector<uint16_t> Services() const;

  // The stream broke off (the tuner was away): the next packet of each PID starts its count anew,
  // so the packets the break lost are not counted as drops.
  void RestartContinuity();

  // The first kMaxEvents events, in stream order, and how many there were in all.
  const std::vector<CheckEvent>& events() const { return events_; }
  uint64_t event_count() const { return event_count_; }
  // Sets the tick of events [first, end) from where their packets lie between two anchors: a
  // packet at `from_offset` was taken at `from_tick`, one at `to_offset` at `to_tick`.
  void StampEvents(size_t first, uint64_t from_offset, uint32_t from_tick, uint64_t to_offset,
                   uint32_t to_tick);

 private:
  struct PidState {
    PidCounts counts;
    uint8_t last_cc = kNoCounter;
    bool repeated = false;    // the last payload packet repeated its predecessor's counter
    bool scrambling = false;  // the last packet was scrambled
    bool seen = false;
  };
  static constexpr uint8_t kNoCounter = 0xFF;
  class TableSink;

  // Check for any packet; Check takes the common one itself.
  void CheckAny(const uint8_t* packet, uint64_t offset);
  void AddEvent(CheckEvent::Kind kind, uint16_t pid, uint64_t offset, uint8_t expected = 0, uint8_t found = 0,
                uint32_t missing = 0);
  void OnTable(int table, const SectionHeader& h, const uint8_t* section, uint32_t length);

  std::vector<PidState> pids_;
  std::vector<PidContent> content_;
  std::vector<uint16_t> services_;
  std::vector<CheckEvent> events_;
  uint64_t event_count_ = 0;
  uint64_t packets_checked_ = 0;
  uint64_t drops_ = 0;
  SectionAssembler assembler_;
  std::unique_ptr<TableSink> sink_;
};

// Inline, as it runs for every packet: the common packet (no error, scrambled as its predecessor,
// a payload whose counter follows on, on a PID whose tables are not read) only counts, whatever its
// adaptation field says (a discontinuity there changes nothing when the counter follows on).
void PidChecker::Check(const uint8_t* p, uint64_t offset) {
  const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
  PidState& s = pids_[pid];
  const uint8_t flags = p[3];
  const uint8_t cc = flags & 0x0F;
  const bool scrambled = (flags & 0xC0) != 0;
  if ((p[1] & 0x80) == 0 && (flags & 0x10) != 0 && scrambled == s.scrambling && s.last_cc != kNoCounter &&
      cc == ((s.last_cc + 1) & 0x0F) && pid != kNullPid && pid != 0x0000 &&
      content_[pid] != PidContent::kPmt) {
    ++packets_checked_;
    ++s.counts.packets;
    s.counts.scrambled += scrambled;
    s.repeated = false;
    s.last_cc = cc;
    return;
  }
  CheckAny(p, offset);
}

// The checker's table, one line per PID in PID order and a last line of totals, the numbers of a
// column aligned:
//   PID 0x0111  packets 66996  drop 18  error 5  scrambled 7  video
//   total       packets 70012  drop 18  error 5  scrambled 7
std::vector<std::string> PidTableLines(const PidChecker& checker);

}  // namespace pelkan
