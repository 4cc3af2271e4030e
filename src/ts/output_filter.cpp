#include "ts/output_filter.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "base/crc32.h"

namespace pelkan {

void OutputFilter::Set(uint32_t program_mode, const uint16_t* programs, uint32_t program_count,
                       uint32_t pid_mode, const uint16_t* pids, uint32_t pid_count) {
  program_mode_ = program_mode;
  programs_.clear();
  if (programs && program_count > 0) programs_.insert(programs, programs + program_count);
  pid_mode_ = pid_mode;
  pids_.clear();
  pid_bits_.reset();
  if (pids && pid_count > 0) {
    pids_.insert(pids, pids + pid_count);
    for (uint16_t pid : pids_) {
      if (pid <= 0x1FFF) pid_bits_.set(pid);
    }
  }
}

void OutputFilter::ClearSets() {
  programs_.clear();
  pids_.clear();
  pid_bits_.reset();
}

void OutputFilter::RewritePat(uint8_t* packet, uint32_t length,
                              std::span<const ProgramListEntry> pat_programs) const {
  // The section lives in the 188 bytes of the TS packet proper; the extra bytes of 192/204-byte
  // packets (time stamp, parity) are never touched.
  if (length > 188) length = 188;
  if (programs_.empty() || length < 5) return;
  // Only a packet that starts a section carries the PAT header; continuation packets stay as they are.
  if (!(packet[1] & 0x40)) return;
  uint32_t pos = 4;
  if (packet[3] & 0x20) pos += 1u + packet[4];  // adaptation field
  if (pos >= length) return;
  pos += 1u + packet[pos];  // pointer_field
  uint32_t kept = 0;
  for (const ProgramListEntry& e : pat_programs) kept += KeepsProgram(e.program_number) ? 1 : 0;
  const uint64_t needed = 8 + 4ull * kept + 4;
  if (pos > length || needed > length - pos) return;

  uint8_t* section = packet + pos;
  uint8_t* entry = section + 8;
  for (const ProgramListEntry& e : pat_programs) {
    if (!KeepsProgram(e.program_number)) continue;
    entry[0] = static_cast<uint8_t>(e.program_number >> 8);
    entry[1] = static_cast<uint8_t>(e.program_number);
    entry[2] = static_cast<uint8_t>(0xE0 | ((e.pmt_pid >> 8) & 0x1F));
    entry[3] = static_cast<uint8_t>(e.pmt_pid);
    entry += 4;
  }
  const uint32_t section_length = 4 * kept + 9;
  section[1] = static_cast<uint8_t>(0xB0 | ((section_length >> 8) & 0x0F));
  section[2] = static_cast<uint8_t>(section_length);
  const uint32_t crc = Crc32Mpeg2(section, 8 + 4 * kept);
  entry[0] = static_cast<uint8_t>(crc >> 24);
  entry[1] = static_cast<uint8_t>(crc >> 16);
  entry[2] = static_cast<uint8_t>(crc >> 8);
  entry[3] = static_cast<uint8_t>(crc);
  // What followed the old section would otherwise read as the start of another section.
  uint8_t* end = entry + 4;
  std::memset(end, 0xFF, static_cast<size_t>(packet + length - end));
}

std::vector<uint16_t> PidsOfOtherServices(const std::map<uint16_t, std::vector<ComponentEntry>>& components,
                                          std::span<const uint16_t> kept) {
  std::vector<uint16_t> keep, other;
  for (const auto& [service, entries] : components) {
    const bool is_kept = std::find(kept.begin(), kept.end(), service) != kept.end();
    for (const ComponentEntry& e : entries) (is_kept ? keep : other).push_back(e.elementary_pid);
  }
  std::sort(keep.begin(), keep.end());
  std::sort(other.begin(), other.end());
  other.erase(std::unique(other.begin(), other.end()), other.end());
  std::vector<uint16_t> out;
  std::set_difference(other.begin(), other.end(), keep.begin(), keep.end(), std::back_inserter(out));
  return out;
}

void LimitToServices(OutputFilter& filter, std::span<const uint16_t> kept,
                     const std::map<uint16_t, std::vector<ComponentEntry>>& components,
                     std::span<const ProgramListEntry> pat_programs) {
  std::vector<uint16_t> excluded = PidsOfOtherServices(components, kept);
  auto is_kept = [&](uint16_t program) { return std::find(kept.begin(), kept.end(), program) != kept.end(); };
  for (const ProgramListEntry& p : pat_programs) {
    const bool shared = std::any_of(pat_programs.begin(), pat_programs.end(), [&](const ProgramListEntry& q) {
      return q.pmt_pid == p.pmt_pid && is_kept(q.program_number);
    });
    if (!is_kept(p.program_number) && !shared && p.pmt_pid != 0) excluded.push_back(p.pmt_pid);
  }
  // The PAT keeps only the kept programmes (mode 0); the listed PIDs are dropped (mode 1).
  filter.Set(0, kept.data(), static_cast<uint32_t>(kept.size()), 1, excluded.data(),
             static_cast<uint32_t>(excluded.size()));
}

}  // namespace pelkan
