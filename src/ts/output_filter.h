#pragma once

#include <bitset>
#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <vector>

#include "ts/ts_events.h"

namespace pelkan {

// The filter of one processor output: which packets the output passes (a PID set with an
// include/exclude mode) and which programmes its PAT keeps (a program set with an include/exclude
// mode). A new filter passes every packet and leaves the PAT unchanged. Plain value type; the
// processor guards the copies it shares between threads.
class OutputFilter {
 public:
  // program_mode 0: the PAT keeps only the programmes listed; non-zero: all but those listed.
  // pid_mode 0: only the listed PIDs pass; non-zero: all but the listed PIDs pass.
  // A null list or a count of 0 leaves that set empty; duplicates collapse.
  void Set(uint32_t program_mode, const uint16_t* programs, uint32_t program_count, uint32_t pid_mode,
           const uint16_t* pids, uint32_t pid_count);
  // Empties both sets; both modes stay.
  void ClearSets();

  // True when a packet of this PID (0..0x1FFF) passes the output. An empty PID set passes all.
  bool Passes(uint16_t pid) const {
    if (pids_.empty()) return true;
    return pid_bits_[pid & 0x1FFF] == (pid_mode_ == 0);
  }

  // Rewrites, in place, the PAT section that starts in the PID-0 packet `packet` (length bytes):
  // the entries become those of `pat_programs` (in their order) that this output keeps, followed by
  // a fresh CRC_32 and 0xFF stuffing up to byte 188. Only packets that start a section are touched;
  // an adaptation field is skipped. When the rewritten section would not fit in the first 188 bytes,
  // the packet is left unchanged. Never writes outside packet[0, min(length, 188)).
  void RewritePat(uint8_t* packet, uint32_t length, std::span<const ProgramListEntry> pat_programs) const;

  uint32_t program_mode() const { return program_mode_; }
  uint32_t pid_mode() const { return pid_mode_; }
  const std::set<uint16_t>& programs() const { return programs_; }
  const std::set<uint16_t>& pids() const { return pids_; }

 private:
  bool KeepsProgram(uint16_t program_number) const {
    return programs_.contains(program_number) == (program_mode_ == 0);
  }

  uint32_t program_mode_ = 0;
  uint32_t pid_mode_ = 0;
  std::set<uint16_t> programs_;
  std::set<uint16_t> pids_;
  std::bitset<8192> pid_bits_;  // the 13-bit members of pids_, for the per-packet test
};

// The elementary PIDs of the services in `components` other than `kept` that no kept service
// uses, ascending: what an output limited to `kept` drops.
std::vector<uint16_t> PidsOfOtherServices(const std::map<uint16_t, std::vector<ComponentEntry>>& components,
                                          std::span<const uint16_t> kept);

// Sets `filter` to what an output limited to the services `kept` passes: its PAT keeps only those
// programmes and the elementary PIDs of the other services in `components` are dropped; so are
// the PMT PIDs of the other programmes of `pat_programs` (when given) that no kept one shares.
void LimitToServices(OutputFilter& filter, std::span<const uint16_t> kept,
                     const std::map<uint16_t, std::vector<ComponentEntry>>& components,
                     std::span<const ProgramListEntry> pat_programs = {});

}  // namespace pelkan
