#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "ts/output_filter.h"
#include "ts/ts_events.h"

namespace pelkan {

// What reaches an output limited to some services (a scheduled recording of one service, an HTTP
// service stream), so that a player lists those services alone: the PAT keeps only their
// programmes, the other programmes' PMTs and elementary streams are dropped, and the SDT of the
// stream keeps only their entries (the SDT of other streams is dropped). The SDT's sections are
// gathered across packets and sent again in packets of its own continuity.
// One per output, used by one thread at a time.
class ServiceFilter {
 public:
  // Limits the output to `kept` with the programmes' `components` and the stream's PAT
  // (`pat_programs`); called again whenever either changes.
  void Limit(std::span<const uint16_t> kept, const std::map<uint16_t, std::vector<ComponentEntry>>& components,
             std::span<const ProgramListEntry> pat_programs);
  const OutputFilter& filter() const { return filter_; }

  // One packet (188, 192 or 204 bytes) of the stream: what the output gets in its place, whole
  // packets of `length` bytes each. Empty when it is dropped (or held: a part of an SDT section);
  // else the packet itself, a copy with its PAT rewritten to `pat_programs`, or the SDT packets
  // made when a section was complete. Valid until the next call.
  std::span<const uint8_t> Pass(const uint8_t* data, uint32_t length, std::span<const ProgramListEntry> pat_programs);

 private:
  // Takes `n` bytes of the SDT's section stream.
  void TakeSdtBytes(const uint8_t* bytes, size_t n, const uint8_t* packet, uint32_t length);
  // A complete section of the SDT PID: the kept services' SDT goes out, another stream's does not.
  void SendSection(const uint8_t* packet, uint32_t length);

  OutputFilter filter_;
  std::vector<uint16_t> kept_;
  std::vector<uint8_t> section_;  // the SDT section being gathered
  bool in_section_ = false;
  uint8_t continuity_ = 0;  // of the SDT packets made
  std::vector<uint8_t> out_;
};

}  // namespace pelkan
