#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "base/mjd_time.h"
#include "ts/ts_events.h"

namespace pelkan {

class TsProcessor;

// The processor outputs of a capture: output 0 carries what the manual recording and the sending
// take (the filtering window's filter applies to it), output 1 every packet, for the scheduled
// recordings and the HTTP server.
enum StreamOutput : uint16_t {
  kManualOutput = 0,
  kWholeStreamOutput = 1,
};

// The periodic beat of a capture (its status refresh), on the owning thread.
struct StreamTick {
  // Milliseconds tick of the refresh.
  uint32_t tick_ms = 0;
  // The broadcast clock now (date 0 while the stream has not told it).
  MjdTime broadcast;
  // True while the processor runs (a capture is connected).
  bool processing = false;
  // What the status bar's schedule part shows (Shift-JIS); a listener that has something to say
  // there sets it. Starts as a single blank.
  std::string schedule_status = " ";
};

// What a capture tells its consumers, typed: the packets of each processor output, the stream's
// tables, its breaks, and a periodic tick. Every call is a no-op unless overridden. Consumers are
// registered with the capture's StreamBus (a list) while the capture is not processing.
//
// Threads: the processor's calls (OnProcessor, OnPacket, the tables, OnStreamBreak) come from the
// processing thread; OnStreamResume from the device's receive thread; OnCaptureStart,
// OnCaptureStop and OnTick from the owning (UI or main-loop) thread. Payloads are valid only
// during the call: a consumer copies what it keeps.
class StreamListener {
 public:
  virtual ~StreamListener() = default;

  // The processor runs from now on, with every output created; null before it is destroyed
  // (after its last event). A consumer may set an output's filter on it or look events up.
  virtual void OnProcessor(TsProcessor* /*processor*/) {}
  // One packet of processor output `output` (StreamOutput).
  virtual void OnPacket(uint16_t /*output*/, const uint8_t* /*packet*/, uint32_t /*length*/) {}
  // Whole packets of `packet_size` bytes one after another, `length` bytes in all, of output
  // `output`: each one OnPacket unless a consumer takes the run at once.
  virtual void OnPackets(uint16_t output, const uint8_t* packets, uint32_t length, uint32_t packet_size) {
    for (uint32_t at = 0; packet_size > 0 && at + packet_size <= length; at += packet_size) {
      OnPacket(output, packets + at, packet_size);
    }
  }
  // A new transport stream (0 at the end of the processing): what was known of the old one goes.
  virtual void OnStreamReset(uint16_t /*transport_stream_id*/) {}
  // The stream's PAT: its programmes and their PMT PIDs, in PAT order.
  virtual void OnProgramList(std::span<const ProgramListEntry> /*programs*/) {}
  // The elementary streams of one programme (its PMT); empty when it has none.
  virtual void OnComponents(uint16_t /*program_number*/, std::span<const ComponentEntry> /*components*/) {}
  // The names of a service (SDT actual).
  virtual void OnServiceName(uint16_t /*service_id*/, const ServiceNames& /*names*/) {}
  // The network the stream belongs to (NIT).
  virtual void OnNetworkId(uint16_t /*network_id*/) {}
  // The broadcast clock of a time table.
  virtual void OnClock(const BroadcastTime& /*time*/) {}
  // An event information section of the actual stream, whole and checked (only while EIT
  // processing is on).
  virtual void OnEitSection(uint16_t /*service_id*/, std::span<const uint8_t> /*section*/) {}
  // The stream breaks off after the packets received so far (the tuner dropped out).
  virtual void OnStreamBreak() {}
  // The tuner delivers again after a break.
  virtual void OnStreamResume() {}

  // The capture has connected (the processing thread runs) / is disconnecting (it has ended).
  virtual void OnCaptureStart() {}
  virtual void OnCaptureStop() {}
  // The capture's status refresh: while connected, every 300 ms (the capture session's
  // heartbeat), and whenever the front-end refreshes the status.
  virtual void OnTick(StreamTick& /*tick*/) {}
};

// Translates one processor event (ts_events.h) into the call of `listener` it stands for; events
// no listener hears (satellite delivery) are dropped. The one translation of the processor's
// events: a capture's handler and a processor read without a capture (a file's guide) both use it.
void DeliverTsEvent(StreamListener& listener, uint32_t type, int32_t param, const uint8_t* data, uint32_t count);

}  // namespace pelkan
