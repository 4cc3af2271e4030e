#include "app/status_json.h"

#include <gtest/gtest.h>

#include <string>

#include "base/mjd_time.h"
#include "core/status_text.h"
#include "platform/text_codec.h"

namespace pelkan {
namespace {

// The status as a program reads it: counts as numbers, the clock as an ISO 8601 time of Japan, the
// recording, the sending and the HTTP server as objects while they run (null, or absent for the
// server, while they do not), and a guide that cannot be written as its text.
TEST(StatusJson, FiguresAreNumbersAndTheClockATime) {
  StatusSnapshot idle;
  idle.bar[3].assign(1, ' ');
  idle.figures.transfers_ok = 12;
  const std::string plain = StatusJson(idle);
  EXPECT_NE(plain.find("\"transfers_ok\":12,"), std::string::npos) << plain;
  EXPECT_NE(plain.find("\"clock\":null,"), std::string::npos) << plain;
  EXPECT_NE(plain.find("\"recording\":null,\"sending\":null,\"schedule\":null,\"guide_error\":null}"),
            std::string::npos)
      << plain;
  EXPECT_EQ(plain.find("\"http\""), std::string::npos) << plain;

  StatusSnapshot s;
  StatusFigures& f = s.figures;
  f.elapsed_seconds = 125;
  f.rate_bytes_per_second = 2296320.4;
  f.continuity = 3;
  f.dropped = 25;
  f.clock = MjdTime{MjdFromDate(2026, 12, 9), 4 * 3600 + 39 * 60 + 45};
  f.clock_fresh = true;
  f.recording = true;
  f.recorded_bytes = 5 << 20;
  f.free_bytes = 1000;
  f.recording_seconds = 61;
  f.stop_in_ms = 1500;
  f.sending = true;
  f.send_address = {127, 0, 0, 1};
  f.send_port = 1234;
  f.send_error = "Network is unreachable";
  f.http = true;
  f.http_clients = 2;
  s.device_status = platform::Utf8ToSjis("チューナーが外れました");
  s.guide = platform::Utf8ToSjis("番組表を保存できません");
  const std::string json = StatusJson(s);
  for (const char* part : {
           "{\"elapsed_seconds\":125,",
           "\"rate_bytes_per_second\":2296320,",
           "\"device\":\"チューナーが外れました\",",
           "\"continuity_errors\":3,\"dropped_packets\":25,",
           "\"clock\":\"2026-12-09T04:39:45+09:00\",\"clock_fresh\":true,",
           "\"recording\":{\"bytes\":5242880,\"free_bytes\":1000,\"seconds\":61,\"stop_in_seconds\":2},",
           "\"sending\":{\"address\":\"127.0.0.1\",\"port\":1234,\"bytes_sent\":0,\"bytes_dropped\":0,"
           "\"error\":\"Network is unreachable\"},",
           "\"http\":{\"clients\":2,\"bytes_lost\":0},",
           "\"guide_error\":\"番組表を保存できません\"}",
       }) {
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
  }
}

}  // namespace
}  // namespace pelkan
