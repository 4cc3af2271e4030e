#pragma once

#include <cstdint>
#include <vector>

#include "streamgen/broadcast_generator.h"
#include "streamgen/programme_schedule.h"

namespace pelkan::streamgen {

class ProgrammeDescriptors;

// Builders of the PSI/SI sections the generator broadcasts. Each returns one complete section
// with its CRC_32 (the TDT has none). Texts are encoded with EncodeAribString.

std::vector<uint8_t> BuildPat(const MultiplexInfo& mux);
// Conditional access table naming the EMM PID; only sent when a service is scrambled.
std::vector<uint8_t> BuildCat(uint16_t emm_pid);
std::vector<uint8_t> BuildPmt(const ServiceInfo& service);
std::vector<uint8_t> BuildNit(const MultiplexInfo& mux);
std::vector<uint8_t> BuildSdt(const MultiplexInfo& mux);
// Time-offset table (with a local_time_offset_descriptor for Japan) and time-date table.
std::vector<uint8_t> BuildTot(MjdTime jst);
std::vector<uint8_t> BuildTdt(MjdTime jst);

// One event entry of an EIT section.
struct EitEntry {
  ProgrammeInfo programme;
  uint8_t running_status = 0;
  bool free_ca = false;
  bool basic = true;      // short_event, component, audio_component and content descriptors
  bool extended = false;  // extended_event descriptors of the programme's items
};

// Header fields of one EIT section.
struct EitSectionHeader {
  uint8_t table_id = 0x4E;
  uint16_t service_id = 0;
  uint8_t version = 0;
  uint8_t section_number = 0;
  uint8_t last_section_number = 0;
  uint16_t transport_stream_id = 0;
  uint16_t original_network_id = 0;
  uint8_t segment_last_section_number = 0;
  uint8_t last_table_id = 0x4E;
};

// EIT section with, per event, the short_event, component, audio_component and content
// descriptors (basic) and the extended_event descriptors (extended) the entry asks for.
std::vector<uint8_t> BuildEit(const EitSectionHeader& header, const std::vector<EitEntry>& events);

// The present/following EIT (table 0x4E) of service number `service` of `mux`, whose timeline is
// `schedule`, at `now`: section 0 the present programme, section 1 the following one. The
// programmes' descriptors come from `descriptors` when given (the service's own), else are built.
std::vector<std::vector<uint8_t>> BuildPresentFollowing(const MultiplexInfo& mux, size_t service,
                                                        const ProgrammeSchedule& schedule, AbsTime now,
                                                        ProgrammeDescriptors* descriptors = nullptr);

// The EIT schedule sections (tables 0x50/0x51, extended 0x58/0x59) of one 3-hour segment of service
// number `service` of `mux` beginning at `segment_start`, with the programmes as announced at `now`;
// none when the segment lies outside the eight days from the midnight before `now`. The sections
// name the number of sections of their table's last segment: `table_last_count`, when given and
// not 0, is taken as that number (known from an earlier call at the same `now` and version);
// otherwise it is counted, and stored there when given. The programmes' descriptors come from
// `descriptors` when given (the service's own), else are built.
std::vector<std::vector<uint8_t>> BuildScheduleSegment(const MultiplexInfo& mux, size_t service,
                                                       const ProgrammeSchedule& schedule, bool extended,
                                                       AbsTime segment_start, AbsTime now,
                                                       size_t* table_last_count = nullptr,
                                                       ProgrammeDescriptors* descriptors = nullptr);

// ECM section (table_id 0x82) with opaque data derived from `seed`.
std::vector<uint8_t> BuildEcm(uint16_t service_id, uint64_t seed);
// DSM-CC data carousel of one small module: DownloadInfoIndication (0x3B) and DownloadDataBlock (0x3C).
std::vector<uint8_t> BuildDownloadInfo(uint16_t module_id, uint32_t module_size);
std::vector<uint8_t> BuildDownloadData(uint16_t module_id, const std::vector<uint8_t>& module);

}  // namespace pelkan::streamgen
