// The automatic reservation rules' part of the web page's API: the rule list window's rows, its
// edit dialog's checks (BuildRule) and its changes through RuleDesk, and after a change the run
// `pelkan-cli rule add` makes, so that the rule's reservations are there at once.
#include <memory>
#include <vector>

#include "app/http_api.h"
#include "app/offline_schedule.h"
#include "app/rule_desk.h"
#include "app/rule_files.h"
#include "app/rule_window_rules.h"
#include "guide/guide_store.h"
#include "platform/broadcast_text.h"
#include "rules/rule_evaluation.h"
#include "rules/rule_runner.h"
#include "rules/rule_store.h"

namespace pelkan {

using nlohmann::json;

namespace {

constexpr uint32_t kLockWaitMs = 3000;

GuideTime Now() {
  return ToGuideTime(JapanTimeNow());
}

json RuleJson(RuleDesk& desk, const ReservationRule& rule) {
  const RuleForm form = FormFromRule(rule);
  const size_t count = desk.ReservationsOf(rule.id);
  const RuleRow row = RuleRowOf(rule, desk.Test(rule), count, desk.NameFn());
  return {
      {"id", rule.id},
      {"name", rule.name},
      {"enabled", rule.enabled},
      {"words", form.words},
      {"exclude", form.exclude},
      {"regex", rule.regex},
      {"in", std::string(TextScopeName(rule.scope))},
      {"services", rule.services},
      {"priority", rule.priority},
      {"margin_before", rule.margin_before},
      {"margin_after", rule.margin_after},
      {"dedup", std::string(DedupName(rule.dedup))},
      {"free_only", rule.free_only},
      {"time", form.time_window},
      {"reservations", count},
      {"row", {{"words", row.words}, {"services", row.services}, {"next", row.next}, {"count", row.count}}}};
}

json MatchesJson(RuleDesk& desk, const ReservationRule& rule) {
  json list = json::array();
  // Marked "番組情報が古い" as the rule window marks its matches.
  const StaleFn stale = desk.StaleNow();
  for (const RuleMatch& m : desk.Test(rule)) {
    const RuleMatchRow row = RuleMatchRowOf(m, desk.NameFn(), stale);
    list.push_back({{"service_id", m.event->key.service_id},
                    {"event_id", m.event->key.event_id},
                    {"start", ApiTime(m.event->start)},
                    {"title", platform::BroadcastToUtf8(m.event->title)},
                    {"verdict", std::string(RuleVerdictName(m.verdict))},
                    {"reason", RuleMatchReason(m)},
                    {"row",
                     {{"when", row.when},
                      {"service", row.service},
                      {"verdict", row.verdict},
                      {"suppressed", row.suppressed}}}});
  }
  return list;
}

// The rule a body gives over `base`, checked as the edit dialog checks it; nullopt with *error.
std::optional<ReservationRule> RuleOfBody(const json& body, const ReservationRule& base, HttpReply* error) {
  RuleForm form = FormFromRule(base);
  ReservationRule& r = form.rule;
  if (auto v = ApiString(body, "name", error)) r.name = *v;
  if (auto v = ApiString(body, "words", error)) form.words = *v;
  if (auto v = ApiString(body, "exclude", error)) form.exclude = *v;
  if (auto v = ApiString(body, "regex", error)) r.regex = *v;
  if (auto v = ApiString(body, "time", error)) form.time_window = *v;
  if (auto v = ApiBool(body, "enabled", error)) r.enabled = *v;
  if (auto v = ApiBool(body, "free_only", error)) r.free_only = *v;
  if (auto v = ApiInteger(body, "priority", kMinPriority, kMaxPriority, error))
    r.priority = static_cast<uint8_t>(*v);
  if (auto v = ApiInteger(body, "margin_before", 0, kMaxMarginSeconds, error))
    r.margin_before = static_cast<uint16_t>(*v);
  if (auto v = ApiInteger(body, "margin_after", 0, kMaxMarginSeconds, error))
    r.margin_after = static_cast<uint16_t>(*v);
  if (auto v = ApiString(body, "in", error)) {
    const auto scope = ParseTextScope(*v);
    if (!scope && error->status == 0) *error = ApiError(422, "in: is not title, description or all");
    if (scope) r.scope = *scope;
  }
  if (auto v = ApiString(body, "dedup", error)) {
    const auto dedup = ParseDedup(*v);
    if (!dedup && error->status == 0) *error = ApiError(422, "dedup: is not episode, title or off");
    if (dedup) r.dedup = *dedup;
  }
  if (body.contains("services") && !body["services"].is_null()) {
    const json& services = body["services"];
    r.services.clear();
    bool ok = services.is_array();
    for (const json& s : ok ? services : json::array()) {
      ok = ok && s.is_number_integer() && s.get<int64_t>() >= 0 && s.get<int64_t>() <= 0xFFFF;
      if (ok) r.services.push_back(static_cast<uint16_t>(s.get<int64_t>()));
    }
    if (!ok && error->status == 0) *error = ApiError(422, "services: is not a list of service ids");
  }
  if (error->status != 0) return std::nullopt;
  RuleFormCheck check = BuildRule(form);
  if (!check.rule) {
    *error = ApiError(422, check.message);
    return std::nullopt;
  }
  return check.rule;
}

// Runs the rules over the guide now, as `pelkan-cli rule add` does after storing one.
json RunNow(RuleFiles& files, RecordingScheduler& scheduler) {
  RuleFiles::Hold hold = files.Take();
  RuleStore* store = hold.Rules();
  GuideStore* guide = hold.Guide();
  if (!store || !guide) return json();
  const RuleRunResult r = RunRules(*store, *guide, scheduler, Now(), kLockWaitMs);
  return r.locked ? json(r.reserved) : json();
}

}  // namespace

HttpReply AnswerRuleApi(const HttpApiSources& sources, const HttpRequest& request, std::string_view path) {
  OfflineSchedule schedule(nullptr, false, nullptr, 0, sources.files);
  std::unique_ptr<RuleFiles> own;
  RuleFiles& files = ApiFiles(sources, &own);
  RuleDesk desk(schedule.scheduler(), files, Now);
  desk.Refresh(true);
  HttpReply error{0, nullptr, ""};
  const std::string& method = request.method;

  if (path.empty() || path == "/") {
    if (method == "GET") {
      json list = json::array();
      for (const ReservationRule& r : desk.Rules()) list.push_back(RuleJson(desk, r));
      return ApiJson(200, {{"rules", std::move(list)}});
    }
    if (method != "POST") return ApiError(405, "not a method of /api/rules");
    const std::optional<json> body = ApiBody(request, &error);
    if (!body) return error;
    std::optional<ReservationRule> rule = RuleOfBody(*body, ReservationRule{}, &error);
    if (!rule) return error;
    rule->id = desk.Save(*rule);
    if (rule->id == 0) return ApiError(500, "cannot write " + sources.rules_path);
    const json reserved = RunNow(files, schedule.scheduler());
    desk.Refresh(true);
    return ApiJson(201, {{"rule", RuleJson(desk, *rule)}, {"reserved", reserved}});
  }
  // A draft ("この番組で自動予約を作成", "検索条件で自動予約を作成") and the matches of a rule not stored.
  if (path == "/draft" && method == "GET") {
    const auto q = request.query.find("q");
    const auto sid = request.query.find("service_id");
    const auto eid = request.query.find("event_id");
    ReservationRule draft;
    if (q != request.query.end()) {
      draft = RuleFromSearch(q->second);
    } else if (sid != request.query.end() && eid != request.query.end()) {
      const auto s = ApiId(sid->second), e = ApiId(eid->second);
      std::vector<GuideEvent> found;
      {
        RuleFiles::Hold hold = files.Take();
        GuideStore* guide = hold.Guide();
        if (s && e && guide)
          found = guide->FindByServiceEvent(static_cast<uint16_t>(*s), static_cast<uint16_t>(*e));
      }
      if (found.empty()) return ApiError(404, "the guide has no such programme");
      draft = RuleFromProgramme(found.front());
    } else {
      return ApiError(422, "give q, or service_id and event_id");
    }
    json out = RuleJson(desk, draft);
    out["matches"] = MatchesJson(desk, draft);
    return ApiJson(200, out);
  }
  if (path == "/test" && method == "POST") {
    const std::optional<json> body = ApiBody(request, &error);
    if (!body) return error;
    const std::optional<ReservationRule> rule = RuleOfBody(*body, ReservationRule{}, &error);
    if (!rule) return error;
    return ApiJson(200, {{"matches", MatchesJson(desk, *rule)}});
  }

  // /ID and /ID/test
  std::string_view rest = path.substr(1);
  const bool test = rest.ends_with("/test");
  if (test) rest.remove_suffix(5);
  const std::optional<uint32_t> id = ApiId(rest);
  if (!id) return ApiError(404, "not found");
  const std::vector<ReservationRule> rules = desk.Rules();
  const auto it =
      std::find_if(rules.begin(), rules.end(), [&](const ReservationRule& r) { return r.id == *id; });
  if (it == rules.end()) return ApiError(404, "no rule " + std::to_string(*id));
  if (test) {
    if (method != "GET") return ApiError(405, "not a method of a rule's test");
    return ApiJson(200, {{"matches", MatchesJson(desk, *it)}});
  }
  if (method == "GET") return ApiJson(200, {{"rule", RuleJson(desk, *it)}});
  if (method == "PUT") {
    const std::optional<json> body = ApiBody(request, &error);
    if (!body) return error;
    std::optional<ReservationRule> rule = RuleOfBody(*body, *it, &error);
    if (!rule) return error;
    rule->id = *id;
    if (desk.Save(*rule) == 0) return ApiError(500, "cannot write " + sources.rules_path);
    const json reserved = RunNow(files, schedule.scheduler());
    desk.Refresh(true);
    return ApiJson(200, {{"rule", RuleJson(desk, *rule)}, {"reserved", reserved}});
  }
  if (method == "DELETE") {
    const std::optional<json> body = ApiBody(request, &error);
    if (!body) return error;
    const std::optional<bool> keep = ApiBool(*body, "keep_reservations", &error);
    if (error.status != 0) return error;
    if (!desk.Remove(*id, !keep.value_or(false))) return ApiError(503, schedule.LockedText());
    return ApiJson(200, {{"done", true}});
  }
  return ApiError(405, "not a method of a rule");
}

}  // namespace pelkan
