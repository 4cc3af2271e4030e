#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/mjd_time.h"
#include "base/programme_change.h"

namespace pelkan::streamgen {

// A fault the generator puts into its stream on purpose.
enum class FaultKind : uint8_t {
  kDropPacket,  // the first packet at or after the position that ends a section or PES is left out
  kBadSync,     // the packet at the position gets the sync byte 0x48 instead of 0x47
  kBadCrc,      // the first section that starts at or after the position gets a wrong CRC_32
};

// One injected fault; `packet` counts packet slots from the start of the stream (0 = first).
struct Fault {
  uint64_t packet = 0;
  FaultKind kind = FaultKind::kDropPacket;
};

// Everything that shapes the generated broadcast. The same options give the same bytes, except
// with `use_machine_clock`, where only the start time differs.
struct GeneratorOptions {
  uint32_t packet_size = 188;       // 188, 192 (4-byte time-stamp prefix) or 204 (16-byte trailer)
  uint64_t bit_rate = 17'000'000;   // bits per second of the delivered bytes, 4 Mbit/s to 200 Mbit/s
  MjdTime start_time{MjdFromDate(2026, 12, 7), 20 * 3600 + 59 * 60};  // JST at the first byte
  bool use_machine_clock = false;   // start at the machine's local time instead of start_time
  uint64_t seed = 1;                // chooses titles, descriptions and which programmes overrun
  bool satellite = false;           // a BS multiplex (satellite delivery in the NIT) instead of terrestrial
  double channel_change_seconds = -1;  // switch to a second transport stream after this time; < 0 never
  uint16_t scrambled_service = 0;   // service_id whose elementary streams are scrambled; 0 none
  std::vector<Fault> faults;        // faults to inject, in any order
  int service_count = 3;            // services per transport stream, 2 to 4
  // Programmes made late, early, extended or undetermined, named by service and event id in the
  // unchanged schedule (looked up from the programme before the one running at the start on). A
  // service with changes has no random overruns nor open ends. See ProgrammeSchedule.
  std::vector<ProgrammeChange> programme_changes;
  // A late (or early) start counts from the start the tables show without changes: after the
  // overrun of the programme before, when it has one (as the command line's options count it),
  // instead of from the programme's slot.
  bool late_from_shown_start = false;
};

// Returns an empty string when the options can be used, otherwise a one-line English reason.
std::string CheckGeneratorOptions(const GeneratorOptions& options);

// One elementary stream of a service, as listed in its PMT.
struct ComponentInfo {
  uint16_t pid = 0;
  uint8_t stream_type = 0;     // 0x02 video, 0x0F AAC audio, 0x06 captions, 0x0D data carousel
  uint8_t component_tag = 0;   // from the stream_identifier_descriptor
};

// A service of a transport stream: PAT/PMT entries and its SDT names (UTF-8).
struct ServiceInfo {
  uint16_t service_id = 0;
  uint16_t pmt_pid = 0;
  uint16_t pcr_pid = 0;
  uint8_t service_type = 0x01;
  std::string name;
  std::string provider;
  std::vector<ComponentInfo> components;
  bool scrambled = false;
  uint16_t ecm_pid = 0;  // non-zero for the scrambled service
};

// The satellite_delivery_system_descriptor fields of a BS multiplex, as plain numbers.
struct SatelliteInfo {
  uint32_t frequency = 0;          // units of 10 kHz (1172748 = 11.72748 GHz)
  uint16_t orbital_position = 0;   // units of 0.1 degree
  bool east = true;                // west_east_flag
  uint8_t polarisation = 0;        // 2 bits
  uint8_t modulation = 0;          // 5 bits
  uint32_t symbol_rate = 0;        // units of 100 symbols/s (288600 = 28.86 Msymbol/s)
  uint8_t fec_inner = 0;           // 4 bits
};

// One transport stream the generator broadcasts.
struct MultiplexInfo {
  uint16_t transport_stream_id = 0;
  uint16_t original_network_id = 0;
  uint16_t network_id = 0;
  std::string network_name;  // UTF-8
  bool satellite = false;
  SatelliteInfo delivery;    // meaningful when satellite
  std::vector<ServiceInfo> services;
};

// One item of a programme's extended description, as the extended_event_descriptor carries it:
// a heading such as "出演者" and its text (UTF-8).
struct ExtendedItem {
  std::string description;
  std::string text;
};

// A programme event as the EIT announces it.
// A programme's place in its series (series_descriptor).
struct SeriesInfo {
  uint16_t series_id = 0;
  uint8_t repeat_label = 0;     // 0 first broadcast, 1 a rerun
  uint8_t program_pattern = 0;  // 1 weekly, 2 daily, 0 irregular
  uint16_t episode_number = 0;
  uint16_t last_episode_number = 0;
  std::string series_name;  // UTF-8
  bool operator==(const SeriesInfo&) const = default;
};

struct ProgrammeInfo {
  uint16_t event_id = 0;
  MjdTime start;
  uint32_t duration = 0;              // seconds; 0xFFFFFFFF when the duration is undefined
  std::string title;                  // UTF-8
  std::string description;            // UTF-8
  uint8_t video_component_type = 0;   // component_descriptor component_type
  uint8_t audio_component_type = 0;   // audio_component_descriptor component_type
  uint8_t genre = 0;                  // content_descriptor content_nibble_level_1 << 4 | level_2
  std::vector<ExtendedItem> items;    // extended description; empty when the programme has none
  std::optional<SeriesInfo> series;   // series_descriptor; none for a programme of no series
};

// An endless synthetic ISDB broadcast: PAT, CAT, PMTs, NIT, SDT, TOT/TDT, EIT present/following
// and schedule, MPEG-2 video, AAC audio, captions and a data carousel, multiplexed at a constant
// bit rate with null packets. The clock advances with the byte position at the chosen rate. The
// EIT schedule covers eight days (basic tables 0x50-0x51 and extended tables 0x58-0x59 with the
// programmes' items) and repeats within a minute of stream; an overrun, and each programme change
// (GeneratorOptions::programme_changes) as it shows, changes its version. One object is used by
// one thread at a time.
class BroadcastGenerator {
 public:
  // Invalid options (see CheckGeneratorOptions) are replaced by their defaults.
  explicit BroadcastGenerator(const GeneratorOptions& options);
  ~BroadcastGenerator();
  BroadcastGenerator(const BroadcastGenerator&) = delete;
  BroadcastGenerator& operator=(const BroadcastGenerator&) = delete;

  // Writes exactly `len` further bytes of the stream into `dst` (a packet may be split across
  // calls) and returns `len`.
  size_t Read(uint8_t* dst, size_t len);

  // The broadcast clock (JST) at the current position: the start time plus the elapsed packet
  // slots at the bit rate, whole seconds.
  MjdTime ClockNow() const;
  // Bytes handed out by Read so far.
  uint64_t BytesProduced() const;
  // Packet slots generated so far (a dropped packet still takes its slot).
  uint64_t PacketSlots() const;

  // The options in force (after defaults replaced invalid values; the machine clock resolved).
  const GeneratorOptions& Options() const;
  // Transport streams broadcast: 1, or 2 with a channel change; index 0 is the first.
  int MultiplexCount() const;
  const MultiplexInfo& Multiplex(int index) const;
  // The transport stream of the packets being generated now.
  const MultiplexInfo& CurrentMultiplex() const;
  // The present programme of a service of the current transport stream as the EIT
  // present/following announces it at ClockNow(); nullopt for an unknown service.
  std::optional<ProgrammeInfo> CurrentProgramme(uint16_t service_id) const;
  // The programme a service of multiplex `index` is running at `time`, with every announced change
  // made (the final schedule); nullopt for an unknown service.
  std::optional<ProgrammeInfo> ProgrammeAt(int index, uint16_t service_id, MjdTime time) const;
  // The programmes of a service of multiplex `index` that start in [from, to), as the EIT schedule
  // announces them at `as_of` (start and duration with the overruns announced by then); empty for
  // an unknown service.
  std::vector<ProgrammeInfo> ScheduleAt(int index, uint16_t service_id, MjdTime from, MjdTime to,
                                        MjdTime as_of) const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pelkan::streamgen
