// Fuzz target: TsProcessor::Feed with PSI and EPG decoding on. The input is a recipe rather than
// the stream itself, so that random bytes become packets on the PSI/SI PIDs and sections with a
// correct CRC_32 (which random data would never pass): every table handler sees arbitrary bodies,
// and NIT, SDT, EIT and PMT sections with well-formed loops of the descriptors they read (network
// name, satellite delivery, service, short event, components), whose lengths now and then lie.
// The stream is fed in chunks of random sizes, sometimes through a decoder that returns garbage,
// while output filters change.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/capture_stats.h"
#include "base/crc32.h"
#include "ts/ts_processor.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Recipe {
 public:
  Recipe(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
  Bytes Take(size_t n) {
    Bytes b;
    while (n-- > 0 && pos_ < size_) b.push_back(data_[pos_++]);
    return b;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

constexpr uint16_t kPids[] = {0x0000, 0x0010, 0x0011, 0x0012, 0x0014, 0x0026, 0x0027,
                              0x01F0, 0x01F1, 0x0030, 0x0100, 0x1FFF, 0x0001};
constexpr uint8_t kTables[] = {0x00, 0x02, 0x40, 0x41, 0x7F, 0x42, 0x46, 0x4E,
                               0x4F, 0x50, 0x57, 0x58, 0x60, 0x70, 0x73};

uint16_t PickPid(Recipe& r) {
  return kPids[r.Byte() % (sizeof kPids / sizeof kPids[0])];
}

// Appends the section's section_length and CRC_32 to a section built up to the end of its body.
Bytes Sealed(Bytes s) {
  const size_t section_length = s.size() - 3 + 4;
  s[1] = static_cast<uint8_t>((s[1] & 0xF0) | ((section_length >> 8) & 0x0F));
  s[2] = static_cast<uint8_t>(section_length);
  const uint32_t crc = pelkan::Crc32Mpeg2(s.data(), s.size());
  for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<uint8_t>(crc >> shift));
  return s;
}

Bytes Section(Recipe& r) {
  const uint8_t table_id = kTables[r.Byte() % sizeof kTables];
  const bool long_form = r.Byte() & 1;
  Bytes body = r.Take(r.Byte() * 2u);
  Bytes s{table_id, static_cast<uint8_t>(long_form ? 0xB0 : 0x70), 0};
  if (long_form) {
    const uint16_t ext = r.Word();
    s.insert(s.end(), {static_cast<uint8_t>(ext >> 8), static_cast<uint8_t>(ext),
                       static_cast<uint8_t>(0xC1 | (r.Byte() & 0x3E)), r.Byte(), r.Byte()});
  }
  s.insert(s.end(), body.begin(), body.end());
  return Sealed(std::move(s));
}

// A PAT naming the fuzzed PIDs, so that PMT and NIT routing is reached.
Bytes Pat(Recipe& r) {
  Bytes s{
      0x00, 0xB0, 0, 0x00, static_cast<uint8_t>(r.Byte() & 3), static_cast<uint8_t>(0xC1 | (r.Byte() & 0x06)),
      0,    0};
  const int n = r.Byte() % 4;
  for (int i = 0; i < n; ++i) {
    const uint16_t program = r.Byte() % 3 == 0 ? 0 : r.Word();
    const uint16_t pid = PickPid(r);
    s.insert(s.end(), {static_cast<uint8_t>(program >> 8), static_cast<uint8_t>(program),
                       static_cast<uint8_t>(0xE0 | pid >> 8), static_cast<uint8_t>(pid)});
  }
  return Sealed(std::move(s));
}

void AddPacket(Bytes& out, uint32_t size, uint16_t pid, uint8_t flags, uint8_t cc, const Bytes& payload) {
  out.push_back(0x47);
  out.push_back(static_cast<uint8_t>((flags & 0xC0) | pid >> 8));
  out.push_back(static_cast<uint8_t>(pid));
  // flags: bits 7-6 TEI/PUSI, bits 5-4 adaptation_field_control, bits 3-2 scrambling control.
  out.push_back(static_cast<uint8_t>((flags & 0x0C) << 4 | (flags & 0x30) | (cc & 0x0F)));
  for (size_t i = 0; i < size - 4; ++i) out.push_back(i < payload.size() ? payload[i] : 0xFF);
}

// Packets carrying `section`, optionally with a fuzzed pointer_field and adaptation field.
void Packetise(Bytes& out, uint32_t size, uint16_t pid, const Bytes& section, Recipe& r, uint8_t* cc) {
  Bytes data{static_cast<uint8_t>(r.Byte() % 8 == 7 ? r.Byte() : 0)};
  data.insert(data.end(), section.begin(), section.end());
  for (size_t pos = 0; pos < data.size(); pos += 184) {
    const Bytes chunk(data.begin() + static_cast<long>(pos),
                      data.begin() + static_cast<long>(std::min(data.size(), pos + 184)));
    uint8_t flags = static_cast<uint8_t>((pos == 0 ? 0x40 : 0) | 0x10);
    if (r.Byte() % 16 == 15) flags = r.Byte();
    AddPacket(out, size, pid, flags, (*cc)++, chunk);
  }
}

void PutU16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

// A length-prefixed text of a descriptor: mostly as long as it says, sometimes not.
void PutText(Bytes& b, Recipe& r) {
  const Bytes text = r.Take(r.Byte() % 32);
  b.push_back(static_cast<uint8_t>(text.size() + (r.Byte() % 16 == 15 ? r.Byte() % 8 : 0)));
  b.insert(b.end(), text.begin(), text.end());
}

// One descriptor with a well-formed body for the tags the tables read (network name, satellite
// delivery, service, short event, component, audio component), or raw bytes.
void PutDescriptor(Bytes& b, Recipe& r) {
  static constexpr uint8_t kTags[] = {0x40, 0x43, 0x48, 0x4D, 0x50, 0xC4, 0x52, 0x09};
  const uint8_t pick = r.Byte();
  const uint8_t tag = pick < 0xF0 ? kTags[pick % sizeof kTags] : r.Byte();
  Bytes body;
  switch (tag) {
    case 0x40:
      body = r.Take(r.Byte() % 24);
      break;
    case 0x43:
      body = r.Take(11);
      break;
    case 0x48:
      body.push_back(r.Byte());  // service_type
      PutText(body, r);          // provider name
      PutText(body, r);          // service name
      break;
    case 0x4D:
      body = {'j', 'p', 'n'};
      PutText(body, r);  // event name
      PutText(body, r);  // text
      break;
    case 0x50:
    case 0xC4:
      body = r.Take(2 + r.Byte() % 8);
      break;
    default:
      body = r.Take(r.Byte() % 16);
      break;
  }
  b.push_back(tag);
  // Now and then the length disagrees with the body.
  b.push_back(static_cast<uint8_t>(body.size() + (r.Byte() % 16 == 15 ? r.Byte() % 4 : 0)));
  b.insert(b.end(), body.begin(), body.end());
}

// A descriptor loop with its 12-bit length (and four reserved bits) in front.
void PutDescriptorLoop(Bytes& b, Recipe& r) {
  Bytes loop;
  for (int n = r.Byte() % 4; n > 0; --n) PutDescriptor(loop, r);
  PutU16(b, static_cast<uint16_t>(0xF000 | (loop.size() & 0x0FFF)));
  b.insert(b.end(), loop.begin(), loop.end());
}

// Long-form section header up to last_section_number.
Bytes LongHeader(uint8_t table_id, uint16_t extension, Recipe& r) {
  Bytes s{table_id, 0xB0, 0};
  PutU16(s, extension);
  s.push_back(static_cast<uint8_t>(0xC1 | (r.Byte() & 0x3E)));
  s.push_back(0);
  s.push_back(0);
  return s;
}

// A NIT, SDT, EIT or PMT whose loops and descriptors are well formed, on the PID it travels on,
// after a PAT that routes the network PID 0x0010 and the PMT PID 0x0100.
void StructuredTable(Bytes& out, uint32_t packet_size, Recipe& r, uint8_t* cc) {
  const uint8_t kind = r.Byte() % 4;
  uint16_t pid = 0;
  Bytes s;
  // The PAT: program 0 names the network PID, program 1 the PMT PID. With it and a null packet
  // after the table, even a stream of nothing else has the packets to find its alignment.
  Bytes pat{0x00, 0xB0, 0, 0x00, 0x01, static_cast<uint8_t>(0xC1 | (r.Byte() & 0x3E)), 0, 0};
  pat.insert(pat.end(), {0x00, 0x00, 0xE0, 0x10, 0x00, 0x01, 0xE1, 0x00});
  Packetise(out, packet_size, 0, Sealed(pat), r, &cc[0]);
  switch (kind) {
    case 0:  // NIT: network descriptors, then transport streams with their descriptors
      pid = 0x0010;
      s = LongHeader(0x40, r.Word(), r);
      PutDescriptorLoop(s, r);
      {
        Bytes streams;
        for (int n = r.Byte() % 4; n > 0; --n) {
          PutU16(streams, r.Word());  // transport_stream_id
          PutU16(streams, r.Word());  // original_network_id
          PutDescriptorLoop(streams, r);
        }
        PutU16(s, static_cast<uint16_t>(0xF000 | (streams.size() & 0x0FFF)));
        s.insert(s.end(), streams.begin(), streams.end());
      }
      break;
    case 1:  // SDT: services with their descriptors
      pid = 0x0011;
      s = LongHeader(0x42, r.Word(), r);
      PutU16(s, r.Word());  // original_network_id
      s.push_back(0xFF);
      for (int n = r.Byte() % 4; n > 0; --n) {
        PutU16(s, r.Word());  // service_id
        s.push_back(r.Byte());
        PutDescriptorLoop(s, r);
      }
      break;
    case 2:  // EIT: events with their descriptors
      pid = (const uint16_t[]){0x0012, 0x0026, 0x0027}[r.Byte() % 3];
      s = LongHeader((const uint8_t[]){0x4E, 0x50, 0x60}[r.Byte() % 3], r.Word(), r);
      PutU16(s, r.Word());  // transport_stream_id
      PutU16(s, r.Word());  // original_network_id
      s.push_back(r.Byte());
      s.push_back(r.Byte());
      for (int n = r.Byte() % 4; n > 0; --n) {
        PutU16(s, r.Word());            // event_id
        const Bytes times = r.Take(8);  // start_time (5), duration (3)
        s.insert(s.end(), times.begin(), times.end());
        s.resize(s.size() + (8 - times.size()));
        PutDescriptorLoop(s, r);
      }
      break;
    default:  // PMT: program descriptors, then streams with theirs
      pid = 0x0100;
      s = LongHeader(0x02, 1, r);
      PutU16(s, static_cast<uint16_t>(0xE000 | (r.Word() & 0x1FFF)));  // PCR_PID
      PutDescriptorLoop(s, r);
      for (int n = r.Byte() % 4; n > 0; --n) {
        s.push_back(r.Byte());  // stream_type
        PutU16(s, static_cast<uint16_t>(0xE000 | (r.Word() & 0x1FFF)));
        PutDescriptorLoop(s, r);
      }
      break;
  }
  Packetise(out, packet_size, pid, Sealed(s), r, &cc[pid & 15]);
  AddPacket(out, packet_size, 0x1FFF, 0x10, 0, {});
}

// A decoder that passes packets, holds them back, drops them or returns garbage, from the recipe.
class GarbageDecoder final : public pelkan::B25Decoder {
 public:
  explicit GarbageDecoder(Bytes script) : script_(std::move(script)) {}
  int Initialize(int) override { return 1; }
  void Release() override {}
  int Decode(const uint8_t* data, int length, uint8_t** out, int* out_length) override {
    const uint8_t op = script_.empty() ? 0 : script_[step_++ % script_.size()];
    held_.insert(held_.end(), data, data + length);
    switch (op % 5) {
      case 0:  // everything held so far
        out_ = held_;
        held_.clear();
        break;
      case 1:  // keep holding
        return 1;
      case 2:  // refuse
        return 0;
      case 3:  // garbage of a random length
        out_.assign(static_cast<size_t>(op) * 3, static_cast<uint8_t>(op));
        if (!out_.empty()) out_[0] = 0x47;
        break;
      default:  // the packet shifted by a byte
        out_.assign(data + (length > 1 ? 1 : 0), data + length);
        break;
    }
    *out = out_.data();
    *out_length = static_cast<int>(out_.size());
    return 1;
  }
  int Flush(uint8_t** out, int* out_length) override {
    out_ = held_;
    held_.clear();
    *out = out_.data();
    *out_length = static_cast<int>(out_.size());
    return !out_.empty();
  }
  void Reset() override { held_.clear(); }

 private:
  Bytes script_;
  size_t step_ = 0;
  Bytes held_;
  Bytes out_;
};

void Handler(uint32_t type, int32_t param, const uint8_t* data, uint32_t count, void* user) {
  auto* proc = static_cast<pelkan::TsProcessor*>(user);
  // Touch every payload byte the protocol promises, so that the sanitizer checks its extent.
  volatile uint8_t sink = 0;
  size_t size = 0;
  switch (type) {
    case pelkan::EVENT_PACKET:
      size = count;
      break;
    case pelkan::EVENT_PROGRAM_LIST:
      size = count * sizeof(pelkan::ProgramListEntry);
      break;
    case pelkan::EVENT_COMPONENT_LIST:
      size = count * sizeof(pelkan::ComponentEntry);
      break;
    case pelkan::EVENT_NETWORK_NAME:
      size = std::strlen(reinterpret_cast<const char*>(data)) + 1;
      break;
    case pelkan::EVENT_SATELLITE_DELIVERY:
      size = sizeof(pelkan::SatelliteDelivery);
      break;
    case pelkan::EVENT_BROADCAST_TIME:
      size = sizeof(pelkan::BroadcastTime);
      break;
    case pelkan::EVENT_SERVICE_NAME: {
      pelkan::ServiceNames n;
      std::memcpy(&n, data, sizeof n);
      if (strnlen(n.service_name, sizeof n.service_name) >= sizeof n.service_name) __builtin_trap();
      if (strnlen(n.provider_name, sizeof n.provider_name) >= sizeof n.provider_name) __builtin_trap();
      break;
    }
    default:
      break;
  }
  for (size_t i = 0; i < size; ++i) sink = sink + data[i];
  if (type == pelkan::EVENT_PACKET && param == 1 && count > 0 && data[count - 1] == 0x5A) {
    const uint16_t pid = static_cast<uint16_t>(data[2]);
    proc->SetOutputFilter(1, data[3] & 1, &pid, 1, data[3] & 2, &pid, 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Recipe r(data, size);
  const uint32_t packet_size = (const uint32_t[]){188, 192, 204}[r.Byte() % 3];
  const uint8_t mode = r.Byte();
  Bytes decoder_script = (mode & 1) ? r.Take(8) : Bytes{};
  GarbageDecoder decoder(decoder_script);
  pelkan::TsProcessor proc((mode & 1) ? &decoder : nullptr);
  proc.SetDecodePsi(1);
  proc.SetProcessEpg(1);
  proc.AddOutput(1);
  proc.SetEventHandler(Handler, &proc);

  Bytes stream;
  uint8_t cc[16] = {};
  for (int ops = 0; !r.empty() && ops < 64; ++ops) {
    const uint8_t op = r.Byte();
    const uint16_t pid = PickPid(r);
    if (op >= 0xC0) {
      StructuredTable(stream, packet_size, r, cc);
      continue;
    }
    switch (op % 8) {
      case 0:
      case 1:
      case 2:
        Packetise(stream, packet_size, pid, Section(r), r, &cc[pid & 15]);
        break;
      case 3:
        Packetise(stream, packet_size, 0, Pat(r), r, &cc[0]);
        break;
      case 4:
        AddPacket(stream, packet_size, pid, r.Byte(), r.Byte(), r.Take(r.Byte()));
        break;
      case 5: {
        const Bytes garbage = r.Take(r.Byte() % 64);
        stream.insert(stream.end(), garbage.begin(), garbage.end());
        break;
      }
      case 6:
        AddPacket(stream, packet_size, 0x1FFF, r.Byte(), 0, {});
        break;
      default: {
        const uint16_t list[] = {r.Word(), pid, 0x0000};
        proc.SetOutputFilter(op & 1, r.Byte() & 1, list, r.Byte() % 4, r.Byte() & 1, list, r.Byte() % 4);
        if (op == 0xFF) proc.ClearOutputFilter(0, 1);
        break;
      }
    }
  }

  pelkan::CaptureStats stats;
  size_t pos = 0;
  uint32_t seed = mode;
  while (pos < stream.size()) {
    seed = seed * 1103515245u + 12345u;
    const size_t chunk = std::min<size_t>(stream.size() - pos, 1 + (seed >> 16) % 1500);
    proc.Feed(stream.data() + pos, static_cast<int>(chunk), stats);
    pos += chunk;
  }
  proc.Finish(stats);
  proc.FindEventAt(static_cast<uint16_t>(seed), {seed, seed % 86400}, 1);
  return 0;
}
