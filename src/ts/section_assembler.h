#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "ts/packet_header.h"

namespace pelkan {

// The fixed header fields of a PSI/SI section. The extension fields are 0 for a section whose
// section_syntax_indicator is 0.
struct SectionHeader {
  uint8_t table_id = 0;
  uint8_t section_syntax_indicator = 0;
  uint32_t section_length = 0;
  uint16_t table_id_extension = 0;
  uint8_t version_number = 0;
  uint8_t current_next_indicator = 0;
  uint8_t section_number = 0;
  uint8_t last_section_number = 0;

  // Offset of the section body: 8 with the long header, 3 without.
  uint32_t HeaderLength() const { return section_syntax_indicator ? 8 : 3; }
  // Bytes the whole section occupies.
  uint32_t TotalLength() const { return section_length + 3; }
};

// Receives the sections that SectionAssembler completes.
class SectionSink {
 public:
  // A complete section whose CRC_32 checked out: `section` holds `length` bytes from table_id on,
  // valid during the call. `handler` is the value passed to PushPayload for the packet.
  virtual void OnSection(int handler, const PacketHeader& packet, const SectionHeader& header,
                         const uint8_t* section, uint32_t length) = 0;

 protected:
  ~SectionSink() = default;
};

// Collects the payloads of the packets of each PID into sections of at most 4096 bytes and checks
// their CRC_32. Every section that a packet's bytes complete is handed over, in order, in the
// same call (the finished tail before the pointer_field's target, then each section after it);
// a section that is not complete yet waits for the next packet of the PID. Stuffing (0xFF where a
// table_id would be) ends the packet's sections: the PID waits for the next
// payload_unit_start_indicator. Processing thread only.
class SectionAssembler {
 public:
  static constexpr uint32_t kBufferSize = 4096;

  enum : int { kHandled = 0, kNeedMore = -2, kBadCrc = -3 };

  SectionAssembler();

  // Adds the 184 payload bytes of one packet of `header.pid` and hands a completed section to
  // `sink` with `handler`. Never reads outside payload[0, 184).
  void PushPayload(const PacketHeader& header, const uint8_t* payload, int handler, SectionSink& sink);

  // Returns every PID to idle with an empty buffer. Safe to call from inside OnSection: the packet
  // being assembled continues on the empty state.
  void Reset();

  // Inspection for tests: 1 while the PID collects a section, and the bytes it holds.
  int assembling(uint16_t pid) const;
  uint32_t buffered(uint16_t pid) const;

 private:
  struct PidState {
    int assembling = 0;
    uint32_t length = 0;
    std::unique_ptr<uint8_t[]> data;  // kBufferSize bytes, allocated on first use and kept
  };

  // The state of `pid`, created at its first packet. References stay valid (deque).
  PidState& State(uint16_t pid);
  const PidState* Find(uint16_t pid) const;
  // Appends as much of data as the 4096-byte buffer still takes.
  static void Put(PidState& s, const uint8_t* data, uint32_t length);
  // Hands the section at the start of the buffer to `sink` if it is complete and its CRC checks.
  int TryComplete(PidState& s, const PacketHeader& header, int handler, SectionSink& sink);
  // Runs TryComplete until more bytes are needed, stuffing is reached or a CRC fails (the last
  // two leave the PID idle).
  void CompleteAll(PidState& s, const PacketHeader& header, int handler, SectionSink& sink);

  // Only the few PIDs that carry sections get a state: slot_[pid] is its index + 1, 0 for none.
  std::vector<uint16_t> slot_;
  std::deque<PidState> states_;
  std::unique_ptr<uint8_t[]> scratch_;  // the completed section handed to the sink
};

}  // namespace pelkan
