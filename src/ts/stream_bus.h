#pragma once

#include <vector>

#include "ts/stream_listener.h"

namespace pelkan {

// The consumers of one capture, in the order they were added: each call reaches every one of
// them. Add and Remove while nothing is delivered (the capture not processing); the calls
// themselves follow StreamListener's threads.
class StreamBus : public StreamListener {
 public:
  // Adds `listener` (not owned; once: a second Add does nothing). It must stay until removed.
  void Add(StreamListener* listener);
  void Remove(StreamListener* listener);
  bool Has(const StreamListener* listener) const;

  void OnProcessor(TsProcessor* processor) override;
  void OnPacket(uint16_t output, const uint8_t* packet, uint32_t length) override;
  void OnPackets(uint16_t output, const uint8_t* packets, uint32_t length, uint32_t packet_size) override;
  void OnStreamReset(uint16_t transport_stream_id) override;
  void OnProgramList(std::span<const ProgramListEntry> programs) override;
  void OnComponents(uint16_t program_number, std::span<const ComponentEntry> components) override;
  void OnServiceName(uint16_t service_id, const ServiceNames& names) override;
  void OnNetworkId(uint16_t network_id) override;
  void OnClock(const BroadcastTime& time) override;
  void OnEitSection(uint16_t service_id, std::span<const uint8_t> section) override;
  void OnStreamBreak() override;
  void OnStreamResume() override;
  void OnCaptureStart() override;
  void OnCaptureStop() override;
  void OnTick(StreamTick& tick) override;

 private:
  std::vector<StreamListener*> listeners_;
};

}  // namespace pelkan
