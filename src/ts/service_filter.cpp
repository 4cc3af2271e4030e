#include "ts/service_filter.h"

#include <algorithm>
#include <cstring>

#include "base/crc32.h"

namespace pelkan {
namespace {

constexpr uint16_t kSdtPid = 0x0011;
constexpr uint8_t kSdtActual = 0x42;
constexpr uint8_t kSdtOther = 0x46;
// Bytes of an SDT section before its service loop, and of one service's fixed part.
constexpr size_t kSdtHeader = 11;
constexpr size_t kServiceHeader = 5;
// Longest section of the SDT PID (section_length is at most 1021 there).
constexpr size_t kMaxSection = 1024;

uint16_t PidOf(const uint8_t* ts) {
  return static_cast<uint16_t>((ts[1] & 0x1F) << 8 | ts[2]);
}

}  // namespace

void ServiceFilter::Limit(std::span<const uint16_t> kept,
                          const std::map<uint16_t, std::vector<ComponentEntry>>& components,
                          std::span<const ProgramListEntry> pat_programs) {
  kept_.assign(kept.begin(), kept.end());
  LimitToServices(filter_, kept, components, pat_programs);
}

std::span<const uint8_t> ServiceFilter::Pass(const uint8_t* data, uint32_t length,
                                             std::span<const ProgramListEntry> pat_programs) {
  const uint32_t offset = length == 192 ? 4 : 0;
  if (data == nullptr || (length != 188 && length != 192 && length != 204)) return {};
  const uint8_t* ts = data + offset;
  const uint16_t pid = PidOf(ts);
  if (!filter_.Passes(pid)) return {};
  if (pid == 0) {
    out_.assign(data, data + length);
    filter_.RewritePat(out_.data(), length, pat_programs);
    return out_;
  }
  if (pid != kSdtPid) return {data, length};
  out_.clear();
  const uint8_t control = (ts[3] >> 4) & 0x03;
  if ((control & 0x01) == 0) return {};  // no payload
  size_t payload = 4;
  if ((control & 0x02) != 0) payload += 1 + ts[4];
  if (payload >= 188) return {};
  const uint8_t* p = ts + payload;
  size_t n = 188 - payload;
  if ((ts[1] & 0x40) != 0) {
    // The bytes before the pointer's place end the section begun before; a new one starts there.
    const size_t pointer = std::min<size_t>(p[0], n - 1);
    if (in_section_) TakeSdtBytes(p + 1, pointer, data, length);
    in_section_ = true;
    section_.clear();
    TakeSdtBytes(p + 1 + pointer, n - 1 - pointer, data, length);
  } else if (in_section_) {
    TakeSdtBytes(p, n, data, length);
  }
  return out_;
}

void ServiceFilter::TakeSdtBytes(const uint8_t* bytes, size_t n, const uint8_t* packet, uint32_t length) {
  while (n > 0) {
    if (!in_section_) {
      if (bytes[0] == 0xFF) return;  // stuffing to the packet's end
      in_section_ = true;
      section_.clear();
    }
    size_t total = section_.size() >= 3 ? 3 + ((section_[1] & 0x0F) << 8 | section_[2]) : 3;
    const size_t k = std::min(n, total - section_.size());
    section_.insert(section_.end(), bytes, bytes + k);
    bytes += k;
    n -= k;
    if (section_.size() == 3) {
      total = 3 + ((section_[1] & 0x0F) << 8 | section_[2]);
      if (total > kMaxSection || total < kSdtHeader + 4) {
        in_section_ = false;  // no section of the SDT: dropped until the next start
        return;
      }
    }
    if (section_.size() == total) {
      SendSection(packet, length);
      in_section_ = false;
    }
  }
}

void ServiceFilter::SendSection(const uint8_t* packet, uint32_t length) {
  std::vector<uint8_t>& s = section_;
  if (Crc32Mpeg2(s.data(), s.size()) != 0) return;  // damaged: dropped as the processor does
  if (s[0] == kSdtOther) return;
  if (s[0] == kSdtActual) {
    std::vector<uint8_t> kept(s.begin(), s.begin() + kSdtHeader);
    for (size_t at = kSdtHeader; at + kServiceHeader <= s.size() - 4;) {
      const uint16_t service = static_cast<uint16_t>(s[at] << 8 | s[at + 1]);
      const size_t entry = kServiceHeader + ((s[at + 3] & 0x0F) << 8 | s[at + 4]);
      if (at + entry > s.size() - 4) return;  // an entry running past the section: dropped
      if (std::find(kept_.begin(), kept_.end(), service) != kept_.end()) {
        kept.insert(kept.end(), s.begin() + static_cast<std::ptrdiff_t>(at),
                    s.begin() + static_cast<std::ptrdiff_t>(at + entry));
      }
      at += entry;
    }
    const size_t section_length = kept.size() - 3 + 4;
    kept[1] = static_cast<uint8_t>((kept[1] & 0xF0) | (section_length >> 8));
    kept[2] = static_cast<uint8_t>(section_length);
    const uint32_t crc = Crc32Mpeg2(kept.data(), kept.size());
    for (int shift = 24; shift >= 0; shift -= 8) kept.push_back(static_cast<uint8_t>(crc >> shift));
    s = std::move(kept);
  }
  // The section in packets of its own: the first with the unit start and a pointer of 0, the
  // last stuffed with 0xFF; a 192-byte packet's time stamp and a 204-byte packet's trailer are
  // those of the packet that completed the section.
  const uint32_t offset = length == 192 ? 4 : 0;
  for (size_t done = 0, first = 1; done < s.size(); first = 0) {
    const size_t at = out_.size();
    out_.insert(out_.end(), packet, packet + length);
    uint8_t* ts = out_.data() + at + offset;
    ts[0] = 0x47;
    ts[1] = static_cast<uint8_t>((first != 0 ? 0x40 : 0x00) | (kSdtPid >> 8));
    ts[2] = static_cast<uint8_t>(kSdtPid);
    ts[3] = static_cast<uint8_t>(0x10 | continuity_);
    continuity_ = static_cast<uint8_t>((continuity_ + 1) & 0x0F);
    size_t pos = 4;
    if (first != 0) ts[pos++] = 0;
    const size_t k = std::min(s.size() - done, 188 - pos);
    std::memcpy(ts + pos, s.data() + done, k);
    std::memset(ts + pos + k, 0xFF, 188 - pos - k);
    done += k;
  }
}

}  // namespace pelkan
