#include "app/status_json.h"

#include <utility>

#include "app/json_text.h"
#include "core/status_text.h"
#include "platform/text_codec.h"

namespace pelkan {

std::string StatusJson(const StatusSnapshot& s) {
  const std::pair<const char*, const std::string*> fields[] = {
      {"time", &s.elapsed},
      {"transfers_ok", &s.transfers_ok},
      {"transfers_failed", &s.transfers_failed},
      {"rate", &s.rate},
      {"device", &s.device_status},
      {"buffer", &s.buffer},
      {"packet_size", &s.packet_size},
      {"sync_losses", &s.sync_losses},
      {"continuity_errors", &s.continuity},
      {"dropped_packets", &s.dropped},
      {"scrambled", &s.scrambled},
      {"clock", &s.clock},
      {"recording", &s.recording},
      {"free_space", &s.free_space},
      {"recording_time", &s.bar[1]},
      {"stop_timer", &s.bar[2]},
      {"sending", &s.sending},
      {"schedule", &s.bar[3]},
  };
  std::string line = "{";
  for (const auto& [key, value] : fields) {
    if (line.size() > 1) line += ",";
    line += JsonString(key) + ":" + JsonString(platform::SjisToUtf8(*value));
  }
  // The HTTP server's clients only while it runs.
  if (!s.http.empty()) line.append(",\"http\":").append(JsonString(platform::SjisToUtf8(s.http)));
  return line + "}";
}

}  // namespace pelkan
