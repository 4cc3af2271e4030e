#include "ts/stream_listener.h"

namespace pelkan {

void DeliverTsEvent(StreamListener& listener, uint32_t type, int32_t param, const uint8_t* data, uint32_t count) {
  switch (type) {
    case EVENT_PACKET:
      listener.OnPacket(static_cast<uint16_t>(param & 0xFFFF), data, count);
      break;
    case EVENT_PACKETS:
      listener.OnPackets(static_cast<uint16_t>(param & 0xFFFF), data, count, static_cast<uint32_t>(param) >> 16);
      break;
    case EVENT_STREAM_RESET:
      listener.OnStreamReset(static_cast<uint16_t>(param));
      break;
    case EVENT_PROGRAM_LIST:
      if (data != nullptr) listener.OnProgramList({reinterpret_cast<const ProgramListEntry*>(data), count});
      break;
    case EVENT_COMPONENT_LIST:
      // A programme without elementary streams comes with no array.
      if (data == nullptr && count > 0) break;
      listener.OnComponents(static_cast<uint16_t>(param),
                            {reinterpret_cast<const ComponentEntry*>(data), data == nullptr ? 0 : count});
      break;
    case EVENT_NETWORK_NAME:
      listener.OnNetworkId(static_cast<uint16_t>(param));
      break;
    case EVENT_BROADCAST_TIME:
      if (data != nullptr) listener.OnClock(*reinterpret_cast<const BroadcastTime*>(data));
      break;
    case EVENT_SERVICE_NAME:
      if (data != nullptr) listener.OnServiceName(static_cast<uint16_t>(param), *reinterpret_cast<const ServiceNames*>(data));
      break;
    case EVENT_EIT_SECTION:
      if (data != nullptr) listener.OnEitSection(static_cast<uint16_t>(param), {data, count});
      break;
    default:
      break;
  }
}

}  // namespace pelkan
