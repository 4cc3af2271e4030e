#include "app/http_api.h"

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "app/date_time_text.h"
#include "app/home_folder.h"
#include "app/http_library.h"
#include "app/json_text.h"
#include "app/offline_schedule.h"
#include "app/plan_json.h"
#include "app/reservation_request.h"
#include "app/rule_files.h"
#include "app/settings.h"
#include "core/capture_app.h"
#include "base/mjd_time.h"
#include "guide/guide_store.h"
#include "guide/programme_resolver.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "schedule/schedule_texts.h"

namespace pelkan {

using nlohmann::json;

namespace {

constexpr const char* kTextType = "application/json; charset=utf-8";
// Most programmes a search answers with.
constexpr size_t kSearchLimit = 500;
// How long a change waits for the reservation file's lock, ms (a page should not hang for long).
constexpr uint32_t kLockWaitMs = 3000;

GuideTime Now() {
  return ToGuideTime(JapanTimeNow());
}

// The guide file of `sources`: the home's when none is given.
std::string GuidePathOf(const HttpApiSources& sources) {
  return sources.guide_path.empty() ? GuidePath() : sources.guide_path;
}


// A broadcast text of the guide or a reservation (Shift-JIS with the broadcast's symbols) in UTF-8.
std::string Utf8(std::string_view broadcast) {
  return platform::BroadcastToUtf8(broadcast);
}

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]" or "YYYY-MM-DDTHH:MM[:SS][+09:00]" (JST) as an instant.
std::optional<GuideTime> ParseApiTime(std::string text) {
  if (text.size() > 6 && text.compare(text.size() - 6, 6, "+09:00") == 0) text.resize(text.size() - 6);
  if (text.size() == 10) text += " 00:00";
  if (text.size() > 10 && text[10] == 'T') text[10] = ' ';
  const std::optional<MjdTime> t = ParseDateTimeText(text.c_str());
  if (!t) return std::nullopt;
  return ToGuideTime(*t);
}

// A guide time (seconds since MJD 0, JST) as ApiTime writes it, in quotes.
void AppendApiTime(std::string* out, int64_t instant) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
  MjdToDate(static_cast<uint32_t>(instant / 86400), &y, &mo, &d);
  SecondsToHms(static_cast<uint32_t>(instant % 86400), &h, &mi, &sec);
  out->push_back('"');
  AppendJapanIso(out, y, mo, d, h, mi, sec);
  out->push_back('"');
}

// The number of the first event reservation of `e` (1-based, the list's order); 0 for none.
size_t ReservationOf(const GuideEvent& e, const std::vector<ScheduleItem>& reservations) {
  for (size_t i = 0; i < reservations.size(); ++i) {
    const ScheduleItem& r = reservations[i];
    if ((r.flags & SI_BY_EVENT) && r.service_id == e.key.service_id && r.event_id == e.key.event_id) return i + 1;
  }
  return 0;
}

// One programme of /api/guide appended to `out`, byte for byte as the JSON library writes the
// object (keys in order, no spaces); `utf8` holds the conversions' buffer between calls.
void AppendEventJson(std::string* out, const GuideEvent& e, size_t reservation, std::string* utf8) {
  const auto text = [out, utf8](std::string_view broadcast) {
    *utf8 = Utf8(broadcast);
    AppendApiJsonString(out, *utf8);
  };
  out->append("{\"description\":");
  text(e.description);
  out->append(",\"end\":");
  if (e.HasEnd()) {
    AppendApiTime(out, e.End());
  } else {
    out->append("null");
  }
  out->append(",\"episode\":");
  if (e.episode_number != 0) {
    AppendJsonInt(out, e.episode_number);
  } else {
    out->append("null");
  }
  out->append(",\"event_id\":");
  AppendJsonInt(out, e.key.event_id);
  out->append(",\"extended\":");
  text(e.extended);
  out->append(e.free_ca_mode ? ",\"free\":false,\"genre\":" : ",\"free\":true,\"genre\":");
  AppendJsonInt(out, e.genre);
  out->append(",\"minutes\":");
  if (e.HasEnd()) {
    AppendJsonInt(out, e.duration / 60);
  } else {
    out->append("null");
  }
  out->append(",\"network_id\":");
  AppendJsonInt(out, e.key.original_network_id);
  out->append(",\"reservation\":");
  if (reservation != 0) {
    AppendJsonInt(out, static_cast<int64_t>(reservation));
  } else {
    out->append("null");
  }
  out->append(",\"service_id\":");
  AppendJsonInt(out, e.key.service_id);
  out->append(",\"start\":");
  AppendApiTime(out, e.start);
  out->append(",\"stream_id\":");
  AppendJsonInt(out, e.key.transport_stream_id);
  out->append(",\"title\":");
  text(e.title);
  out->push_back('}');
}

std::vector<ScheduleItem> ReservationsNow(const HttpApiSources& sources) {
  OfflineSchedule s(nullptr, false, nullptr, 0, sources.files);
  return s.scheduler().Reservations();
}

HttpReply Services(const HttpApiSources& sources) {
  std::map<uint16_t, json> services;
  std::unique_ptr<RuleFiles> own;
  RuleFiles::Hold files = ApiFiles(sources, &own).Take();
  GuideStore* guide = files.Guide();
  if (guide) {
    for (const GuideService& s : guide->Services()) {
      services[s.service_id] = {{"service_id", s.service_id},
                                {"network_id", s.original_network_id},
                                {"stream_id", s.transport_stream_id},
                                {"name", Utf8(s.name)},
                                {"on_air", json()}};
    }
  }
  if (sources.app != nullptr) {
    for (const auto& [id, name] : sources.app->Services()) {
      json& s = services[id];
      s["service_id"] = id;
      if (!name.empty()) s["name"] = Utf8(name);
      if (!s.contains("on_air")) s["on_air"] = json();
    }
  }
  if (guide) {
    const GuideTime now = Now();
    for (const GuideEvent& e : guide->Events(now, now + 1, false)) {
      const auto it = services.find(e.key.service_id);
      if (it != services.end() && e.start <= now && (!e.HasEnd() || now < e.End())) {
        it->second["on_air"] = {{"event_id", e.key.event_id},
                                {"title", Utf8(e.title)},
                                {"start", ApiTime(e.start)},
                                {"end", e.HasEnd() ? json(ApiTime(e.End())) : json()}};
      }
    }
  }
  json list = json::array();
  for (auto& [id, s] : services) list.push_back(std::move(s));
  return ApiJson(200, {{"services", std::move(list)}});
}

HttpReply Guide(const HttpApiSources& sources, const HttpRequest& request) {
  const auto arg = [&request](const char* name) -> std::optional<std::string> {
    const auto it = request.query.find(name);
    if (it == request.query.end() || it->second.empty()) return std::nullopt;
    return it->second;
  };
  const GuideTime now = Now();
  GuideTime from = now, to = now + 86400;
  std::optional<uint32_t> service;
  if (const auto text = arg("service")) {
    service = ApiId(*text);
    if (!service || *service > 0xFFFF) return ApiError(422, "service: is not a service id 1-65535");
  }
  for (auto [name, value] : {std::pair("from", &from), std::pair("to", &to)}) {
    if (const auto text = arg(name)) {
      const std::optional<GuideTime> t = ParseApiTime(*text);
      if (!t) return ApiError(422, std::string(name) + ": is not a date-time YYYY-MM-DDTHH:MM[:SS]");
      *value = *t;
    }
  }
  if (to <= from || to - from > 8 * 86400) return ApiError(422, "to: is not after from, within 8 days");
  const std::optional<std::string> words = arg("q");
  std::vector<GuideEvent> events;
  {
    std::unique_ptr<RuleFiles> own;
    RuleFiles::Hold files = ApiFiles(sources, &own).Take();
    GuideStore* guide = files.Guide();
    if (!guide) return ApiError(404, "there is no programme guide yet");
    events = words ? guide->Search(*words, kSearchLimit) : guide->Events(from, to, true);
  }
  const std::vector<ScheduleItem> reservations = ReservationsNow(sources);
  // Written straight out: a day of a dense guide is thousands of programmes.
  auto body = std::make_shared<std::string>();
  body->reserve(64 + events.size() * 1024);
  body->append("{\"events\":[");
  std::string utf8;
  bool first = true;
  for (const GuideEvent& e : events) {
    if (service && e.key.service_id != *service) continue;
    // A search looks at what has not ended; a day's view at what overlaps it.
    if (words ? (e.HasEnd() ? e.End() <= now : e.start + 3600 <= now) : (e.start >= to || e.End() <= from))
      continue;
    if (!first) body->push_back(',');
    first = false;
    AppendEventJson(body.get(), e, ReservationOf(e, reservations), &utf8);
  }
  body->append("]}");
  return HttpReply{200, std::move(body), kTextType};
}

// What identifies reservation `item` as its list shows it: its start, or its event.
json ExpectJson(const ScheduleItem& item) {
  if (item.flags & SI_BY_EVENT)
    return {{"event", {{"service_id", item.service_id}, {"event_id", item.event_id}}}};
  return {{"start", InstantText(int64_t{item.start_day} * 86400 + item.start_second)}};
}

// The reservations and their plan, each event reservation with the time and title the guide gives
// it. Listed in the file's order, which the ids follow.
RecordingScheduler::PlannedList PlanNow(const HttpApiSources& sources) {
  OfflineSchedule s(nullptr, false, nullptr, 0, sources.files);
  RecordingScheduler::PlannedList planned;
  planned.items = s.scheduler().Reservations();
  return ProgrammeResolver(GuidePathOf(sources)).Resolve(std::move(planned));
}

HttpReply Reservations(const HttpApiSources& sources) {
  OfflineSchedule s(nullptr, false, nullptr, 0, sources.files);
  const std::vector<ScheduleItem> items = s.scheduler().Reservations();
  RecordingScheduler::PlannedList planned;
  planned.items = items;
  ProgrammeResolver guide(GuidePathOf(sources));
  const RecordingScheduler::PlannedList plan = guide.Resolve(std::move(planned));
  json list = json::array();
  for (size_t i = 0; i < items.size(); ++i) {
    const ScheduleItem& item = items[i];
    json r = json::parse(PlanJson(plan, i, guide.OfReservation(item).stale));
    r["id"] = i + 1;
    r["type"] = (item.flags & SI_BY_EVENT) ? "event" : "time";
    r["expect"] = ExpectJson(item);
    r["title"] = Utf8(GetText(plan.items[i].title));
    r["rule_id"] = item.rule_id ? json(item.rule_id) : json();
    r["event"] = (item.flags & SI_BY_EVENT)
                     ? json({{"service_id", item.service_id}, {"event_id", item.event_id}})
                     : json();
    list.push_back(std::move(r));
  }
  return ApiJson(200, {{"reservations", std::move(list)}});
}

HttpReply Plan(const HttpApiSources& sources) {
  const RecordingScheduler::PlannedList plan = PlanNow(sources);
  json list = json::array();
  for (size_t i = 0; i < plan.items.size(); ++i) list.push_back(json::parse(PlanJson(plan, i)));
  return ApiJson(200, {{"plan", std::move(list)}});
}

// The margins and priority of a body, as `schedule add` takes them; false with *error set.
bool ReadMarginsAndPriority(const json& body, ReservationRequest* request, HttpReply* error) {
  const SettingKey& before = SettingKeyOf(&Settings::schedule_margin_before);
  const SettingKey& after = SettingKeyOf(&Settings::schedule_margin_after);
  request->margin_before = ApiInteger(body, "margin_before", before.min, before.max, error);
  request->margin_after = ApiInteger(body, "margin_after", after.min, after.max, error);
  request->priority = ApiInteger(body, "priority", kMinPriority, kMaxPriority, error);
  return error->status == 0;
}

HttpReply AddReservation(const HttpApiSources& sources, const HttpRequest& http) {
  HttpReply error{0, nullptr, ""};
  const std::optional<json> body = ApiBody(http, &error);
  if (!body) return error;
  ReservationRequest request;
  if (body->contains("event")) {
    const json& event = (*body)["event"];
    if (!event.is_object()) return ApiError(422, "event: is not an object with service_id and event_id");
    const auto sid = ApiInteger(event, "service_id", 0, 0xFFFF, &error);
    const auto eid = ApiInteger(event, "event_id", 0, 0xFFFF, &error);
    if (error.status != 0) return error;
    if (!sid || !eid) return ApiError(422, "event: is not SERVICE:EVENT, each 0-65535");
    request.event = std::make_pair(static_cast<uint16_t>(*sid), static_cast<uint16_t>(*eid));
  }
  const std::optional<std::string> start = ApiString(*body, "start", &error);
  request.minutes = ApiInteger(*body, "minutes", 1, kMaxRecordSeconds / 60, &error);
  request.service = ApiInteger(*body, "service_id", 0, 0xFFFF, &error);
  const std::optional<bool> force = ApiBool(*body, "force", &error);
  if (!ReadMarginsAndPriority(*body, &request, &error)) return error;
  if (start) {
    const char* problem = nullptr;
    request.start = ParseDateTimeText(start->c_str(), &problem);
    if (!request.start) return ApiError(422, "start: " + std::string(problem));
  }
  if (request.start.has_value() == request.event.has_value())
    return ApiError(422, "give either start with minutes, or event");
  if (request.start && !request.minutes)
    return ApiError(422, "start needs minutes, the length of the recording");
  if (request.event && (request.minutes || request.service))
    return ApiError(
        422, "an event reservation records the event's service and takes only the margins and priority");

  const Settings settings = LoadedSettings(sources.files.settings);
  std::string why;
  const std::optional<std::string> directory = ReservationDirectory(request, settings, &why);
  if (!directory) return ApiError(422, why);
  const std::optional<ScheduleItem> item =
      BuildReservation(request, *directory, settings, &why, sources.guide_path);
  if (!item) return ApiError(422, why);
  const bool overlap_ok = force.value_or(false);
  OfflineSchedule s([overlap_ok] { return overlap_ok; }, true, nullptr, kLockWaitMs, sources.files);
  if (!s.locked) return ApiError(503, s.LockedText());
  if (const std::optional<size_t> i = SameEventReservation(s.scheduler().Reservations(), *item)) {
    return ApiError(409, "not added: reservation " + std::to_string(*i + 1) + " is for this event already");
  }
  if (s.scheduler().StoreItem(*item, -1) == 0)
    return ApiError(409, "not added (overlaps another reservation)");
  if (!s.scheduler().SaveSchedule()) return ApiError(500, "cannot write " + s.path);
  return ApiJson(201, {{"added", {{"title", Utf8(GetText(item->title))}, {"expect", ExpectJson(*item)}}}});
}

// Reservation `id` of the locked list if it is still the one `expect` of the body names; else
// nullopt with *error (404, 409, 422).
std::optional<size_t> Expected(RecordingScheduler& scheduler, uint32_t id, const json& body,
                               HttpReply* error) {
  const std::vector<ScheduleItem> items = scheduler.Reservations();
  if (id == 0 || id > items.size()) {
    *error = ApiError(404, "there is no reservation " + std::to_string(id));
    return std::nullopt;
  }
  if (!body.contains("expect") || !body["expect"].is_object()) {
    *error =
        ApiError(422, "expect: give the start or the event reservation " + std::to_string(id) + " must have");
    return std::nullopt;
  }
  const ScheduleItem& item = items[id - 1];
  if (body["expect"] != ExpectJson(item)) {
    *error = ApiError(409, "reservation " + std::to_string(id) +
                               " is not the one expected (the list has changed?): "
                               "nothing changed");
    return std::nullopt;
  }
  return id - 1;
}

HttpReply ChangeReservation(const HttpApiSources& sources, const HttpRequest& http, uint32_t id) {
  HttpReply error{0, nullptr, ""};
  const std::optional<json> body = ApiBody(http, &error);
  if (!body) return error;
  ReservationRequest request;
  const std::optional<bool> series = ApiBool(*body, "series", &error);
  if (!ReadMarginsAndPriority(*body, &request, &error)) return error;
  OfflineSchedule s([] { return false; }, true, nullptr, kLockWaitMs, sources.files);
  if (!s.locked) return ApiError(503, s.LockedText());
  const std::optional<size_t> index = Expected(s.scheduler(), id, *body, &error);
  if (!index) return error;
  if (http.method == "DELETE") {
    if (s.scheduler().DeleteItem(static_cast<int>(*index), !series.value_or(false)) == 0) {
      return ApiError(409, "the reservation cannot be removed");
    }
  } else {
    ScheduleItem item = s.scheduler().Reservations()[*index];
    if (request.margin_before) item.margin_before = static_cast<uint16_t>(*request.margin_before);
    if (request.margin_after) item.margin_after = static_cast<uint16_t>(*request.margin_after);
    if (request.priority) item.priority = static_cast<uint8_t>(*request.priority);
    if (s.scheduler().StoreItem(item, static_cast<int>(*index)) == 0) {
      return ApiError(409, "not changed (overlaps another reservation)");
    }
  }
  if (!s.scheduler().SaveSchedule()) return ApiError(500, "cannot write " + s.path);
  return ApiJson(200, {{"done", true}});
}

}  // namespace

RuleFiles& ApiFiles(const HttpApiSources& sources, std::unique_ptr<RuleFiles>* own) {
  if (sources.rule_files != nullptr) return *sources.rule_files;
  *own = std::make_unique<RuleFiles>(sources.rules_path.empty() ? RulesPath() : sources.rules_path,
                                     GuidePathOf(sources));
  return **own;
}

HttpReply ApiJson(unsigned status, const json& body) {
  // Texts of a damaged file are not to stop the answer: a byte that is no UTF-8 is replaced.
  return HttpReply{
      status, std::make_shared<const std::string>(body.dump(-1, ' ', false, json::error_handler_t::replace)),
      kTextType};
}

HttpReply ApiError(unsigned status, const std::string& text) {
  return ApiJson(status, {{"error", text}});
}

std::optional<json> ApiBody(const HttpRequest& request, HttpReply* error) {
  json body = json::parse(request.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    *error = ApiError(400, "the body is not a JSON object");
    return std::nullopt;
  }
  return body;
}

std::optional<int64_t> ApiInteger(const json& object, const char* name, int64_t min, int64_t max,
                                  HttpReply* error) {
  const auto it = object.find(name);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (!it->is_number_integer() || it->get<int64_t>() < min || it->get<int64_t>() > max ||
      (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(max))) {
    if (error->status == 0) {
      *error = ApiError(
          422, std::string(name) + ": is not a number " + std::to_string(min) + "-" + std::to_string(max));
    }
    return std::nullopt;
  }
  return it->get<int64_t>();
}

std::optional<std::string> ApiString(const json& object, const char* name, HttpReply* error) {
  const auto it = object.find(name);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) {
    if (error->status == 0) *error = ApiError(422, std::string(name) + ": is not a text");
    return std::nullopt;
  }
  return it->get<std::string>();
}

std::optional<bool> ApiBool(const json& object, const char* name, HttpReply* error) {
  const auto it = object.find(name);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (!it->is_boolean()) {
    if (error->status == 0) *error = ApiError(422, std::string(name) + ": is not true or false");
    return std::nullopt;
  }
  return it->get<bool>();
}

std::string ApiTime(int64_t instant) {
  return InstantText(instant, 'T') + "+09:00";
}

std::optional<uint32_t> ApiId(std::string_view text) {
  if (text.empty() || text.size() > 9 || text.front() == '0') return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value;
}

HttpReply AnswerApi(const HttpApiSources& sources, const HttpRequest& request) {
  const std::string& path = request.path;
  const bool get = request.method == "GET";
  if (path == "/api/status" && get) {
    return HttpReply{200, std::make_shared<const std::string>(sources.status ? sources.status() : "{}"),
                     kTextType};
  }
  if (path == "/api/services" && get) return Services(sources);
  if (path == "/api/live" && get) {
    return ApiJson(200,
                   {{"view_token", sources.app != nullptr ? sources.app->http_view_token() : std::string()}});
  }
  if (path == "/api/guide" && get) return Guide(sources, request);
  if (path == "/api/plan" && get) return Plan(sources);
  if (path == "/api/reservations") {
    if (get) return Reservations(sources);
    if (request.method == "POST") return AddReservation(sources, request);
    return ApiError(405, "not a method of " + path);
  }
  constexpr std::string_view kOne = "/api/reservations/";
  if (path.starts_with(kOne)) {
    const std::optional<uint32_t> id = ApiId(std::string_view(path).substr(kOne.size()));
    if (!id) return ApiError(404, "not found");
    if (request.method == "PUT" || request.method == "DELETE")
      return ChangeReservation(sources, request, *id);
    return ApiError(405, "not a method of " + path);
  }
  constexpr std::string_view kRules = "/api/rules";
  if (path == kRules || path.starts_with("/api/rules/")) {
    return AnswerRuleApi(sources, request, std::string_view(path).substr(kRules.size()));
  }
  constexpr std::string_view kRecordings = "/api/recordings";
  if (path == kRecordings || path.starts_with("/api/recordings/")) {
    if (!sources.library) return ApiError(404, "this program keeps no recordings catalogue");
    return sources.library->AnswerApi(request, std::string_view(path).substr(kRecordings.size()));
  }
  return ApiError(404, "not found");
}

}  // namespace pelkan
