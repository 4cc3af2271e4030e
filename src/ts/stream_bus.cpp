#include "ts/stream_bus.h"

#include <algorithm>

namespace pelkan {

void StreamBus::Add(StreamListener* listener) {
  if (listener != nullptr && !Has(listener)) listeners_.push_back(listener);
}

void StreamBus::Remove(StreamListener* listener) {
  listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

bool StreamBus::Has(const StreamListener* listener) const {
  return std::find(listeners_.begin(), listeners_.end(), listener) != listeners_.end();
}

void StreamBus::OnProcessor(TsProcessor* processor) {
  for (StreamListener* l : listeners_) l->OnProcessor(processor);
}

void StreamBus::OnPacket(uint16_t output, const uint8_t* packet, uint32_t length) {
  for (StreamListener* l : listeners_) l->OnPacket(output, packet, length);
}

void StreamBus::OnPackets(uint16_t output, const uint8_t* packets, uint32_t length, uint32_t packet_size) {
  for (StreamListener* l : listeners_) l->OnPackets(output, packets, length, packet_size);
}

void StreamBus::OnStreamReset(uint16_t transport_stream_id) {
  for (StreamListener* l : listeners_) l->OnStreamReset(transport_stream_id);
}

void StreamBus::OnProgramList(std::span<const ProgramListEntry> programs) {
  for (StreamListener* l : listeners_) l->OnProgramList(programs);
}

void StreamBus::OnComponents(uint16_t program_number, std::span<const ComponentEntry> components) {
  for (StreamListener* l : listeners_) l->OnComponents(program_number, components);
}

void StreamBus::OnServiceName(uint16_t service_id, const ServiceNames& names) {
  for (StreamListener* l : listeners_) l->OnServiceName(service_id, names);
}

void StreamBus::OnNetworkId(uint16_t network_id) {
  for (StreamListener* l : listeners_) l->OnNetworkId(network_id);
}

void StreamBus::OnClock(const BroadcastTime& time) {
  for (StreamListener* l : listeners_) l->OnClock(time);
}

void StreamBus::OnEitSection(uint16_t service_id, std::span<const uint8_t> section) {
  for (StreamListener* l : listeners_) l->OnEitSection(service_id, section);
}

void StreamBus::OnStreamBreak() {
  for (StreamListener* l : listeners_) l->OnStreamBreak();
}

void StreamBus::OnStreamResume() {
  for (StreamListener* l : listeners_) l->OnStreamResume();
}

void StreamBus::OnCaptureStart() {
  for (StreamListener* l : listeners_) l->OnCaptureStart();
}

void StreamBus::OnCaptureStop() {
  for (StreamListener* l : listeners_) l->OnCaptureStop();
}

void StreamBus::OnTick(StreamTick& tick) {
  for (StreamListener* l : listeners_) l->OnTick(tick);
}

}  // namespace pelkan
