#pragma once

#include <cstdint>

namespace pelkan {

// The four ids that name a programme event for good: the network, the stream, the service and the
// event. An event information section gives them for its own events (its header and each event's
// event_id) and for the members of an event group in other networks.
struct EventKey {
  uint16_t original_network_id = 0;
  uint16_t transport_stream_id = 0;
  uint16_t service_id = 0;
  uint16_t event_id = 0;
  bool operator==(const EventKey&) const = default;
};

}  // namespace pelkan
