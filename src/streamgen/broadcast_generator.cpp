#include "streamgen/broadcast_generator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <utility>

#include "streamgen/elementary_streams.h"
#include "streamgen/pes_cycle.h"
#include "streamgen/programme_descriptors.h"
#include "streamgen/programme_schedule.h"
#include "streamgen/schedule_section_cache.h"
#include "streamgen/si_tables.h"
#include "streamgen/test_scrambler.h"

namespace pelkan::streamgen {
namespace {

constexpr uint64_t k27MHz = 27'000'000;
constexpr uint64_t kGopTicks = 15ull * 3003 * 300;  // 15 frames at 29.97 Hz
constexpr uint64_t kAudioTicks = 1024ull * 27'000'000 / 48'000;  // one AAC frame at 48 kHz
constexpr uint64_t kCaptionTicks = 10 * k27MHz;
constexpr uint64_t kPtsDelay90 = 45'000;  // decoding 0.5 s after arrival
constexpr int kVideoWidth = 1440;
constexpr int kVideoHeight = 1080;
constexpr size_t kAudioFrameSize = 384;      // 144 kbit/s
constexpr size_t kAudioPacketsPerFrame = 3;  // PES of 398 bytes
constexpr double kAudioPacketsPerSecond = 48'000.0 / 1024 * kAudioPacketsPerFrame;
constexpr uint16_t kEmmPid = 0x01E0;
constexpr uint16_t kNullPid = 0x1FFF;
constexpr uint64_t kMinBitRate = 1'000'000;
constexpr uint64_t kMaxBitRate = 200'000'000;
constexpr double kGopSeconds = static_cast<double>(kGopTicks) / k27MHz;

using Packet = std::array<uint8_t, 188>;

// A table packet waiting for its slot; `ends_unit` marks the last packet of a section.
struct QueuedPacket {
  Packet bytes;
  bool ends_unit;
};

// Packets per second the tables take at most, for the rate plan.
double TablePacketsPerSecond(int services) { return 200.0 + 20.0 * services; }

// Smallest GOP (in packets) the coded pictures fit into.
size_t MinimumGopPackets() {
  static const size_t packets = [] {
    const size_t i = BuildMpeg2Picture(kVideoWidth, kVideoHeight, 0, true, 0).size() + 14;
    const size_t p = BuildMpeg2Picture(kVideoWidth, kVideoHeight, 0, false, 1).size() + 14;
    return (i + 175) / 176 + 14 * ((p + 175) / 176) + 2;
  }();
  return packets;
}

uint64_t MinimumBitRate(uint32_t packet_size, int services) {
  const double video = static_cast<double>(MinimumGopPackets()) / kGopSeconds;
  const double pps = services * (video + kAudioPacketsPerSecond + 1.0) + TablePacketsPerSecond(services);
  return static_cast<uint64_t>(std::ceil(pps / 0.95 * 8.0 * packet_size));
}

struct ServiceNaming {
  uint16_t id;
  const char* name;
};

struct MultiplexNaming {
  uint16_t transport_stream_id;
  uint16_t network_id;
  const char* network_name;
  const char* provider;
  uint32_t frequency;  // satellite, 10 kHz units
  ServiceNaming services[4];
};

constexpr MultiplexNaming kTerrestrial[2] = {
    {0x7FE8, 0x7FE8, "ペルカン放送", "ペルカン放送協会", 0,
     {{1024, "ペルカン総合テレビ"}, {1025, "ペルカン総合・サブ"}, {1032, "ペルカンＥテレ"},
      {1033, "ペルカン文化・芸術"}}},
    {0x7FE9, 0x7FE9, "みなと湾岸テレビ", "湾岸テレビ放送", 0,
     {{1056, "湾岸テレビ"}, {1057, "湾岸テレビ２"}, {1064, "湾岸ニュース２４"}, {1065, "湾岸テレビ３"}}},
};

constexpr MultiplexNaming kSatellite[2] = {
    {0x4010, 0x0004, "ＢＳデジタル", "ペルカン放送協会", 1172748,
     {{101, "ＢＳペルカン１"}, {102, "ＢＳペルカン２"}, {103, "ＢＳペルカンプレミアム"}, {104, "ＢＳペルカン４Ｋ"}}},
    {0x4031, 0x0004, "ＢＳデジタル", "ＢＳ湾岸", 1176584,
     {{141, "ＢＳ湾岸"}, {142, "ＢＳ湾岸２"}, {143, "ＢＳ湾岸シネマ"}, {144, "ＢＳ湾岸スポーツ"}}},
};

constexpr uint32_t kSlotSeconds[4] = {1800, 3600, 900, 1800};

MultiplexInfo DescribeMultiplex(const GeneratorOptions& o, int index) {
  const MultiplexNaming& n = o.satellite ? kSatellite[index] : kTerrestrial[index];
  MultiplexInfo m;
  m.transport_stream_id = n.transport_stream_id;
  m.original_network_id = n.network_id;
  m.network_id = n.network_id;
  m.network_name = n.network_name;
  m.satellite = o.satellite;
  if (o.satellite) {
    m.delivery.frequency = n.frequency;
    m.delivery.orbital_position = 1100;  // 110.0 degrees east
    m.delivery.east = true;
    m.delivery.polarisation = 3;         // right-hand circular
    m.delivery.modulation = 0x08;        // ISDB-S, see TMCC
    m.delivery.symbol_rate = 288600;     // 28.86 Msymbol/s
    m.delivery.fec_inner = 0xF;          // ISDB-S, see TMCC
  }
  for (int i = 0; i < o.service_count; ++i) {
    ServiceInfo s;
    s.service_id = n.services[i].id;
    s.name = n.services[i].name;
    s.provider = n.provider;
    s.pmt_pid = static_cast<uint16_t>(0x01F0 + i);
    const uint16_t base = static_cast<uint16_t>(0x0110 + 0x20 * i);
    s.pcr_pid = static_cast<uint16_t>(base + 1);
    s.components = {{static_cast<uint16_t>(base + 1), 0x02, 0x00},
                    {static_cast<uint16_t>(base + 2), 0x0F, 0x10},
                    {static_cast<uint16_t>(base + 8), 0x06, 0x30},
                    {static_cast<uint16_t>(base + 12), 0x0D, 0x40}};
    s.scrambled = o.scrambled_service != 0 && o.scrambled_service == s.service_id;
    if (s.scrambled) s.ecm_pid = static_cast<uint16_t>(0x01A0 + i);
    m.services.push_back(std::move(s));
  }
  return m;
}

bool ServiceExists(const GeneratorOptions& o, uint16_t service_id) {
  const MultiplexNaming* table = o.satellite ? kSatellite : kTerrestrial;
  const int count = std::clamp(o.service_count, 2, 4);
  for (int m = 0; m < 2; ++m) {
    for (int i = 0; i < count; ++i) {
      if (table[m].services[i].id == service_id) return true;
    }
  }
  return false;
}

// Why the programme changes of `o` cannot be played, or empty. Each names a generated service and
// an event id that occurs in it, once per kind, and leaves no programme shorter than a minute.
std::string ProgrammeChangesProblem(const GeneratorOptions& o) {
  const std::vector<ProgrammeChange>& changes = o.programme_changes;
  for (size_t i = 0; i < changes.size(); ++i) {
    const ProgrammeChange& c = changes[i];
    const std::string which = "event " + std::to_string(c.event_id) + " of service " + std::to_string(c.service_id);
    if (!ServiceExists(o, c.service_id)) {
      return "service " + std::to_string(c.service_id) + " of a programme change is not one of the generated services";
    }
    if (c.event_id == 0 || c.event_id == 0xFFFF) return "there is no " + which + " (event ids run from 1 to 65534)";
    for (size_t j = 0; j < i; ++j) {
      if (changes[j].kind == c.kind && changes[j].service_id == c.service_id && changes[j].event_id == c.event_id)
        return which + " has two " + ProgrammeChangeWord(c.kind) + " changes";
    }
  }
  if (changes.empty()) return {};
  const AbsTime reference = ToAbs(o.use_machine_clock ? UnpackMjdTime(LocalMjdTime()) : o.start_time);
  const MultiplexNaming* table = o.satellite ? kSatellite : kTerrestrial;
  for (int m = 0; m < 2; ++m) {
    for (int i = 0; i < std::clamp(o.service_count, 2, 4); ++i) {
      const ProgrammeSchedule schedule(o.seed, table[m].services[i].id, kSlotSeconds[i], true, changes, reference,
                                       false, o.late_from_shown_start);
      std::string problem = schedule.ChangeProblem();
      if (!problem.empty()) return problem;
    }
  }
  return {};
}

const char* const kCaptions[] = {
    "こんばんは。ニュースをお伝えします。",
    "（拍手）",
    "♪～",
    "では、現場から中継です。",
    "明日は全国的に晴れるでしょう。",
    "ありがとうございました。",
};

struct EsSource {
  const PesCycle* cycle = nullptr;
  uint64_t group = 0;   // cycles completed
  size_t index = 0;     // packet within the cycle
  uint64_t due = 0;     // 27 MHz time of the next packet
  uint8_t cc = 0;
  bool scrambled = false;
};

struct TableSource {
  uint64_t period = 0;
  uint64_t due = 0;
  std::function<void(uint64_t due)> emit;
};

// One unit of the EIT schedule: the sections of one 3-hour segment of one service, of the basic or
// the extended tables.
struct ScheduleUnit {
  size_t service = 0;
  bool extended = false;
  AbsTime segment_start = 0;
};

}  // namespace

std::string CheckGeneratorOptions(const GeneratorOptions& o) {
  if (o.packet_size != 188 && o.packet_size != 192 && o.packet_size != 204) {
    return "packet size must be 188, 192 or 204";
  }
  if (o.service_count < 2 || o.service_count > 4) return "service count must be 2 to 4";
  if (o.bit_rate > kMaxBitRate) return "bit rate must be at most 200000000 bit/s";
  const uint64_t minimum = std::max(kMinBitRate, MinimumBitRate(o.packet_size, o.service_count));
  if (o.bit_rate < minimum) {
    return "bit rate must be at least " + std::to_string(minimum) + " bit/s for " +
           std::to_string(o.service_count) + " services at this packet size";
  }
  if (!o.use_machine_clock && (o.start_time.date < 15079 || o.start_time.date > 0xFF00 ||
                               o.start_time.seconds >= 86400)) {
    return "start time must be a valid date and time";
  }
  if (std::isnan(o.channel_change_seconds) || o.channel_change_seconds > 1e9) {
    return "channel change time is out of range";
  }
  if (o.scrambled_service != 0 && !ServiceExists(o, o.scrambled_service)) {
    return "the scrambled service is not one of the generated services";
  }
  return ProgrammeChangesProblem(o);
}

// State of one transport stream: its services, tables, elementary streams and packet queue.
struct MuxState {
  int index = 0;
  MultiplexInfo info;
  std::vector<ProgrammeSchedule> schedules;
  std::vector<ProgrammeDescriptors> descriptors;  // per service
  std::vector<PesCycle> cycles;
  std::vector<EsSource> es;
  std::vector<TableSource> tables;
  std::array<uint8_t, 8192> cc{};
  std::vector<QueuedPacket> queue;
  size_t head = 0;
  uint64_t origin27 = 0;
  uint64_t pcr_offset27 = 0;
  uint64_t pts_base90 = 0;
  uint64_t next_table_due = 0;
  size_t schedule_cursor = 0;
  std::vector<ScheduleUnit> schedule_cycle;
  size_t schedule_cycle_at = 0;
  ScheduleSectionCache sections;
};

class BroadcastGenerator::Impl {
 public:
  explicit Impl(const GeneratorOptions& options);

  size_t Read(uint8_t* dst, size_t len);
  AbsTime AbsNow() const { return start_abs_ + now27_ / k27MHz; }
  const MuxState& Active() const { return *muxes_[active_]; }
  const ProgrammeSchedule* Schedule(const MuxState& m, uint16_t service_id) const;

  GeneratorOptions options_;
  AbsTime start_abs_ = 0;
  std::vector<std::unique_ptr<MuxState>> muxes_;
  int active_ = 0;
  uint64_t change27_ = std::numeric_limits<uint64_t>::max();
  uint64_t slots_ = 0;
  uint64_t bytes_ = 0;
  uint64_t now27_ = 0;

 private:
  void BuildMux(int index, uint64_t origin27);
  void AddTables(MuxState& m);
  void QueueSection(MuxState& m, uint16_t pid, const std::vector<uint8_t>& section, bool scramble);
  void RunTables(MuxState& m);
  // Sends the next packet of `s`; returns true when it is the last packet of its PES.
  bool EmitEs(EsSource& s, const MuxState& m, uint8_t* p);
  bool NextUnit(uint8_t* out);
  void Advance();
  void QueueScheduleUnit(MuxState& m, const ScheduleUnit& unit, AbsTime now);

  uint32_t packet_size_ = 188;
  uint64_t step_q_ = 0, step_r_ = 0, rem_ = 0;
  std::array<uint8_t, 204> unit_{};
  size_t unit_pos_ = 204;
  std::vector<Fault> faults_;
  size_t next_fault_ = 0;
  bool drop_pending_ = false;
  bool crc_pending_ = false;
  Packet null_packet_{};
};

BroadcastGenerator::Impl::Impl(const GeneratorOptions& options) : options_(options) {
  const GeneratorOptions defaults;
  GeneratorOptions& o = options_;
  if (o.packet_size != 188 && o.packet_size != 192 && o.packet_size != 204) o.packet_size = defaults.packet_size;
  if (o.service_count < 2 || o.service_count > 4) o.service_count = defaults.service_count;
  if (o.use_machine_clock) {
    o.start_time = UnpackMjdTime(LocalMjdTime());
    o.use_machine_clock = false;
  }
  if (o.start_time.date < 15079 || o.start_time.date > 0xFF00 || o.start_time.seconds >= 86400) {
    o.start_time = defaults.start_time;
  }
  if (o.scrambled_service != 0 && !ServiceExists(o, o.scrambled_service)) o.scrambled_service = 0;
  if (std::isnan(o.channel_change_seconds) || o.channel_change_seconds > 1e9) o.channel_change_seconds = -1;
  if (!ProgrammeChangesProblem(o).empty()) o.programme_changes.clear();
  if (o.bit_rate > kMaxBitRate || o.bit_rate < std::max(kMinBitRate, MinimumBitRate(o.packet_size, o.service_count))) {
    o.bit_rate = std::max(defaults.bit_rate, MinimumBitRate(o.packet_size, o.service_count));
  }
  packet_size_ = o.packet_size;
  start_abs_ = ToAbs(o.start_time);
  const uint64_t step = uint64_t{packet_size_} * 8 * k27MHz;
  step_q_ = step / o.bit_rate;
  step_r_ = step % o.bit_rate;

  faults_ = o.faults;
  std::stable_sort(faults_.begin(), faults_.end(),
                   [](const Fault& a, const Fault& b) { return a.packet < b.packet; });

  null_packet_.fill(0xFF);
  null_packet_[0] = 0x47;
  null_packet_[1] = kNullPid >> 8;
  null_packet_[2] = kNullPid & 0xFF;
  null_packet_[3] = 0x10;

  BuildMux(0, 0);
  if (o.channel_change_seconds >= 0) {
    change27_ = static_cast<uint64_t>(o.channel_change_seconds * k27MHz);
    BuildMux(1, change27_);
  }
}

const ProgrammeSchedule* BroadcastGenerator::Impl::Schedule(const MuxState& m, uint16_t service_id) const {
  for (size_t i = 0; i < m.info.services.size(); ++i) {
    if (m.info.services[i].service_id == service_id) return &m.schedules[i];
  }
  return nullptr;
}

void BroadcastGenerator::Impl::BuildMux(int index, uint64_t origin27) {
  auto m = std::make_unique<MuxState>();
  m->index = index;
  m->info = DescribeMultiplex(options_, index);
  m->origin27 = origin27;
  // The programme clock reference starts from the time of day, as an encoder's would.
  m->pcr_offset27 = (uint64_t{options_.start_time.seconds} * k27MHz + uint64_t(index) * 1'234'567'890) %
                    ((uint64_t{1} << 33) * 300);
  m->pts_base90 = (origin27 + m->pcr_offset27) / 300 + kPtsDelay90;

  const int services = static_cast<int>(m->info.services.size());
  const double slots_per_second = static_cast<double>(options_.bit_rate) / (8.0 * packet_size_);
  const double video_pps = (slots_per_second * 0.95 - TablePacketsPerSecond(services)) / services -
                           kAudioPacketsPerSecond - 1.0;
  const size_t gop_packets = static_cast<size_t>(std::max(0.0, video_pps * kGopSeconds));
  const uint32_t video_rate = static_cast<uint32_t>(std::max(0.0, video_pps * 188 * 8));
  const size_t pcr_every = std::max<size_t>(1, static_cast<size_t>(0.030 / kGopSeconds * static_cast<double>(gop_packets)));

  std::vector<AccessUnit> gop;
  for (int f = 0; f < 15; ++f) {
    gop.push_back({BuildMpeg2Picture(kVideoWidth, kVideoHeight, video_rate, f == 0, f),
                   static_cast<uint32_t>(f * 3003)});
  }
  const std::vector<AccessUnit> audio = {{BuildAdtsSilence(kAudioFrameSize), 0}};

  m->descriptors.resize(static_cast<size_t>(services));
  m->cycles.reserve(static_cast<size_t>(services) * 3);
  for (int i = 0; i < services; ++i) {
    const ServiceInfo& s = m->info.services[static_cast<size_t>(i)];
    // The first service of the first multiplex carries the series.
    m->schedules.emplace_back(options_.seed, s.service_id, kSlotSeconds[i], true, options_.programme_changes,
                              start_abs_, index == 0 && i == 0, options_.late_from_shown_start);
    std::vector<AccessUnit> captions;
    captions.push_back({BuildCaptionManagement(), 0});
    for (uint32_t c = 1; c < 10; ++c) {
      const char* text = kCaptions[(options_.seed + s.service_id + c) % std::size(kCaptions)];
      captions.push_back({BuildCaptionStatement(text), c * 90'000});
    }
    m->cycles.push_back(BuildVideoCycle(s.components[0].pid, gop, kGopTicks, gop_packets, pcr_every));
    m->cycles.push_back(BuildPesCycle(s.components[1].pid, 0xC0, audio, kAudioTicks));
    m->cycles.push_back(BuildPesCycle(s.components[2].pid, 0xBD, captions, kCaptionTicks));
  }
  for (size_t c = 0; c < m->cycles.size(); ++c) {
    EsSource s;
    s.cycle = &m->cycles[c];
    s.due = origin27;
    s.scrambled = m->info.services[c / 3].scrambled;
    m->es.push_back(s);
  }
  AddTables(*m);
  muxes_.push_back(std::move(m));
}

void BroadcastGenerator::Impl::QueueScheduleUnit(MuxState& m, const ScheduleUnit& unit, AbsTime now) {
  const size_t i = unit.service;
  const auto& sections =
      m.sections.Sections(m.info, i, m.schedules[i], m.descriptors[i], unit.extended, unit.segment_start, now);
  for (const std::vector<uint8_t>& section : sections) QueueSection(m, 0x0012, section, false);
}

void BroadcastGenerator::Impl::AddTables(MuxState& m) {
  const uint64_t ms = k27MHz / 1000;
  const uint64_t origin = m.origin27;
  auto add = [&m, origin](uint64_t period, uint64_t offset, std::function<void(uint64_t)> emit) {
    m.tables.push_back({period, origin + offset, std::move(emit)});
  };
  MuxState* mp = &m;

  const std::vector<uint8_t> pat = BuildPat(m.info);
  add(100 * ms, 0, [this, mp, pat](uint64_t) { QueueSection(*mp, 0x0000, pat, false); });
  bool any_scrambled = false;
  for (const ServiceInfo& s : m.info.services) any_scrambled |= s.scrambled;
  if (any_scrambled) {
    const std::vector<uint8_t> cat = BuildCat(kEmmPid);
    add(1000 * ms, 0, [this, mp, cat](uint64_t) { QueueSection(*mp, 0x0001, cat, false); });
  }
  for (const ServiceInfo& s : m.info.services) {
    const std::vector<uint8_t> pmt = BuildPmt(s);
    const uint16_t pid = s.pmt_pid;
    add(100 * ms, 0, [this, mp, pmt, pid](uint64_t) { QueueSection(*mp, pid, pmt, false); });
  }
  const std::vector<uint8_t> nit = BuildNit(m.info);
  add(1000 * ms, 0, [this, mp, nit](uint64_t) { QueueSection(*mp, 0x0010, nit, false); });
  const std::vector<uint8_t> sdt = BuildSdt(m.info);
  add(1000 * ms, 0, [this, mp, sdt](uint64_t) { QueueSection(*mp, 0x0011, sdt, false); });

  // Time tables on every whole second of the clock: a TOT every fifth second, a TDT between.
  const uint64_t first_second = (origin + k27MHz - 1) / k27MHz * k27MHz;
  add(k27MHz, first_second - origin, [this, mp, first_second](uint64_t due) {
    const uint64_t second = due / k27MHz;
    const MjdTime jst = FromAbs(start_abs_ + second);
    const bool tot = due == first_second || second % 5 == 0;
    QueueSection(*mp, 0x0014, tot ? BuildTot(jst) : BuildTdt(jst), false);
  });

  for (size_t i = 0; i < m.info.services.size(); ++i) {
    add(1000 * ms, 10 * ms * i, [this, mp, i](uint64_t due) {
      const AbsTime t = start_abs_ + due / k27MHz;
      const auto sections = BuildPresentFollowing(mp->info, i, mp->schedules[i], t, &mp->descriptors[i]);
      for (const std::vector<uint8_t>& section : sections) QueueSection(*mp, 0x0012, section, false);
    });
  }

  for (const ServiceInfo& s : m.info.services) {
    if (!s.scrambled) continue;
    const std::vector<uint8_t> ecm = BuildEcm(s.service_id, options_.seed);
    const uint16_t pid = s.ecm_pid;
    add(100 * ms, 0, [this, mp, ecm, pid](uint64_t) { QueueSection(*mp, pid, ecm, false); });
  }

  for (const ServiceInfo& s : m.info.services) {
    static const char kModule[] =
        "<?xml version=\"1.0\" encoding=\"EUC-JP\" ?><bml><body><p>pelkan</p></body></bml>";
    const std::vector<uint8_t> module(kModule, kModule + sizeof(kModule) - 1);
    const std::vector<uint8_t> dii = BuildDownloadInfo(1, static_cast<uint32_t>(module.size()));
    const std::vector<uint8_t> ddb = BuildDownloadData(1, module);
    const uint16_t pid = s.components[3].pid;
    const bool scramble = s.scrambled;
    add(500 * ms, 50 * ms, [this, mp, dii, ddb, pid, scramble](uint64_t) {
      QueueSection(*mp, pid, dii, scramble);
      QueueSection(*mp, pid, ddb, scramble);
    });
  }

  // EIT schedule, eight days in two cycles: every 100 ms the next unit of the full cycle (basic
  // and extended tables of every segment from the current one to the end of the eighth day, about
  // 40 s for three services), and between them the next basic unit of the coming 24 hours, so that
  // a receiver knows the near programmes within a few seconds.
  add(100 * ms, 0, [this, mp](uint64_t due) {
    MuxState& mm = *mp;
    const AbsTime t = start_abs_ + due / k27MHz;
    if (mm.schedule_cycle_at >= mm.schedule_cycle.size()) {
      mm.schedule_cycle.clear();
      mm.schedule_cycle_at = 0;
      const AbsTime day0 = t / 86400 * 86400;
      for (AbsTime seg = t / 10800 * 10800; seg < day0 + 8 * 86400; seg += 10800) {
        for (size_t i = 0; i < mm.info.services.size(); ++i) {
          mm.schedule_cycle.push_back({i, false, seg});
          mm.schedule_cycle.push_back({i, true, seg});
        }
      }
    }
    QueueScheduleUnit(mm, mm.schedule_cycle[mm.schedule_cycle_at++], t);
  });
  add(100 * ms, 50 * ms, [this, mp](uint64_t due) {
    MuxState& mm = *mp;
    const AbsTime t = start_abs_ + due / k27MHz;
    const uint64_t first_segment = t / 10800;
    const uint64_t last_segment = (t + 86400) / 10800;
    const uint64_t segments = last_segment - first_segment + 1;
    const size_t services = mm.info.services.size();
    const uint64_t pick = mm.schedule_cursor++ % (segments * services);
    QueueScheduleUnit(
        mm, {static_cast<size_t>(pick % services), false, (first_segment + pick / services) * 10800}, t);
  });

  m.next_table_due = origin;
}

void BroadcastGenerator::Impl::QueueSection(MuxState& m, uint16_t pid, const std::vector<uint8_t>& section,
                                            bool scramble) {
  const uint8_t* data = section.data();
  std::vector<uint8_t> damaged;
  if (crc_pending_ && section.size() >= 4) {
    crc_pending_ = false;
    damaged = section;
    damaged.back() ^= 0x01;
    data = damaged.data();
  }
  size_t pos = 0;
  bool first = true;
  while (pos < section.size() || first) {
    Packet p;
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((first ? 0x40 : 0) | (pid >> 8 & 0x1F));
    p[2] = static_cast<uint8_t>(pid);
    p[3] = static_cast<uint8_t>(0x10 | m.cc[pid]);
    m.cc[pid] = static_cast<uint8_t>((m.cc[pid] + 1) & 0x0F);
    size_t at = 4;
    if (first) p[at++] = 0x00;  // pointer_field
    const size_t n = std::min(section.size() - pos, size_t{188} - at);
    std::memcpy(p.data() + at, data + pos, n);
    std::memset(p.data() + at + n, 0xFF, 188 - at - n);
    pos += n;
    first = false;
    if (scramble) ApplyTestScrambling(p.data(), 188);
    m.queue.push_back({p, pos >= section.size()});
  }
}

void BroadcastGenerator::Impl::RunTables(MuxState& m) {
  uint64_t next = std::numeric_limits<uint64_t>::max();
  for (TableSource& t : m.tables) {
    if (t.due <= now27_) {
      t.emit(t.due);
      t.due += t.period;
      if (t.due <= now27_) t.due = now27_ + t.period;  // never burst to catch up
    }
    next = std::min(next, t.due);
  }
  m.next_table_due = next;
}

bool BroadcastGenerator::Impl::EmitEs(EsSource& s, const MuxState& m, uint8_t* p) {
  const PesCycle& c = *s.cycle;
  const TemplatePacket& t = c.packets[s.index];
  std::memcpy(p, t.bytes.data(), 188);
  p[3] = static_cast<uint8_t>((p[3] & 0xF0) | s.cc);
  s.cc = static_cast<uint8_t>((s.cc + 1) & 0x0F);
  if (t.pts_pos != 0) WritePts(p + t.pts_pos, m.pts_base90 + s.group * c.ticks90 + t.pts_offset90);
  if (t.pcr) WritePcr(p + 6, now27_ + m.pcr_offset27);
  if (s.scrambled) ApplyTestScrambling(p, 188);
  if (++s.index == c.packets.size()) {
    s.index = 0;
    ++s.group;
  }
  s.due = m.origin27 + s.group * c.ticks27 + s.index * c.ticks27 / c.packets.size();
  return (c.packets[s.index].bytes[1] & 0x40) != 0;
}

void BroadcastGenerator::Impl::Advance() {
  ++slots_;
  now27_ += step_q_;
  rem_ += step_r_;
  if (rem_ >= options_.bit_rate) {
    rem_ -= options_.bit_rate;
    ++now27_;
  }
}

bool BroadcastGenerator::Impl::NextUnit(uint8_t* out) {
  if (active_ == 0 && now27_ >= change27_ && muxes_.size() > 1) active_ = 1;
  MuxState& m = *muxes_[active_];
  bool bad_sync = false;
  while (next_fault_ < faults_.size() && faults_[next_fault_].packet <= slots_) {
    switch (faults_[next_fault_].kind) {
      case FaultKind::kDropPacket: drop_pending_ = true; break;
      case FaultKind::kBadCrc: crc_pending_ = true; break;
      case FaultKind::kBadSync: bad_sync = faults_[next_fault_].packet == slots_; break;
    }
    ++next_fault_;
  }

  uint8_t* p = packet_size_ == 192 ? out + 4 : out;
  if (now27_ >= m.next_table_due) RunTables(m);
  // A dropped packet is always the last one of a section or PES, so that the gap shows even to a
  // reader that checks continuity only where a new unit starts.
  bool ends_unit = false;
  if (m.head < m.queue.size()) {
    std::memcpy(p, m.queue[m.head].bytes.data(), 188);
    ends_unit = m.queue[m.head].ends_unit;
    if (++m.head == m.queue.size()) {
      m.queue.clear();
      m.head = 0;
    }
  } else {
    EsSource* best = nullptr;
    for (EsSource& s : m.es) {
      if (s.due <= now27_ && (best == nullptr || s.due < best->due)) best = &s;
    }
    if (best != nullptr) {
      ends_unit = EmitEs(*best, m, p);
    } else {
      std::memcpy(p, null_packet_.data(), 188);
    }
  }
  if (bad_sync) p[0] = 0x48;
  if (packet_size_ == 192) {
    // TP_extra_header: copy_permission_indicator 0 and a 30-bit arrival time stamp at 27 MHz.
    const uint32_t ats = static_cast<uint32_t>((now27_ + m.pcr_offset27) & 0x3FFFFFFF);
    out[0] = static_cast<uint8_t>(ats >> 24);
    out[1] = static_cast<uint8_t>(ats >> 16);
    out[2] = static_cast<uint8_t>(ats >> 8);
    out[3] = static_cast<uint8_t>(ats);
  } else if (packet_size_ == 204) {
    std::memset(out + 188, 0xFF, 16);  // the tuner's 16-byte trailer, no information here
  }
  Advance();
  if (drop_pending_ && ends_unit) {
    drop_pending_ = false;
    return false;
  }
  return true;
}

size_t BroadcastGenerator::Impl::Read(uint8_t* dst, size_t len) {
  size_t done = 0;
  while (done < len) {
    if (unit_pos_ < packet_size_) {
      const size_t n = std::min(len - done, packet_size_ - unit_pos_);
      std::memcpy(dst + done, unit_.data() + unit_pos_, n);
      unit_pos_ += n;
      done += n;
    } else if (len - done >= packet_size_) {
      if (NextUnit(dst + done)) done += packet_size_;
    } else if (NextUnit(unit_.data())) {
      unit_pos_ = 0;
    }
  }
  bytes_ += len;
  return len;
}

BroadcastGenerator::BroadcastGenerator(const GeneratorOptions& options)
    : impl_(std::make_unique<Impl>(options)) {}

BroadcastGenerator::~BroadcastGenerator() = default;

size_t BroadcastGenerator::Read(uint8_t* dst, size_t len) {
  if (dst == nullptr) return 0;
  return impl_->Read(dst, len);
}

MjdTime BroadcastGenerator::ClockNow() const { return FromAbs(impl_->AbsNow()); }

uint64_t BroadcastGenerator::BytesProduced() const { return impl_->bytes_; }

uint64_t BroadcastGenerator::PacketSlots() const { return impl_->slots_; }

const GeneratorOptions& BroadcastGenerator::Options() const { return impl_->options_; }

int BroadcastGenerator::MultiplexCount() const { return static_cast<int>(impl_->muxes_.size()); }

const MultiplexInfo& BroadcastGenerator::Multiplex(int index) const {
  index = std::clamp(index, 0, MultiplexCount() - 1);
  return impl_->muxes_[static_cast<size_t>(index)]->info;
}

const MultiplexInfo& BroadcastGenerator::CurrentMultiplex() const { return impl_->Active().info; }

std::optional<ProgrammeInfo> BroadcastGenerator::CurrentProgramme(uint16_t service_id) const {
  const ProgrammeSchedule* s = impl_->Schedule(impl_->Active(), service_id);
  if (s == nullptr) return std::nullopt;
  const AbsTime t = impl_->AbsNow();
  return s->Announced(s->IndexAt(t), t, true);
}

std::optional<ProgrammeInfo> BroadcastGenerator::ProgrammeAt(int index, uint16_t service_id, MjdTime time) const {
  if (index < 0 || index >= MultiplexCount()) return std::nullopt;
  const ProgrammeSchedule* s = impl_->Schedule(*impl_->muxes_[static_cast<size_t>(index)], service_id);
  if (s == nullptr) return std::nullopt;
  return s->Final(s->IndexAt(ToAbs(time)));
}

std::vector<ProgrammeInfo> BroadcastGenerator::ScheduleAt(int index, uint16_t service_id, MjdTime from,
                                                          MjdTime to, MjdTime as_of) const {
  std::vector<ProgrammeInfo> out;
  if (index < 0 || index >= MultiplexCount()) return out;
  const ProgrammeSchedule* s = impl_->Schedule(*impl_->muxes_[static_cast<size_t>(index)], service_id);
  if (s == nullptr) return out;
  const auto [first, last] = s->IndicesStartingIn(ToAbs(from), ToAbs(to));
  for (uint64_t k = first; k < last; ++k) {
    ProgrammeInfo p = s->Announced(k, ToAbs(as_of), false);
    if (ToAbs(p.start) >= ToAbs(from) && ToAbs(p.start) < ToAbs(to)) out.push_back(std::move(p));
  }
  return out;
}

}  // namespace pelkan::streamgen
