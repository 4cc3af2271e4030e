#include "streamgen/broadcast_generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "streamgen/programme_schedule.h"
#include "tests/streamgen/stream_scan.h"
#include "ts/arib_string.h"

namespace pelkan::streamgen {
namespace {

using testing::ScannedSection;
using testing::ScanStream;
using testing::StreamScan;

std::vector<uint8_t> Generate(BroadcastGenerator& g, double seconds) {
  const GeneratorOptions& o = g.Options();
  const size_t packets = static_cast<size_t>(seconds * static_cast<double>(o.bit_rate) / (8.0 * o.packet_size));
  std::vector<uint8_t> data(packets * o.packet_size);
  g.Read(data.data(), data.size());
  return data;
}

bool IsSiPid(uint16_t pid) { return pid < 0x0020 || (pid >= 0x01A0 && pid <= 0x01FF) || (pid & 0x0F) == 0x0C; }

StreamScan Scan(const BroadcastGenerator& g, const std::vector<uint8_t>& data) {
  return ScanStream(data, g.Options().packet_size, IsSiPid);
}

std::vector<const ScannedSection*> Tables(const StreamScan& scan, uint16_t pid, uint8_t table_id) {
  std::vector<const ScannedSection*> out;
  for (const ScannedSection& s : scan.sections) {
    if (s.pid == pid && s.table_id() == table_id) out.push_back(&s);
  }
  return out;
}

// Decodes broadcast text with the receiver's decoder into UTF-8, read as broadcast text.
std::string Text(const uint8_t* p, size_t n, uint32_t field = 256) {
  std::vector<char> out(field);
  DecodeAribString(p, static_cast<uint32_t>(n), out.data(), field);
  return platform::BroadcastToUtf8(out.data());
}

uint32_t Bcd(uint8_t b) { return (b >> 4) * 10u + (b & 0x0Fu); }

MjdTime ReadTime(const uint8_t* p) {
  return MjdTime{static_cast<uint32_t>(p[0] << 8 | p[1]), Bcd(p[2]) * 3600 + Bcd(p[3]) * 60 + Bcd(p[4])};
}

// Seconds-resolution clock at packet `n` of the stream.
MjdTime ClockAt(const GeneratorOptions& o, uint64_t n) {
  MjdTime t = o.start_time;
  AddSeconds(&t, static_cast<int64_t>(n * o.packet_size * 8 / o.bit_rate));
  return t;
}

struct ParsedEvent {
  uint16_t event_id;
  MjdTime start;
  uint32_t duration;
  std::string title;
  uint8_t video_type = 0, audio_type = 0;
};

std::vector<ParsedEvent> ParseEit(const ScannedSection& s) {
  std::vector<ParsedEvent> events;
  const std::vector<uint8_t>& b = s.bytes;
  size_t pos = 14;
  while (pos + 12 <= b.size() - 4) {
    ParsedEvent e;
    e.event_id = static_cast<uint16_t>(b[pos] << 8 | b[pos + 1]);
    e.start = ReadTime(&b[pos + 2]);
    e.duration = b[pos + 7] == 0xFF && b[pos + 8] == 0xFF && b[pos + 9] == 0xFF
                     ? 0xFFFFFFFFu
                     : Bcd(b[pos + 7]) * 3600 + Bcd(b[pos + 8]) * 60 + Bcd(b[pos + 9]);
    const size_t loop = (b[pos + 10] & 0x0F) << 8 | b[pos + 11];
    size_t d = pos + 12;
    while (d + 2 <= pos + 12 + loop) {
      const uint8_t tag = b[d], len = b[d + 1];
      if (tag == 0x4D) e.title = Text(&b[d + 6], b[d + 5], 81);
      if (tag == 0x50) e.video_type = b[d + 3];
      if (tag == 0xC4) e.audio_type = b[d + 3];
      d += 2u + len;
    }
    events.push_back(e);
    pos += 12 + loop;
  }
  return events;
}

GeneratorOptions Short(double change = -1) {
  GeneratorOptions o;
  o.channel_change_seconds = change;
  return o;
}

TEST(BroadcastGenerator, SameOptionsGiveTheSameBytes) {
  BroadcastGenerator a(Short()), b(Short());
  EXPECT_EQ(Generate(a, 1.5), Generate(b, 1.5));
  GeneratorOptions other = Short();
  other.seed = 99;
  BroadcastGenerator c(other), d(Short());
  EXPECT_NE(Generate(c, 1.5), Generate(d, 1.5));
}

TEST(BroadcastGenerator, ReadsOfAnySizeJoinIntoTheSameStream) {
  GeneratorOptions o;
  o.packet_size = 192;
  BroadcastGenerator whole(o), pieces(o);
  const std::vector<uint8_t> expected = Generate(whole, 0.5);
  std::vector<uint8_t> got(expected.size());
  size_t at = 0;
  const size_t sizes[] = {1, 7, 191, 192, 193, 4000, 65536};
  for (size_t i = 0; at < got.size(); ++i) {
    const size_t n = std::min(sizes[i % std::size(sizes)], got.size() - at);
    EXPECT_EQ(pieces.Read(got.data() + at, n), n);
    at += n;
  }
  EXPECT_EQ(got, expected);
  EXPECT_EQ(pieces.BytesProduced(), expected.size());
}

TEST(BroadcastGenerator, EveryPacketSizeKeepsItsSyncBytesAndClock) {
  for (uint32_t size : {188u, 192u, 204u}) {
    GeneratorOptions o;
    o.packet_size = size;
    BroadcastGenerator g(o);
    const std::vector<uint8_t> data = Generate(g, 2.0);
    const StreamScan scan = Scan(g, data);
    EXPECT_EQ(scan.sync_errors, 0u) << size;
    EXPECT_TRUE(scan.cc_breaks.empty()) << size;
    EXPECT_EQ(scan.packets, data.size() / size);
    // The clock follows the delivered bytes at the bit rate.
    EXPECT_EQ(g.ClockNow().seconds, ClockAt(o, scan.packets).seconds) << size;
    EXPECT_EQ(g.ClockNow().seconds, o.start_time.seconds + 1) << size;  // just short of 2 s
    if (size == 192) {
      // The arrival time stamps grow by one packet time (27 MHz) per packet.
      auto ats = [&data](size_t n) {
        return static_cast<uint32_t>(data[n * 192] << 24 | data[n * 192 + 1] << 16 | data[n * 192 + 2] << 8 |
                                     data[n * 192 + 3]) & 0x3FFFFFFF;
      };
      const uint32_t step = static_cast<uint32_t>(192ull * 8 * 27'000'000 / o.bit_rate);
      EXPECT_NEAR(static_cast<double>(ats(1001) - ats(1000)), step, 1.0);
    }
  }
}

TEST(BroadcastGenerator, SectionsCarryValidCrcsAndCountersNeverBreak) {
  BroadcastGenerator g(Short());
  const StreamScan scan = Scan(g, Generate(g, 3.0));
  EXPECT_EQ(scan.sync_errors, 0u);
  EXPECT_TRUE(scan.cc_breaks.empty());
  EXPECT_GT(scan.null_packets, 0u);
  EXPECT_EQ(scan.scrambled_packets, 0u);
  std::set<uint8_t> table_ids;
  for (const ScannedSection& s : scan.sections) {
    EXPECT_TRUE(s.crc_ok) << "pid " << s.pid << " table " << int(s.table_id());
    table_ids.insert(s.table_id());
  }
  for (uint8_t id : {0x00, 0x02, 0x40, 0x42, 0x70, 0x73, 0x4E, 0x50, 0x3B, 0x3C}) {
    EXPECT_TRUE(table_ids.count(id)) << "table_id " << int(id);
  }
}

TEST(BroadcastGenerator, PatAndPmtListWhatTheAccessorsSay) {
  GeneratorOptions o;
  o.service_count = 4;
  BroadcastGenerator g(o);
  const StreamScan scan = Scan(g, Generate(g, 0.5));
  const MultiplexInfo& mux = g.CurrentMultiplex();
  ASSERT_EQ(mux.services.size(), 4u);
  const auto pats = Tables(scan, 0x0000, 0x00);
  ASSERT_FALSE(pats.empty());
  const std::vector<uint8_t>& pat = pats[0]->bytes;
  EXPECT_EQ(pats[0]->extension(), mux.transport_stream_id);
  std::vector<std::pair<uint16_t, uint16_t>> entries;
  for (size_t i = 8; i + 4 <= pat.size() - 4; i += 4) {
    entries.emplace_back(pat[i] << 8 | pat[i + 1], (pat[i + 2] & 0x1F) << 8 | pat[i + 3]);
  }
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0], std::make_pair(uint16_t{0}, uint16_t{0x0010}));
  for (size_t i = 0; i < 4; ++i) {
    const ServiceInfo& s = mux.services[i];
    EXPECT_EQ(entries[i + 1], std::make_pair(s.service_id, s.pmt_pid));
    const auto pmts = Tables(scan, s.pmt_pid, 0x02);
    ASSERT_FALSE(pmts.empty());
    const std::vector<uint8_t>& pmt = pmts[0]->bytes;
    EXPECT_EQ(pmts[0]->extension(), s.service_id);
    EXPECT_EQ((pmt[8] & 0x1F) << 8 | pmt[9], s.pcr_pid);
    size_t pos = 12 + ((pmt[10] & 0x0F) << 8 | pmt[11]);
    std::vector<ComponentInfo> components;
    while (pos + 5 <= pmt.size() - 4) {
      ComponentInfo c;
      c.stream_type = pmt[pos];
      c.pid = static_cast<uint16_t>((pmt[pos + 1] & 0x1F) << 8 | pmt[pos + 2]);
      const size_t info = (pmt[pos + 3] & 0x0F) << 8 | pmt[pos + 4];
      if (info >= 3 && pmt[pos + 5] == 0x52) c.component_tag = pmt[pos + 7];
      components.push_back(c);
      pos += 5 + info;
    }
    ASSERT_EQ(components.size(), s.components.size());
    for (size_t c = 0; c < components.size(); ++c) {
      EXPECT_EQ(components[c].pid, s.components[c].pid);
      EXPECT_EQ(components[c].stream_type, s.components[c].stream_type);
      EXPECT_EQ(components[c].component_tag, s.components[c].component_tag);
    }
    std::set<uint8_t> types;
    for (const ComponentInfo& c : s.components) types.insert(c.stream_type);
    EXPECT_EQ(types, (std::set<uint8_t>{0x02, 0x0F, 0x06, 0x0D}));
  }
}

TEST(BroadcastGenerator, ServiceAndNetworkNamesDecodeToTheAccessorNames) {
  for (bool satellite : {false, true}) {
    GeneratorOptions o;
    o.satellite = satellite;
    BroadcastGenerator g(o);
    const StreamScan scan = Scan(g, Generate(g, 1.2));
    const MultiplexInfo& mux = g.CurrentMultiplex();

    const auto sdts = Tables(scan, 0x0011, 0x42);
    ASSERT_FALSE(sdts.empty());
    const std::vector<uint8_t>& sdt = sdts[0]->bytes;
    EXPECT_EQ((sdt[8] << 8 | sdt[9]), mux.original_network_id);
    size_t pos = 11, index = 0;
    while (pos + 5 <= sdt.size() - 4) {
      ASSERT_LT(index, mux.services.size());
      const ServiceInfo& s = mux.services[index++];
      EXPECT_EQ(sdt[pos] << 8 | sdt[pos + 1], s.service_id);
      const size_t loop = (sdt[pos + 3] & 0x0F) << 8 | sdt[pos + 4];
      const uint8_t* d = &sdt[pos + 5];
      ASSERT_EQ(d[0], 0x48);
      const uint8_t provider_len = d[3];
      const uint8_t name_len = d[4 + provider_len];
      // The receiver keeps 28 bytes of each name: the names are made to fit.
      EXPECT_EQ(Text(d + 4, provider_len, 30), s.provider);
      EXPECT_EQ(Text(d + 5 + provider_len, name_len, 30), s.name);
      pos += 5 + loop;
    }
    EXPECT_EQ(index, mux.services.size());

    const auto nits = Tables(scan, 0x0010, 0x40);
    ASSERT_FALSE(nits.empty());
    const std::vector<uint8_t>& nit = nits[0]->bytes;
    EXPECT_EQ(nits[0]->extension(), mux.network_id);
    ASSERT_EQ(nit[10], 0x40);
    EXPECT_EQ(Text(&nit[12], nit[11], 21), mux.network_name);
    const size_t net_len = (nit[8] & 0x0F) << 8 | nit[9];
    size_t ts = 10 + net_len + 2;
    EXPECT_EQ(nit[ts] << 8 | nit[ts + 1], mux.transport_stream_id);
    const size_t ts_len = (nit[ts + 4] & 0x0F) << 8 | nit[ts + 5];
    bool found_delivery = false;
    for (size_t d = ts + 6; d + 2 <= ts + 6 + ts_len; d += 2u + nit[d + 1]) {
      if (nit[d] != 0x43) continue;
      found_delivery = true;
      const uint8_t* b = &nit[d + 2];
      EXPECT_EQ(b[0], 0x01);  // 11.72748 GHz as BCD 01 17 27 48
      EXPECT_EQ(b[1], 0x17);
      EXPECT_EQ(b[2], 0x27);
      EXPECT_EQ(b[3], 0x48);
      EXPECT_EQ(b[4], 0x11);  // 110.0 degrees
      EXPECT_EQ(b[5], 0x00);
      EXPECT_EQ(b[6], 0x80 | 3 << 5 | 0x08);
      EXPECT_EQ(b[7], 0x02);  // 28.8600 Msymbol/s, FEC nibble last
      EXPECT_EQ(b[8], 0x88);
      EXPECT_EQ(b[9], 0x60);
      EXPECT_EQ(b[10], 0x0F);
    }
    EXPECT_EQ(found_delivery, satellite);
  }
}

TEST(BroadcastGenerator, TimeTablesCarryTheClockOfTheirPosition) {
  GeneratorOptions o;
  o.start_time = MjdTime{MjdFromDate(2026, 12, 31), 23 * 3600 + 59 * 60 + 57};  // crosses midnight
  BroadcastGenerator g(o);
  const StreamScan scan = Scan(g, Generate(g, 7.0));
  int tot = 0, tdt = 0;
  std::set<uint32_t> seconds;
  for (const ScannedSection& s : scan.sections) {
    if (s.pid != 0x0014) continue;
    ASSERT_TRUE(s.table_id() == 0x70 || s.table_id() == 0x73);
    (s.table_id() == 0x73 ? tot : tdt)++;
    const MjdTime t = ReadTime(&s.bytes[3]);
    const MjdTime expected = ClockAt(o, s.packet);
    EXPECT_EQ(t.date, expected.date);
    EXPECT_EQ(t.seconds, expected.seconds);
    seconds.insert(t.date * 86400 + t.seconds);
    if (s.table_id() == 0x73) {
      ASSERT_GE(s.bytes.size(), 10u + 15 + 4);
      EXPECT_EQ(s.bytes[10], 0x58);  // local_time_offset_descriptor
      EXPECT_EQ(std::string(s.bytes.begin() + 12, s.bytes.begin() + 15), "JPN");
    }
  }
  EXPECT_EQ(seconds.size(), 7u);  // one time table every second
  EXPECT_GE(tot, 2);
  EXPECT_GE(tdt, 4);
  EXPECT_EQ(g.ClockNow().date, MjdFromDate(2027, 1, 1));
  EXPECT_EQ(g.ClockNow().seconds, ClockAt(o, scan.packets).seconds);
  EXPECT_EQ(g.ClockNow().seconds, 3u);  // 23:59:57 + just short of 7 s
}

TEST(BroadcastGenerator, PcrsComeOftenAndFollowThePacketPosition) {
  BroadcastGenerator g(Short());
  const std::vector<uint8_t> data = Generate(g, 1.0);
  const uint16_t pcr_pid = g.CurrentMultiplex().services[0].pcr_pid;
  std::vector<std::pair<uint64_t, uint64_t>> pcrs;  // packet, 27 MHz value
  for (size_t n = 0; n < data.size() / 188; ++n) {
    const uint8_t* p = &data[n * 188];
    if (((p[1] & 0x1F) << 8 | p[2]) != pcr_pid || !(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10)) continue;
    const uint64_t base = uint64_t{p[6]} << 25 | uint64_t{p[7]} << 17 | uint64_t{p[8]} << 9 | uint64_t{p[9]} << 1 |
                          p[10] >> 7;
    pcrs.emplace_back(n, base * 300 + ((p[10] & 1) << 8 | p[11]));
  }
  ASSERT_GT(pcrs.size(), 20u);
  const double ticks_per_packet = 188.0 * 8 * 27e6 / static_cast<double>(g.Options().bit_rate);
  for (size_t i = 1; i < pcrs.size(); ++i) {
    const double gap = static_cast<double>(pcrs[i].second - pcrs[i - 1].second);
    EXPECT_LE(gap, 0.1 * 27e6);
    EXPECT_NEAR(gap, static_cast<double>(pcrs[i].first - pcrs[i - 1].first) * ticks_per_packet, 2.0);
  }
}

TEST(BroadcastGenerator, PresentFollowingChangesVersionWhenTheProgrammeChanges) {
  GeneratorOptions o;
  o.start_time = MjdTime{MjdFromDate(2026, 12, 7), 20 * 3600 + 59 * 60 + 58};  // 21:00:00 after 2 s
  BroadcastGenerator g(o);
  const StreamScan scan = Scan(g, Generate(g, 4.0));
  const ServiceInfo& service = g.CurrentMultiplex().services[0];
  std::map<uint8_t, std::vector<ParsedEvent>> present_by_version;
  for (const ScannedSection* s : Tables(scan, 0x0012, 0x4E)) {
    if (s->extension() != service.service_id || s->section_number() != 0) continue;
    const std::vector<ParsedEvent> events = ParseEit(*s);
    ASSERT_EQ(events.size(), 1u);
    present_by_version[s->version()] = events;
    // What the section says is what the generator says runs at that moment.
    const std::optional<ProgrammeInfo> on_air = g.ProgrammeAt(0, service.service_id, ClockAt(o, s->packet));
    ASSERT_TRUE(on_air);
    EXPECT_EQ(events[0].event_id, on_air->event_id);
    EXPECT_EQ(events[0].title, on_air->title);
    EXPECT_EQ(events[0].video_type, 0xB3);
    EXPECT_EQ(events[0].audio_type, 0x03);
  }
  ASSERT_EQ(present_by_version.size(), 2u);
  const ParsedEvent& before = present_by_version.begin()->second[0];
  const ParsedEvent& after = present_by_version.rbegin()->second[0];
  EXPECT_NE(before.event_id, after.event_id);
  EXPECT_EQ(after.start.seconds, 21u * 3600);
  const std::optional<ProgrammeInfo> now = g.CurrentProgramme(service.service_id);
  ASSERT_TRUE(now);
  EXPECT_EQ(now->event_id, after.event_id);
  EXPECT_EQ(now->title, after.title);
  EXPECT_FALSE(g.CurrentProgramme(4242));
}

TEST(BroadcastGenerator, ScheduleCoversTheNextDayWithoutGaps) {
  BroadcastGenerator g(Short());
  const StreamScan scan = Scan(g, Generate(g, 4.0));
  const MultiplexInfo& mux = g.CurrentMultiplex();
  const AbsTime now = ToAbs(g.Options().start_time);
  for (const ServiceInfo& s : mux.services) {
    std::map<uint32_t, ParsedEvent> by_start;
    for (const ScannedSection* sec : Tables(scan, 0x0012, 0x50)) {
      if (sec->extension() != s.service_id) continue;
      EXPECT_EQ(sec->section_number() % 8, 0);
      for (const ParsedEvent& e : ParseEit(*sec)) by_start[static_cast<uint32_t>(ToAbs(e.start) - now / 86400 * 86400)] = e;
    }
    ASSERT_FALSE(by_start.empty()) << s.service_id;
    AbsTime covered = 0;
    bool first = true;
    for (const auto& [rel, e] : by_start) {
      const AbsTime start = ToAbs(e.start);
      if (!first) {
        EXPECT_EQ(start, covered) << s.service_id;
      }
      first = false;
      ASSERT_NE(e.duration, 0xFFFFFFFFu);
      covered = start + e.duration;
      EXPECT_FALSE(e.title.empty());
    }
    EXPECT_LE(ToAbs(by_start.begin()->second.start), now);
    EXPECT_GE(covered, now + 86400);
  }
}

// The EIT schedule sections of PID 0x0012 in the first `seconds` of the stream (read in pieces, so
// that a minute of it is never held whole).
std::vector<ScannedSection> ScheduleSections(BroadcastGenerator& g, double seconds) {
  std::vector<uint8_t> eit;
  for (double done = 0; done < seconds; done += 1.0) {
    const std::vector<uint8_t> chunk = Generate(g, 1.0);
    for (size_t at = 0; at + 188 <= chunk.size(); at += 188) {
      if ((chunk[at + 1] & 0x1F) == 0 && chunk[at + 2] == 0x12)
        eit.insert(eit.end(), chunk.begin() + static_cast<std::ptrdiff_t>(at),
                   chunk.begin() + static_cast<std::ptrdiff_t>(at + 188));
    }
  }
  std::vector<ScannedSection> out;
  for (ScannedSection& s : ScanStream(eit, 188, [](uint16_t) { return true; }).sections) {
    if (s.table_id() >= 0x50 && s.table_id() <= 0x5F) out.push_back(std::move(s));
  }
  return out;
}

TEST(BroadcastGenerator, ScheduleOfEightDaysRepeatsWithinAMinute) {
  GeneratorOptions o;
  o.service_count = 4;  // the longest cycle
  BroadcastGenerator g(o);
  const AbsTime now = ToAbs(o.start_time);
  const AbsTime day0 = now / 86400 * 86400;
  const std::vector<ScannedSection> sections = ScheduleSections(g, 60.0);
  for (const ServiceInfo& s : g.CurrentMultiplex().services) {
    for (const uint8_t first_table : {0x50, 0x58}) {
      // Every section the layout fields announce, from the current segment on, has come.
      std::map<uint8_t, std::set<uint8_t>> seen;
      std::map<uint8_t, std::set<uint8_t>> wanted;
      std::map<uint32_t, ParsedEvent> by_start;
      for (const ScannedSection& sec : sections) {
        if (sec.extension() != s.service_id || sec.table_id() < first_table ||
            sec.table_id() > first_table + 7)
          continue;
        ASSERT_TRUE(sec.crc_ok);
        EXPECT_EQ(sec.bytes[13], first_table + 1) << "last_table_id";
        EXPECT_LE(sec.bytes.size(), 4096u);
        const uint8_t number = sec.section_number();
        const uint8_t segment_last = sec.bytes[12];
        EXPECT_EQ(segment_last / 8, number / 8);
        EXPECT_LE(number, segment_last);
        EXPECT_EQ(sec.bytes[7] / 8, 31) << "last_section_number lies in the last segment";
        seen[sec.table_id()].insert(number);
        for (uint32_t n = number / 8 * 8; n <= segment_last; ++n)
          wanted[sec.table_id()].insert(static_cast<uint8_t>(n));
        for (const ParsedEvent& e : ParseEit(sec)) {
          const AbsTime start = ToAbs(e.start);
          EXPECT_EQ((start - day0) / 10800 % 32, number / 8u)
              << "an event lies in the segment of its section";
          EXPECT_EQ((start - day0) / (4 * 86400), sec.table_id() - first_table);
          by_start[static_cast<uint32_t>(start - day0)] = e;
        }
      }
      EXPECT_EQ(seen, wanted) << s.service_id;
      const uint32_t first_segment = static_cast<uint32_t>((now - day0) / 10800);
      for (uint8_t t = 0; t < 2; ++t) {
        for (uint32_t seg = t == 0 ? first_segment : 0; seg < 32; ++seg)
          EXPECT_EQ(seen[static_cast<uint8_t>(first_table + t)].count(static_cast<uint8_t>(seg * 8)), 1u)
              << s.service_id << " table " << int(first_table + t) << " segment " << seg;
      }
      // The programmes follow each other without a gap over the eight days.
      ASSERT_FALSE(by_start.empty());
      AbsTime covered = ToAbs(by_start.begin()->second.start);
      EXPECT_LE(covered, now);
      for (const auto& [rel, e] : by_start) {
        EXPECT_EQ(ToAbs(e.start), covered) << s.service_id;
        covered = ToAbs(e.start) + e.duration;
      }
      EXPECT_GE(covered, day0 + 8 * 86400);
    }
  }
}

// A segment sent again after an overrun was announced shows the overrun, though the same segment
// went out just before it unchanged.
TEST(BroadcastGenerator, ScheduleSectionsShowAnOverrunFromItsAnnouncement) {
  const GeneratorOptions probe_options;
  const BroadcastGenerator probe(probe_options);
  const uint16_t sid = probe.CurrentMultiplex().services[0].service_id;
  const auto announced = [&](const BroadcastGenerator& g, AbsTime around, AbsTime as_of) {
    return g.ScheduleAt(0, sid, FromAbs(around - 7200), FromAbs(around + 7200), FromAbs(as_of));
  };
  const auto same = [](const std::vector<ProgrammeInfo>& a, const std::vector<ProgrammeInfo>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const ProgrammeInfo& x, const ProgrammeInfo& y) {
      return x.event_id == y.event_id && ToAbs(x.start) == ToAbs(y.start) && x.duration == y.duration;
    });
  };
  // The first announcement after the start (they fall half-way through a slot).
  AbsTime t = ToAbs(probe_options.start_time) / 900 * 900 + 900;
  while (same(announced(probe, t, t - 1), announced(probe, t, t))) t += 900;
  ASSERT_LT(t, ToAbs(probe_options.start_time) + 2 * 86400);

  GeneratorOptions o;
  o.start_time = FromAbs(t - 6);
  BroadcastGenerator g(o);
  const AbsTime day0 = t / 86400 * 86400;
  int before = 0;
  int after = 0;
  for (AbsTime second = t - 6; second < t + 6; ++second) {
    // A second of the stream at a time (a section cut by the seconds' border is left out).
    for (const ScannedSection& sec : Scan(g, Generate(g, 1.0)).sections) {
      if (sec.pid != 0x0012 || sec.extension() != sid || sec.table_id() != 0x50) continue;
      if (second + 2 >= t && second <= t + 1) continue;  // built on one side, sent on the other
      const std::vector<ProgrammeInfo> expected = announced(g, t, second);
      for (const ParsedEvent& e : ParseEit(sec)) {
        const auto it = std::find_if(expected.begin(), expected.end(),
                                     [&](const ProgrammeInfo& p) { return p.event_id == e.event_id; });
        if (it == expected.end()) continue;
        (second < t ? before : after) += (sec.section_number() / 8u == (t - day0) / 10800 % 32) ? 1 : 0;
        EXPECT_EQ(ToAbs(e.start), ToAbs(it->start)) << e.event_id << " sent at " << second - t;
        EXPECT_EQ(e.duration, it->duration) << e.event_id << " sent at " << second - t;
      }
    }
  }
  EXPECT_GT(before, 0);
  EXPECT_GT(after, 0);
}

TEST(ProgrammeSchedule, OverrunIsAnnouncedHalfWayAndPushesTheNextProgrammeBack) {
  const ProgrammeSchedule sched(1, 1024, 1800, true);
  uint64_t k = 30'000'000 / 1800;
  while (!sched.Overruns(k)) ++k;
  const AbsTime half = k * 1800 + 900;
  const ProgrammeInfo before = sched.Announced(k, half - 1, true);
  const ProgrammeInfo after = sched.Announced(k, half, true);
  EXPECT_EQ(before.duration, 1800u);
  EXPECT_EQ(after.duration, 2400u);
  EXPECT_NE(sched.PresentFollowingVersion(half - 1), sched.PresentFollowingVersion(half));
  EXPECT_NE(sched.ScheduleVersion(half - 1), sched.ScheduleVersion(half));
  EXPECT_EQ(ToAbs(sched.Announced(k + 1, half, true).start), (k + 1) * 1800 + 600);
  // During the overrun the programme is still on air.
  EXPECT_EQ(sched.IndexAt((k + 1) * 1800 + 599), k);
  EXPECT_EQ(sched.IndexAt((k + 1) * 1800 + 600), k + 1);
  EXPECT_EQ(sched.Final(k + 1).duration, 1200u + (sched.Overruns(k + 1) ? 600u : 0u));
}

TEST(ProgrammeSchedule, OpenEndedProgrammesHaveNoDurationInPresentFollowingOnly) {
  const ProgrammeSchedule sched(1, 1024, 1800, true);
  uint64_t k = 30'000'000 / 1800;
  while (!sched.OpenEnded(k)) ++k;
  EXPECT_EQ(sched.Announced(k, k * 1800, true).duration, 0xFFFFFFFFu);
  EXPECT_EQ(sched.Announced(k, k * 1800, false).duration, 1800u);
}

TEST(ProgrammeSchedule, VersionsChangeOnlyWithTheContent) {
  const ProgrammeSchedule sched(7, 1025, 900, true);
  const AbsTime start = 60'000ull * 86400;
  uint8_t pf = sched.PresentFollowingVersion(start);
  uint64_t k = sched.IndexAt(start);
  for (AbsTime t = start; t < start + 86400; t += 60) {
    const uint8_t v = sched.PresentFollowingVersion(t);
    const uint64_t now_k = sched.IndexAt(t);
    if (now_k == k && !(sched.Overruns(k) && t - 60 < k * 900 + 450 && t >= k * 900 + 450)) {
      EXPECT_EQ(v, pf) << t;
    } else {
      EXPECT_NE(v, pf) << t;
    }
    pf = v;
    k = now_k;
  }
}

TEST(BroadcastGenerator, InjectedFaultsShowWhereTheyWereAsked) {
  GeneratorOptions o;
  o.faults = {{5000, FaultKind::kBadSync}, {9000, FaultKind::kDropPacket}, {20000, FaultKind::kBadCrc}};
  BroadcastGenerator g(o);
  const std::vector<uint8_t> data = Generate(g, 3.0);
  const StreamScan scan = Scan(g, data);
  EXPECT_EQ(scan.sync_errors, 1u);
  EXPECT_EQ(data[5000 * 188], 0x48);
  // The dropped packet leaves a counter gap on its PID; the packet after the bad sync byte shows one
  // too (this reader skipped the damaged packet).
  ASSERT_EQ(scan.cc_breaks.size(), 2u);
  // The dropped packet ended a unit: the gap shows at the next unit start of its PID.
  const uint64_t gap = std::max(scan.cc_breaks[0], scan.cc_breaks[1]);
  EXPECT_GT(gap, 9000u);
  EXPECT_TRUE(data[gap * 188 + 1] & 0x40);
  int bad = 0;
  for (const ScannedSection& s : scan.sections) {
    if (!s.crc_ok) {
      ++bad;
      EXPECT_GE(s.packet, 20000u - 1);
    }
  }
  EXPECT_EQ(bad, 1);
  // The drop still takes its packet slot: the clock does not slip.
  EXPECT_EQ(g.PacketSlots(), data.size() / 188 + 1);
}

TEST(BroadcastGenerator, ScrambledServiceHasItsStreamsScrambled) {
  GeneratorOptions o;
  o.scrambled_service = 1025;
  BroadcastGenerator g(o);
  const std::vector<uint8_t> data = Generate(g, 1.0);
  const MultiplexInfo& mux = g.CurrentMultiplex();
  std::set<uint16_t> scrambled_pids;
  for (const ServiceInfo& s : mux.services) {
    EXPECT_EQ(s.scrambled, s.service_id == 1025);
    if (s.scrambled) {
      EXPECT_NE(s.ecm_pid, 0);
      for (const ComponentInfo& c : s.components) scrambled_pids.insert(c.pid);
    }
  }
  size_t scrambled = 0, restored_starts = 0;
  for (size_t n = 0; n < data.size() / 188; ++n) {
    std::array<uint8_t, 188> p;
    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(n * 188), 188, p.begin());
    const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
    const bool is_scrambled = (p[3] & 0xC0) == 0xC0;
    EXPECT_EQ(is_scrambled, scrambled_pids.count(pid) == 1) << pid;
    if (!is_scrambled) continue;
    ++scrambled;
    ASSERT_TRUE(RemoveTestScrambling(p.data(), 188));
    if ((p[1] & 0x40) && pid != mux.services[1].components[3].pid) {
      size_t pos = 4 + ((p[3] & 0x20) ? 1 + p[4] : 0);
      EXPECT_EQ(p[pos], 0);
      EXPECT_EQ(p[pos + 1], 0);
      EXPECT_EQ(p[pos + 2], 1);  // a PES start code under the scrambling
      ++restored_starts;
    }
  }
  EXPECT_GT(scrambled, 1000u);
  EXPECT_GT(restored_starts, 40u);
  const StreamScan scan = Scan(g, data);
  EXPECT_FALSE(Tables(scan, 0x0001, 0x01).empty());                    // CAT
  EXPECT_FALSE(Tables(scan, mux.services[1].ecm_pid, 0x82).empty());  // ECM
  for (const ScannedSection& s : scan.sections) EXPECT_TRUE(s.crc_ok);
}

TEST(BroadcastGenerator, ChannelChangeSwitchesTheTransportStream) {
  BroadcastGenerator g(Short(1.0));
  ASSERT_EQ(g.MultiplexCount(), 2);
  EXPECT_EQ(g.CurrentMultiplex().transport_stream_id, g.Multiplex(0).transport_stream_id);
  const StreamScan scan = Scan(g, Generate(g, 2.0));
  EXPECT_EQ(g.CurrentMultiplex().transport_stream_id, g.Multiplex(1).transport_stream_id);
  EXPECT_NE(g.Multiplex(0).transport_stream_id, g.Multiplex(1).transport_stream_id);
  const uint64_t change_packet = static_cast<uint64_t>(g.Options().bit_rate / (8 * 188));
  for (const ScannedSection* pat : Tables(scan, 0x0000, 0x00)) {
    const int expected = pat->packet < change_packet ? 0 : 1;
    EXPECT_EQ(pat->extension(), g.Multiplex(expected).transport_stream_id) << pat->packet;
  }
  std::set<uint16_t> sdt_ids;
  for (const ScannedSection* sdt : Tables(scan, 0x0011, 0x42)) sdt_ids.insert(sdt->extension());
  EXPECT_EQ(sdt_ids.size(), 2u);
  for (const ScannedSection& s : scan.sections) EXPECT_TRUE(s.crc_ok);
}

TEST(BroadcastGenerator, OptionsOutsideTheRangeAreRefusedOrReplaced) {
  GeneratorOptions o;
  EXPECT_EQ(CheckGeneratorOptions(o), "");
  o.packet_size = 200;
  EXPECT_NE(CheckGeneratorOptions(o), "");
  o = GeneratorOptions{};
  o.service_count = 5;
  EXPECT_NE(CheckGeneratorOptions(o), "");
  o = GeneratorOptions{};
  o.bit_rate = 2'000'000;
  EXPECT_NE(CheckGeneratorOptions(o).find("at least"), std::string::npos);
  o = GeneratorOptions{};
  o.scrambled_service = 1234;
  EXPECT_NE(CheckGeneratorOptions(o), "");
  o.scrambled_service = 1057;  // a service of the second transport stream is fine
  EXPECT_EQ(CheckGeneratorOptions(o), "");
  o = GeneratorOptions{};
  o.start_time.seconds = 90000;
  EXPECT_NE(CheckGeneratorOptions(o), "");

  GeneratorOptions bad;
  bad.packet_size = 7;
  bad.service_count = 0;
  bad.bit_rate = 1;
  bad.scrambled_service = 1;
  BroadcastGenerator g(bad);
  EXPECT_EQ(g.Options().packet_size, 188u);
  EXPECT_EQ(g.Options().service_count, 3);
  EXPECT_EQ(g.Options().bit_rate, GeneratorOptions{}.bit_rate);
  EXPECT_EQ(g.Options().scrambled_service, 0);
  uint8_t buf[188];
  EXPECT_EQ(g.Read(buf, sizeof buf), sizeof buf);
  EXPECT_EQ(buf[0], 0x47);
}

TEST(BroadcastGenerator, MachineClockStartsNearTheLocalTime) {
  GeneratorOptions o;
  o.use_machine_clock = true;
  const MjdTime before = UnpackMjdTime(LocalMjdTime());
  BroadcastGenerator g(o);
  const MjdTime start = g.Options().start_time;
  EXPECT_FALSE(g.Options().use_machine_clock);
  EXPECT_LE(ToAbs(before), ToAbs(start));
  EXPECT_LE(ToAbs(start) - ToAbs(before), 5u);
}

}  // namespace
}  // namespace pelkan::streamgen
