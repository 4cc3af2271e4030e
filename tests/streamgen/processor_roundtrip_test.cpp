// Round trip of generated streams through the transport-stream processor: what the generator says
// it broadcasts must come back out of the processor's events and event store.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/capture_stats.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "streamgen/broadcast_generator.h"
#include "streamgen/test_scrambler.h"
#include "ts/ts_processor.h"

namespace pelkan::streamgen {
namespace {

using platform::Utf8ToSjis;

struct Recorder {
  std::vector<int32_t> stream_resets;
  std::map<uint16_t, uint16_t> programs;  // service_id -> PMT PID (last PAT)
  std::map<uint16_t, std::vector<std::pair<uint8_t, uint16_t>>> components;
  std::map<uint16_t, std::string> network_names;
  std::map<uint16_t, std::pair<std::string, std::string>> service_names;  // name, provider
  std::vector<std::pair<uint64_t, BroadcastTime>> times;                  // packet fed, time
  std::map<uint16_t, SatelliteDelivery> deliveries;                       // by transport_stream_id
  uint64_t packet = 0;

  static void Handler(uint32_t type, int32_t param, const uint8_t* data, uint32_t count, void* user) {
    auto* r = static_cast<Recorder*>(user);
    switch (type) {
      case EVENT_STREAM_RESET:
        if (count == 0) r->stream_resets.push_back(param);
        break;
      case EVENT_PROGRAM_LIST: {
        r->programs.clear();
        const auto* e = reinterpret_cast<const ProgramListEntry*>(data);
        for (uint32_t i = 0; i < count; ++i) r->programs[e[i].program_number] = e[i].pmt_pid;
        break;
      }
      case EVENT_COMPONENT_LIST: {
        auto& list = r->components[static_cast<uint16_t>(param)];
        list.clear();
        const auto* e = reinterpret_cast<const ComponentEntry*>(data);
        for (uint32_t i = 0; i < count; ++i) list.emplace_back(e[i].stream_type, e[i].elementary_pid);
        break;
      }
      case EVENT_NETWORK_NAME:
        r->network_names[static_cast<uint16_t>(param)] = reinterpret_cast<const char*>(data);
        break;
      case EVENT_SERVICE_NAME: {
        const auto* n = reinterpret_cast<const ServiceNames*>(data);
        r->service_names[static_cast<uint16_t>(param)] = {n->service_name, n->provider_name};
        break;
      }
      case EVENT_BROADCAST_TIME:
        r->times.emplace_back(r->packet, *reinterpret_cast<const BroadcastTime*>(data));
        break;
      case EVENT_SATELLITE_DELIVERY:
        r->deliveries[static_cast<uint16_t>(count)] = *reinterpret_cast<const SatelliteDelivery*>(data);
        break;
      default:
        break;
    }
  }
};

// Passes every packet through RemoveTestScrambling, as the sample decoder plugin does.
class TestDescrambler final : public B25Decoder {
 public:
  int Initialize(int) override { return 1; }
  void Release() override {}
  int Decode(const uint8_t* data, int length, uint8_t** out, int* out_length) override {
    buffer_.assign(data, data + length);
    RemoveTestScrambling(buffer_.data(), buffer_.size());
    *out = buffer_.data();
    *out_length = length;
    return 1;
  }
  int Flush(uint8_t** out, int* out_length) override {
    *out = nullptr;
    *out_length = 0;
    return 0;
  }
  void Reset() override {}

 private:
  std::vector<uint8_t> buffer_;
};

// Generates `seconds` of stream and feeds it packet by packet, so that every event knows the
// position that produced it.
void FeedStream(BroadcastGenerator& g, double seconds, TsProcessor& proc, CaptureStats& stats, Recorder& r) {
  proc.SetDecodePsi(1);
  proc.SetProcessEpg(1);
  proc.SetEventHandler(Recorder::Handler, &r);
  const GeneratorOptions& o = g.Options();
  const uint64_t packets = static_cast<uint64_t>(seconds * static_cast<double>(o.bit_rate) / 8 / o.packet_size);
  std::vector<uint8_t> unit(o.packet_size);
  for (r.packet = 0; r.packet < packets; ++r.packet) {
    g.Read(unit.data(), unit.size());
    proc.Feed(unit.data(), static_cast<int>(unit.size()), stats);
  }
}

MjdTime ClockAt(const GeneratorOptions& o, uint64_t packet) {
  MjdTime t = o.start_time;
  AddSeconds(&t, static_cast<int64_t>(packet * o.packet_size * 8 / o.bit_rate));
  return t;
}

TEST(ProcessorRoundTrip, TablesNamesClockAndProgrammesComeBackExactly) {
  GeneratorOptions o;
  o.start_time = MjdTime{MjdFromDate(2026, 12, 7), 20 * 3600 + 59 * 60 + 57};
  BroadcastGenerator g(o);
  TsProcessor proc;
  CaptureStats stats;
  Recorder r;
  FeedStream(g, 6.0, proc, stats, r);

  EXPECT_EQ(stats.packet_size.load(), 188);
  EXPECT_EQ(stats.sync_losses.load(), 0u);
  EXPECT_EQ(stats.continuity_errors.load(), 0u);
  EXPECT_EQ(stats.scrambled_packets.load(), 0u);

  const MultiplexInfo& mux = g.CurrentMultiplex();
  EXPECT_EQ(r.stream_resets, std::vector<int32_t>{mux.transport_stream_id});
  EXPECT_EQ(r.network_names[mux.network_id], Utf8ToSjis(mux.network_name));
  ASSERT_EQ(r.programs.size(), mux.services.size());
  for (const ServiceInfo& s : mux.services) {
    EXPECT_EQ(r.programs[s.service_id], s.pmt_pid);
    std::vector<std::pair<uint8_t, uint16_t>> expected;
    for (const ComponentInfo& c : s.components) expected.emplace_back(c.stream_type, c.pid);
    EXPECT_EQ(r.components[s.service_id], expected);
    EXPECT_EQ(r.service_names[s.service_id].first, Utf8ToSjis(s.name));
    EXPECT_EQ(r.service_names[s.service_id].second, Utf8ToSjis(s.provider));

    // The programme on air, from the present/following table.
    const std::optional<ProgrammeInfo> now = g.CurrentProgramme(s.service_id);
    ASSERT_TRUE(now);
    const std::optional<ProgrammeEvent> stored = proc.FindEventById(0, 0, s.service_id, now->event_id);
    ASSERT_TRUE(stored) << s.service_id;
    EXPECT_EQ(stored->kind, EVENT_KIND_PF_ACTUAL);
    EXPECT_EQ(platform::BroadcastToUtf8(stored->title), now->title);
    EXPECT_EQ(platform::BroadcastToUtf8(stored->description), now->description);
    EXPECT_EQ(stored->start_day, now->start.date);
    EXPECT_EQ(stored->start_second, now->start.seconds);
    EXPECT_EQ(stored->duration, now->duration);
    EXPECT_EQ(stored->video_component_type, now->video_component_type);
    EXPECT_EQ(stored->audio_component_type, now->audio_component_type);

    // A programme of tomorrow, from the schedule.
    MjdTime later = g.ClockNow();
    AddSeconds(&later, 20 * 3600);
    const std::optional<ProgrammeInfo> future = g.ProgrammeAt(0, s.service_id, later);
    ASSERT_TRUE(future);
    const std::optional<ProgrammeEvent> scheduled = proc.FindEventById(0, 0, s.service_id, future->event_id);
    ASSERT_TRUE(scheduled) << s.service_id;
    EXPECT_EQ(scheduled->kind, EVENT_KIND_SCHEDULE_ACTUAL);
    EXPECT_EQ(platform::BroadcastToUtf8(scheduled->title), future->title);
  }

  // Every time-offset table carries the clock of its place in the stream (the time-date tables
  // carry no CRC and the processor does not take them).
  ASSERT_GE(r.times.size(), 2u);
  for (const auto& [packet, t] : r.times) {
    const MjdTime expected = ClockAt(o, packet);
    EXPECT_EQ(t.date, expected.date);
    EXPECT_EQ(t.seconds, expected.seconds);
    EXPECT_EQ((t.seconds + 86400 - o.start_time.seconds) % 5, 0u);  // a TOT every fifth second
  }
}

TEST(ProcessorRoundTrip, SatelliteDeliveryAndTheDecoderHook) {
  GeneratorOptions o;
  o.satellite = true;
  o.packet_size = 192;
  o.service_count = 4;
  o.bit_rate = 24'000'000;
  o.scrambled_service = 102;
  {
    BroadcastGenerator g(o);
    TsProcessor proc;
    CaptureStats stats;
    Recorder r;
    FeedStream(g, 1.5, proc, stats, r);
    EXPECT_EQ(stats.packet_size.load(), 192);
    EXPECT_GT(stats.scrambled_packets.load(), 500u);
    const SatelliteDelivery& d = r.deliveries[g.CurrentMultiplex().transport_stream_id];
    EXPECT_DOUBLE_EQ(d.frequency, 11727.48);
    EXPECT_DOUBLE_EQ(d.orbital_position, 110.0);
    EXPECT_EQ(d.west_east_flag, 1);
    EXPECT_EQ(d.polarisation, 3);
    EXPECT_EQ(d.modulation, 0x08);
    EXPECT_DOUBLE_EQ(d.symbol_rate, 28.86);
    EXPECT_EQ(d.fec_inner, 0x0F);
  }
  BroadcastGenerator g(o);
  TestDescrambler descrambler;
  TsProcessor proc(&descrambler);
  CaptureStats stats;
  Recorder r;
  FeedStream(g, 1.5, proc, stats, r);
  EXPECT_EQ(stats.scrambled_packets.load(), 0u);
  EXPECT_EQ(stats.continuity_errors.load(), 0u);
  EXPECT_EQ(r.service_names.size(), 4u);
}

TEST(ProcessorRoundTrip, InjectedFaultsAreCounted) {
  GeneratorOptions o;
  o.faults = {{3000, FaultKind::kDropPacket}, {6000, FaultKind::kBadSync}};
  BroadcastGenerator g(o);
  TsProcessor proc;
  CaptureStats stats;
  Recorder r;
  FeedStream(g, 1.0, proc, stats, r);
  EXPECT_EQ(stats.sync_losses.load(), 1u);
  EXPECT_GE(stats.continuity_errors.load(), 1u);
}

TEST(ProcessorRoundTrip, ChannelChangeResetsTheTables) {
  GeneratorOptions o;
  o.channel_change_seconds = 1.0;
  BroadcastGenerator g(o);
  TsProcessor proc;
  CaptureStats stats;
  Recorder r;
  FeedStream(g, 2.5, proc, stats, r);
  EXPECT_EQ(r.stream_resets, (std::vector<int32_t>{g.Multiplex(0).transport_stream_id,
                                                   g.Multiplex(1).transport_stream_id}));
  EXPECT_EQ(proc.transport_stream_id(), g.Multiplex(1).transport_stream_id);
  for (const ServiceInfo& s : g.Multiplex(1).services) {
    EXPECT_EQ(r.service_names[s.service_id].first, Utf8ToSjis(s.name));
    EXPECT_TRUE(g.CurrentProgramme(s.service_id));
  }
}

}  // namespace
}  // namespace pelkan::streamgen
