#include "core/dtv_base.h"

#include "platform/clock.h"

namespace pelkan::core {

CDTV_Base::CDTV_Base() { start_tick_.store(platform::TickCount(), std::memory_order_relaxed); }

CDTV_Base::~CDTV_Base() = default;

char* CDTV_Base::GetStatusText(char* buffer, size_t size) {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  return buffer;
}

int CDTV_Base::GetChannelName(int, char* buffer, size_t size) {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  return -1;
}

void CDTV_Base::ResetStatistics() {
  transfers_ok_.store(0, std::memory_order_relaxed);
  transfers_failed_.store(0, std::memory_order_relaxed);
  total_bytes_.store(0, std::memory_order_relaxed);
  start_tick_.store(platform::TickCount(), std::memory_order_relaxed);
}

DtvStatistics CDTV_Base::GetStatistics() const {
  DtvStatistics s;
  s.start_tick = start_tick_.load(std::memory_order_relaxed);
  s.transfers_ok = transfers_ok_.load(std::memory_order_relaxed);
  s.transfers_failed = transfers_failed_.load(std::memory_order_relaxed);
  s.total_bytes = total_bytes_.load(std::memory_order_relaxed);
  return s;
}

}  // namespace pelkan::core
