#include "app/status_json.h"

#include <cstdio>

#include "app/json_text.h"
#include "core/status_text.h"
#include "hooks/recording_outcome.h"
#include "platform/text_codec.h"

namespace pelkan {

namespace {

std::string Number(uint64_t value) {
  return std::to_string(value);
}

// A status text that is blank when it has nothing to say, as JSON text or null.
std::string TextOrNull(const std::string& sjis) {
  if (sjis.empty() || sjis == " ") return "null";
  return JsonString(platform::SjisToUtf8(sjis));
}

}  // namespace

std::string StatusJson(const StatusSnapshot& s) {
  const StatusFigures& f = s.figures;
  std::string line = "{\"elapsed_seconds\":" + Number(f.elapsed_seconds);
  line += ",\"transfers_ok\":" + Number(f.transfers_ok) + ",\"transfers_failed\":" + Number(f.transfers_failed);
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.0f", f.rate_bytes_per_second);
  line.append(",\"rate_bytes_per_second\":").append(rate);
  line += ",\"device\":" + TextOrNull(s.device_status);
  line += ",\"buffer\":{\"fill_bytes\":" + Number(f.buffer_fill) + ",\"capacity_bytes\":" +
          Number(f.buffer_capacity) + ",\"fifo_overflows\":" + Number(f.fifo_overflows) +
          ",\"input_overflows\":" + Number(f.input_overflows) + ",\"stage_overflows\":" +
          Number(f.stage_overflows) + "}";
  line += ",\"packet_size\":" + Number(f.packet_size) + ",\"sync_losses\":" + Number(f.sync_losses) +
          ",\"continuity_errors\":" + Number(f.continuity) + ",\"dropped_packets\":" + Number(f.dropped) +
          ",\"scrambled\":" + Number(f.scrambled);
  line += ",\"clock\":" + (f.clock ? "\"" + hooks::JapanIso(*f.clock) + "\"" : std::string("null"));
  line += std::string(",\"clock_fresh\":") + (f.clock_fresh ? "true" : "false");
  if (f.recording) {
    line += ",\"recording\":{\"bytes\":" + Number(f.recorded_bytes) + ",\"free_bytes\":" + Number(f.free_bytes) +
            ",\"seconds\":" + Number(f.recording_seconds);
    if (f.stop_in_ms) line += ",\"stop_in_seconds\":" + Number((*f.stop_in_ms + 999) / 1000);
    line += "}";
  } else {
    line += ",\"recording\":null";
  }
  if (f.sending) {
    char address[20];
    std::snprintf(address, sizeof address, "%u.%u.%u.%u", f.send_address[0], f.send_address[1],
                  f.send_address[2], f.send_address[3]);
    line += ",\"sending\":{\"address\":\"" + std::string(address) + "\",\"port\":" + Number(f.send_port) +
            ",\"bytes_sent\":" + Number(f.sent_bytes) + ",\"bytes_dropped\":" + Number(f.send_dropped_bytes) +
            ",\"error\":" + (f.send_error.empty() ? std::string("null") : JsonString(f.send_error)) + "}";
  } else {
    line += ",\"sending\":null";
  }
  // The HTTP server's clients only while it runs.
  if (f.http) {
    line += ",\"http\":{\"clients\":" + Number(f.http_clients) + ",\"bytes_lost\":" + Number(f.http_lost_bytes) +
            "}";
  }
  line += ",\"schedule\":" + TextOrNull(s.bar[3]);
  line += ",\"guide_error\":" + TextOrNull(s.guide);
  return line + "}";
}

}  // namespace pelkan
