#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "app/offline_schedule.h"
#include "output/http_reply.h"
#include "output/http_request.h"

namespace pelkan {

class CaptureApp;
class HttpLibrary;
class RuleFiles;

// What the API reads and changes.
struct HttpApiSources {
  const CaptureApp* app = nullptr;      // the capture: its services' names (may be null)
  std::function<std::string()> status;  // the status as JSON
  std::string guide_path;
  std::string rules_path;
  OfflineSchedule::Files files;  // schedule.ini and pelkan.ini (empty: the home's)
  // The rules' and guide's files the session's other users share; null: the API opens its own.
  RuleFiles* rule_files = nullptr;
  // The recordings' catalogue (/api/recordings); null: none.
  std::shared_ptr<HttpLibrary> library = nullptr;
};

// The rules' and guide's files of `sources`: the session's shared ones, else `own`, opened here.
RuleFiles& ApiFiles(const HttpApiSources& sources, std::unique_ptr<RuleFiles>* own);

// The JSON API the web page uses, under /api/ (the request has passed the access rules):
//   GET  /api/status, /api/services, /api/guide?service=&from=&to=&q=, /api/plan, /api/live (the
//        view token the page's links to the stream carry)
//   GET  /api/reservations; POST it; PUT and DELETE /api/reservations/N with `expect`, what
//        reservation N must be (its start, or its event), as `schedule remove N --expect-start`
//   GET  /api/rules; POST it; PUT and DELETE /api/rules/ID; GET /api/rules/ID/test and POST
//        /api/rules/test (a rule not stored) with the matches and their verdicts
//   /api/recordings: the recordings' catalogue (HttpLibrary)
// Changes take the reservation file's lock (OfflineSchedule) and the rules file as the windows
// and `pelkan-cli` do, with their refusals and texts. Errors are {"error": "..."}: 400 for a body
// that is no JSON object, 404 for what is not there, 409 when the list changed meanwhile or the
// change conflicts with a reservation, 422 for a field of the wrong type or range, 503 while
// the reservation file is locked. Document thread; any number at once.
HttpReply AnswerApi(const HttpApiSources& sources, const HttpRequest& request);

// The automatic reservation rules' part of the API (`path` after "/api/rules").
HttpReply AnswerRuleApi(const HttpApiSources& sources, const HttpRequest& request, std::string_view path);

// Answers of the API.
HttpReply ApiJson(unsigned status, const nlohmann::json& body);
HttpReply ApiError(unsigned status, const std::string& text);

// A request body's JSON object; nullopt, with *error set to the 400 answer, when it is none.
std::optional<nlohmann::json> ApiBody(const HttpRequest& request, HttpReply* error);

// A field of a JSON object read as the command line reads the option: an integer within
// [min, max], a string, a boolean. nullopt when absent (or null); *error set (422) when it is there
// but of another type or out of range.
std::optional<int64_t> ApiInteger(const nlohmann::json& object, const char* name, int64_t min, int64_t max,
                                  HttpReply* error);
std::optional<std::string> ApiString(const nlohmann::json& object, const char* name, HttpReply* error);
std::optional<bool> ApiBool(const nlohmann::json& object, const char* name, HttpReply* error);

// "YYYY-MM-DDTHH:MM:SS+09:00" of a broadcast instant (seconds since MJD 0, JST).
std::string ApiTime(int64_t instant);

// The positive decimal number of `text`, nullopt for anything else.
std::optional<uint32_t> ApiId(std::string_view text);

}  // namespace pelkan
