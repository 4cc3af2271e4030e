#pragma once

#include <cstdint>

// The processor's event protocol: what crosses from TsProcessor to its consumers. Every event is
// one synchronous handler call (type, parameter, data, count, user value) on the thread that runs
// Feed or Finish; payload pointers are valid only during that call. Multi-byte fields are in native
// order; strings are NUL-terminated Shift-JIS.

namespace pelkan {

// Event types.
enum : uint32_t {
  EVENT_PACKET = 1,               // param output id; data the packet; count packet size
  EVENT_PACKETS = 3,              // (only with TsProcessor::SetPacketRuns) param output id | packet
                                  // size << 16; data whole packets one after another; count their bytes
  EVENT_STREAM_RESET = 2,         // param transport_stream_id (0 at Finish); count 0 (1 at Finish)
  EVENT_PROGRAM_LIST = 16,        // param transport_stream_id; data ProgramListEntry[count]
  EVENT_COMPONENT_LIST = 17,      // param program_number; data ComponentEntry[count]
  EVENT_NETWORK_NAME = 18,        // param network_id; data name (char*); count 0 (1 for table 0x7F)
  EVENT_SATELLITE_DELIVERY = 19,  // param network_id; data SatelliteDelivery; count transport_stream_id
  EVENT_BROADCAST_TIME = 32,      // param 0; data BroadcastTime
  EVENT_SERVICE_NAME = 48,        // param service_id; data ServiceNames
  EVENT_EIT_SECTION = 64,         // param service_id; data an EIT section of the actual stream (table_id
                                  // 0x4E or 0x50-0x5F), whole and CRC-checked, each time it comes
                                  // (only while EIT processing is on); count its length
};

// Handler of all events: (type, parameter, data, count, user value).
using TsEventHandler = void (*)(uint32_t type, int32_t param, const uint8_t* data, uint32_t count, void* user);

// One programme of the PAT (program_number != 0), in PAT order.
struct ProgramListEntry {
  uint16_t program_number;
  uint16_t pmt_pid;
};

// One elementary stream of a PMT, in PMT order.
struct ComponentEntry {
  uint8_t stream_type;
  uint16_t elementary_pid;  // 13 significant bits
};

// A transport stream entry of the NIT; all zero when it has no satellite_delivery_system_descriptor.
struct SatelliteDelivery {
  double frequency;          // BCD frequency as an integer x 0.01 (GHz)
  double orbital_position;   // BCD orbital_position as an integer x 0.1 (degrees)
  int32_t west_east_flag;
  uint8_t polarisation;      // 2 bits
  uint8_t modulation;        // 5 bits
  double symbol_rate;        // BCD symbol_rate as an integer x 0.0001 (Msymbol/s)
  uint8_t fec_inner;         // 4 bits
};

// The broadcast clock of a time-table section (JST).
struct BroadcastTime {
  uint32_t date;         // Modified Julian Date
  uint32_t seconds;      // seconds of the day
  uint8_t raw_time[4];   // hh, mm, ss as BCD, then 0
  uint8_t hour, minute, second;
};

// Names of a service of the SDT actual; each at most 28 bytes of text and a NUL.
struct ServiceNames {
  char service_name[30];
  char provider_name[30];
};

// Kinds of programme event, from the EIT table_id.
enum : uint8_t {
  EVENT_KIND_NONE = 0,
  EVENT_KIND_PF_ACTUAL = 1,        // 0x4E
  EVENT_KIND_PF_OTHER = 2,         // 0x4F
  EVENT_KIND_SCHEDULE_ACTUAL = 3,  // 0x50-0x57
  EVENT_KIND_SCHEDULE_OTHER = 4,   // 0x60-0x67
};

// Undefined end second or duration.
constexpr uint32_t kUndefinedDuration = 0xFFFFFFFFu;

// A programme event of the event store: a fixed-size record, copied whole by its consumers.
struct ProgrammeEvent {
  uint8_t kind;
  uint8_t version;
  uint16_t service_id;
  uint16_t event_id;
  char title[81];          // at most 78 bytes of text
  char description[161];   // at most 158 bytes of text
  uint32_t start_day;      // MJD
  uint32_t start_second;
  uint32_t end_day;
  uint32_t end_second;     // kUndefinedDuration when the duration is undefined
  uint32_t duration;       // seconds; kUndefinedDuration when undefined
  uint8_t video_component_type;  // 0 = none
  uint8_t audio_component_type;  // 0 = none
};

}  // namespace pelkan
