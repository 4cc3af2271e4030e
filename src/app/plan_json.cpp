#include "app/plan_json.h"

#include <cstdio>

#include "app/json_text.h"
#include "base/mjd_time.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "schedule/schedule_texts.h"

namespace pelkan {

namespace {

const char* VerdictName(PlanVerdict verdict) {
  switch (verdict) {
    case PlanVerdict::kWhole:
      return "whole";
    case PlanVerdict::kPart:
      return "part";
    case PlanVerdict::kNone:
      return "none";
    case PlanVerdict::kUnknown:
      break;
  }
  return "unknown";
}

std::string JsonNumberOrNull(bool present, int64_t value) {
  return present ? std::to_string(value) : std::string("null");
}

}  // namespace

std::string InstantText(int64_t instant, char separator) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
  MjdToDate(static_cast<uint32_t>(instant / 86400), &y, &mo, &d);
  SecondsToHms(static_cast<uint32_t>(instant % 86400), &h, &mi, &sec);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d", y, mo, d, separator, h, mi, sec);
  return text;
}

std::optional<std::pair<int64_t, int64_t>> RequestedSpan(const RecordingScheduler::PlannedList& plan,
                                                         size_t i) {
  const PlanRequest& request = plan.requests[i];
  if (!request.known) return std::nullopt;
  return std::make_pair(request.start, request.end);
}

std::string PlanJson(const RecordingScheduler::PlannedList& plan, size_t i, bool stale) {
  const ScheduleItem& item = plan.items[i];
  const PlanLine& line = plan.lines[i];
  const auto span = RequestedSpan(plan, i);
  const auto service = RecordedServiceId(item);
  const auto time = [](int64_t t) { return JsonString(InstantText(t, 'T') + "+09:00"); };
  const auto by = [](int index) { return JsonNumberOrNull(index >= 0, index + 1); };
  const bool records = line.verdict == PlanVerdict::kWhole || line.verdict == PlanVerdict::kPart;
  return "{\"number\": " + std::to_string(i + 1) + ", \"name\": " +
         (HasStart(item) || !GetText(item.title).empty()
              ? JsonString(platform::BroadcastToUtf8(PlanWinnerName(item)))
              : std::string("null")) +
         ", \"start\": " + (span ? time(span->first) : "null") +
         ", \"end\": " + (span ? time(span->second) : "null") +
         ", \"margin_before\": " + std::to_string(item.margin_before) +
         ", \"margin_after\": " + std::to_string(item.margin_after) +
         ", \"priority\": " + std::to_string(item.priority) +
         ", \"service_id\": " + JsonNumberOrNull(service.has_value(), service.value_or(0)) +
         ", \"stream_id\": " + JsonNumberOrNull(item.stream_id != 0, item.stream_id) +
         ", \"channel\": " + JsonNumberOrNull((item.flags & SI_CHANNEL_VALUE) != 0, item.channel_value) +
         ", \"channel_string\": " +
         ((item.flags & SI_CHANNEL_STRING) ? JsonString(platform::SjisToUtf8(GetText(item.channel_string)))
                                           : std::string("null")) +
         ", \"verdict\": " + JsonString(VerdictName(line.verdict)) +
         ", \"text\": " + JsonString(platform::BroadcastToUtf8(PlanText(line, plan.items))) +
         ", \"records_from\": " + (records ? time(line.start) : "null") +
         ", \"records_to\": " + (records ? time(line.end) : "null") +
         ", \"head_lost\": " + std::to_string(line.head_lost) + ", \"head_by\": " + by(line.head_by) +
         ", \"tail_lost\": " + std::to_string(line.tail_lost) + ", \"tail_by\": " + by(line.tail_by) +
         ", \"by\": " + by(line.by) + ", \"stale\": " + (stale ? "true" : "false") + "}";
}

}  // namespace pelkan
