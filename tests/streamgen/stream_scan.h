#pragma once

// A small, independent reader of generated streams for the tests: splits units into packets,
// checks sync bytes and continuity counters, and reassembles the sections of chosen PIDs with
// their CRC verdict. Written from the MPEG-2 systems layer, not from the generator's code.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/crc32.h"
#include "streamgen/test_scrambler.h"

namespace pelkan::streamgen::testing {

struct ScannedSection {
  uint16_t pid = 0;
  uint64_t packet = 0;  // index of the packet where the section started
  std::vector<uint8_t> bytes;
  bool crc_ok = false;

  uint8_t table_id() const { return bytes[0]; }
  uint16_t extension() const { return static_cast<uint16_t>(bytes[3] << 8 | bytes[4]); }
  uint8_t version() const { return (bytes[5] >> 1) & 0x1F; }
  uint8_t section_number() const { return bytes[6]; }
};

struct StreamScan {
  uint64_t packets = 0;
  uint64_t sync_errors = 0;
  uint64_t null_packets = 0;
  uint64_t scrambled_packets = 0;
  std::vector<uint64_t> cc_breaks;           // packet indices
  std::map<uint16_t, uint64_t> pid_packets;  // packets per PID
  std::vector<ScannedSection> sections;
};

class SectionAssembler {
 public:
  void Push(uint16_t pid, uint64_t packet, bool unit_start, const uint8_t* payload, size_t size,
            std::vector<ScannedSection>* out) {
    size_t pos = 0;
    if (unit_start) {
      if (size == 0) return;
      const size_t pointer = payload[0];
      pos = 1;
      if (collecting_ && pointer > 0 && pos + pointer <= size) {
        buffer_.insert(buffer_.end(), payload + pos, payload + pos + pointer);
        Drain(pid, out);
      }
      pos += pointer;
      buffer_.clear();
      collecting_ = pos < size;
      start_packet_ = packet;
    }
    if (!collecting_ || pos >= size) return;
    buffer_.insert(buffer_.end(), payload + pos, payload + size);
    Drain(pid, out);
  }

 private:
  void Drain(uint16_t pid, std::vector<ScannedSection>* out) {
    while (buffer_.size() >= 3 && buffer_[0] != 0xFF) {
      const size_t length = ((buffer_[1] & 0x0F) << 8 | buffer_[2]) + 3u;
      if (buffer_.size() < length) return;
      ScannedSection s;
      s.pid = pid;
      s.packet = start_packet_;
      s.bytes.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
      const bool has_crc = !(s.bytes[0] == 0x70 && (s.bytes[1] & 0x80) == 0);
      s.crc_ok = has_crc ? Crc32Mpeg2(s.bytes.data(), s.bytes.size()) == 0 : length == 8;
      out->push_back(std::move(s));
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
    }
    if (!buffer_.empty() && buffer_[0] == 0xFF) {
      buffer_.clear();
      collecting_ = false;
    }
  }

  std::vector<uint8_t> buffer_;
  bool collecting_ = false;
  uint64_t start_packet_ = 0;
};

// Scans `data` (units of `packet_size`); sections are collected for PIDs for which
// `section_pid` returns true. Scrambled packets are descrambled first.
inline StreamScan ScanStream(const std::vector<uint8_t>& data, size_t packet_size,
                             const std::function<bool(uint16_t)>& section_pid) {
  StreamScan scan;
  std::map<uint16_t, int> last_cc;
  std::map<uint16_t, SectionAssembler> assemblers;
  const size_t offset = packet_size == 192 ? 4 : 0;
  for (size_t at = 0; at + packet_size <= data.size(); at += packet_size, ++scan.packets) {
    std::vector<uint8_t> unit(data.begin() + static_cast<std::ptrdiff_t>(at),
                              data.begin() + static_cast<std::ptrdiff_t>(at + packet_size));
    const uint8_t* p = unit.data() + offset;
    if (p[0] != 0x47) {
      ++scan.sync_errors;
      continue;
    }
    const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
    ++scan.pid_packets[pid];
    if ((p[3] & 0xC0) != 0) {
      ++scan.scrambled_packets;
      RemoveTestScrambling(unit.data(), packet_size);
    }
    if (pid == 0x1FFF) {
      ++scan.null_packets;
      continue;
    }
    const int cc = p[3] & 0x0F;
    const bool has_payload = (p[3] & 0x10) != 0;
    auto it = last_cc.find(pid);
    if (it != last_cc.end()) {
      const int expected = has_payload ? (it->second + 1) & 0x0F : it->second;
      if (cc != expected) scan.cc_breaks.push_back(scan.packets);
    }
    last_cc[pid] = cc;
    if (!has_payload || !section_pid(pid)) continue;
    size_t pos = 4;
    if (p[3] & 0x20) pos += 1u + p[4];
    if (pos >= 188) continue;
    assemblers[pid].Push(pid, scan.packets, (p[1] & 0x40) != 0, p + pos, 188 - pos, &scan.sections);
  }
  return scan;
}

}  // namespace pelkan::streamgen::testing
