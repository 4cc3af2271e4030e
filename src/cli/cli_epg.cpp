// pelkan-cli epg: the programme guide of epg.sqlite as a text table, JSON or XMLTV, optionally
// after taking in the programme information of a recorded stream.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_commands.h"
#include "app/json_text.h"
#include "cli/one_line_text.h"
#include "cli/option_parser.h"
#include "app/settings.h"
#include "cli/stream_feed.h"
#include "base/capture_stats.h"
#include "base/mjd_time.h"
#include "guide/broadcast_text.h"
#include "guide/guide_collector.h"
#include "guide/guide_store.h"
#include "guide/guide_texts.h"
#include "guide/xmltv_document.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "ts/stream_check.h"
#include "ts/ts_processor.h"

namespace pelkan::cli {
namespace {

constexpr char kName[] = "pelkan-cli epg";
// More programmes than any guide holds: eight days of a hundred services at one a minute.
constexpr size_t kSearchLimit = 1'200'000;

enum class Format { kText, kJson, kXmltv };

struct Options {
  Format format = Format::kText;
  std::optional<uint16_t> service;
  std::optional<std::string> search;
  std::optional<std::string> from;
  bool plain_symbols = false;
  bool excluded = false;  // both --json and --xmltv
};

// Words a search may hold: each word under three characters is one more condition of the query,
// and far more than anyone types would go past what the database takes in one query.
constexpr size_t kMaxSearchWords = 64;

// Whether `text` is well-formed UTF-8 (no stray or missing continuation bytes, no overlong form,
// no surrogate, nothing past U+10FFFF).
bool IsUtf8(std::string_view text) {
  size_t length = 0;
  for (size_t i = 0; i < text.size(); i += length) {
    if (!platform::NextUtf8Char(text.substr(i), &length)) return false;
  }
  return true;
}

// Why a search text is refused, or the empty text.
std::string SearchProblem(const std::string& words) {
  if (!IsUtf8(words)) return "is not UTF-8 text";
  size_t count = 0;
  for (size_t pos = 0; pos < words.size();) {
    const size_t end = std::min(words.find_first_of(" \t", pos), words.size());
    if (end > pos) ++count;
    pos = end + 1;
  }
  if (count > kMaxSearchWords) return "is too long: at most " + std::to_string(kMaxSearchWords) + " words";
  return std::string();
}

// Declares the options of `o`.
void Declare(OptionParser& parser, Options* o) {
  auto format = [o](Format f) {
    return [o, f] {
      if (o->format != Format::kText && o->format != f) o->excluded = true;
      o->format = f;
    };
  };
  parser.Flag("--json",
              "{\"events\": [{\"service_id\", \"event_id\", \"start\", \"duration\", \"title\",\n"
              "\"description\", \"extended\", \"genre\"}]}; duration in seconds, null when\n"
              "the broadcast leaves it open",
              format(Format::kJson));
  parser.Flag("--xmltv",
              "an XMLTV document: the services as channels, the programmes with times in\n"
              "JST (+0900), title, description and the genre as category",
              format(Format::kXmltv));
  parser.Number("--service ID", "only this service (decimal, or hexadecimal with 0x)", 0, 0xFFFF, &o->service);
  parser.Value("--search WORDS",
               "only programmes whose title, description or extended text holds every\n"
               "word (separated by spaces, at most 64 words of UTF-8 text), by start time",
               [o](const std::string& words) {
                 o->search = words;
                 return SearchProblem(words);
               });
  parser.Value("--from FILE.ts",
               "first take the programme information of a recorded stream into\n"
               "epg.sqlite ('-' reads standard input)",
               [o](const std::string& file) {
                 if (file.empty()) return std::string("is not a file name");
                 o->from = file;
                 return std::string();
               });
  parser.Flag("--plain-symbols", "write the broadcast's symbols in a plain form", &o->plain_symbols);
}

// Runs the stream of `path` through a processor into the guide's collector. False (after a
// message) when the file cannot be read or the guide cannot be written.
bool TakeIn(const char* path) {
  const bool use_stdin = std::strcmp(path, "-") == 0;
  FILE* in = use_stdin ? stdin : std::fopen(path, "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "%s: cannot open '%s': %s\n", kName, path, std::strerror(errno));
    return false;
  }
  bool read_error = false;
  std::string not_a_stream;
  GuideCollector collector(GuidePath(), [](const std::string& notice) {
    std::fprintf(stderr, "%s: %s\n", kName, platform::SjisToUtf8(notice).c_str());
  });
  {
    TsProcessor processor;
    processor.SetDecodePsi(1);
    processor.SetProcessEpg(1);
    processor.SetPacketEvents(0);
    processor.SetEventHandler(&GuideCollector::OnTsEvent, &collector);
    CaptureStats stats;
    uint64_t bytes_read = 0;
    read_error = !FeedStream(in, processor, stats, &bytes_read);
    not_a_stream = NotAStreamText(processor.packet_count(), stats.packet_size.load(), bytes_read);
  }
  if (!use_stdin) std::fclose(in);
  collector.Flush();
  const GuideCollector::Stats stats = collector.GetStats();
  if (read_error) {
    std::fprintf(stderr, "%s: read error on %s\n", kName, path);
    return false;
  }
  if (!not_a_stream.empty()) {
    std::fprintf(stderr, "%s: %s %s\n", kName, use_stdin ? "(standard input)" : path, not_a_stream.c_str());
    return false;
  }
  if (!stats.store_open) {
    std::fprintf(stderr, "%s: cannot write the programme guide: %s\n", kName, stats.error.c_str());
    return false;
  }
  if (stats.dropped > 0) {
    // A file's sections do not come round again: what could not be written is lost to the guide.
    std::fprintf(stderr, "%s: %llu sections could not be written to the guide\n", kName,
                 static_cast<unsigned long long>(stats.dropped));
    return false;
  }
  return true;
}

// "YYYY-MM-DD" + separator + "HH:MM" (+ ":SS" when `seconds`).
std::string TimeText(GuideTime t, char separator, bool seconds) {
  int year = 0, month = 0, day = 0;
  MjdToDate(static_cast<uint32_t>(t / 86400), &year, &month, &day);
  const int s = static_cast<int>(t % 86400);
  char text[40];
  if (seconds) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d", year, month, day, separator, s / 3600,
                  s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d", year, month, day, separator, s / 3600,
                  s / 60 % 60);
  }
  return text;
}

uint64_t ServiceKey(uint16_t onid, uint16_t tsid, uint16_t sid) {
  return uint64_t{onid} << 32 | uint64_t{tsid} << 16 | sid;
}

// A guide that is not there yet (no file, or one without a service): how to get one.
void TellNoGuide(const std::string& path) {
  std::fprintf(stderr,
               "%s: no programme guide yet (%s). It is filled while a capture runs with DECODE_PSI=1\n"
               "and PROC_EPG=1 in [Pelkan_Q_PSI] of pelkan.ini (a new home of the desktop program has\n"
               "them), or for one run by 'pelkan-cli capture --epg --seconds 60' (a minute of broadcast\n"
               "brings the whole schedule); 'pelkan-cli epg --from FILE.ts' takes a recording's.\n",
               kName, path.c_str());
}

class Printer {
 public:
  Printer(const Options& o, const std::vector<GuideService>& services) : o_(o), services_list_(services) {
    for (const GuideService& s : services)
      services_[ServiceKey(s.original_network_id, s.transport_stream_id, s.service_id)] = &s;
  }

  void Print(const std::vector<GuideEvent>& events) {
    switch (o_.format) {
      case Format::kText:
        Text(events);
        break;
      case Format::kJson:
        Json(events);
        break;
      case Format::kXmltv:
        Xmltv(events);
        break;
    }
  }

 private:
  std::string Utf8(const std::string& sjis) const { return BroadcastTextUtf8(sjis, o_.plain_symbols); }
  const GuideService* Service(const GuideEventKey& k) const {
    auto it = services_.find(ServiceKey(k.original_network_id, k.transport_stream_id, k.service_id));
    return it == services_.end() ? nullptr : it->second;
  }
  std::string ServiceName(const GuideEventKey& k) const {
    const GuideService* s = Service(k);
    return s ? Utf8(s->name) : std::string();
  }

  void Text(const std::vector<GuideEvent>& events) const {
    uint64_t shown = ~uint64_t{0};
    for (const GuideEvent& e : events) {
      const uint64_t key = ServiceKey(e.key.original_network_id, e.key.transport_stream_id, e.key.service_id);
      if (!o_.search && key != shown) {
        const GuideService* s = Service(e.key);
        std::printf("%sservice %u %s (%s)\n", shown == ~uint64_t{0} ? "" : "\n", e.key.service_id,
                    OneLineText(ServiceName(e.key)).c_str(),
                    Utf8(guide_text::CompletionText(s ? s->complete_at : -1)).c_str());
        shown = key;
      }
      const std::string end = e.HasEnd() ? TimeText(e.End(), ' ', false).substr(11) : std::string("--:--");
      std::string line = TimeText(e.start, ' ', false) + "-" + end + "  " + std::to_string(e.key.service_id) +
                         ":" + std::to_string(e.key.event_id) + "  " +
                         Utf8(std::string(guide_text::GenreName(e.genre))) + "  ";
      if (o_.search) line += OneLineText(ServiceName(e.key)) + "  ";
      std::printf("%s%s\n", line.c_str(), OneLineText(Utf8(e.title)).c_str());
    }
  }

  void Json(const std::vector<GuideEvent>& events) const {
    std::string out = "{\"events\": [";
    for (size_t i = 0; i < events.size(); ++i) {
      const GuideEvent& e = events[i];
      out += i ? ",\n  " : "\n  ";
      out += "{\"service_id\": " + std::to_string(e.key.service_id) +
             ", \"event_id\": " + std::to_string(e.key.event_id) +
             ", \"start\": " + JsonString(TimeText(e.start, 'T', true) + "+09:00") +
             ", \"duration\": " + (e.HasEnd() ? std::to_string(e.duration) : std::string("null")) +
             ", \"title\": " + JsonString(Utf8(e.title)) +
             ", \"description\": " + JsonString(Utf8(e.description)) +
             ", \"extended\": " + JsonString(Utf8(e.extended)) + ", \"genre\": " +
             (e.genre < 0 ? std::string("null")
                          : JsonString(Utf8(std::string(guide_text::GenreName(e.genre))))) +
             "}";
    }
    out += events.empty() ? "]}\n" : "\n]}\n";
    std::fputs(out.c_str(), stdout);
  }

  void Xmltv(const std::vector<GuideEvent>& events) const {
    std::fputs(XmltvDocument(events, services_list_, o_.plain_symbols).c_str(), stdout);
  }

  const Options& o_;
  const std::vector<GuideService>& services_list_;
  std::map<uint64_t, const GuideService*> services_;
};

}  // namespace

int RunEpg(int argc, char** argv) {
  Options o;
  OptionParser parser(
      kName,
      "Usage: pelkan-cli epg [--json | --xmltv] [--service ID] [--search WORDS] [--from FILE.ts]\n"
      "                      [--plain-symbols]\n"
      "Prints the programme guide: epg.sqlite beside pelkan.ini in the current directory, which the\n"
      "desktop program and 'pelkan-cli capture' fill while PROC_EPG=1 in [Pelkan_Q_PSI] (or with\n"
      "'pelkan-cli capture --epg'), from the stream's eight-day schedule.\n"
      "Every programme that has not ended more than a day ago, by service and start time.\n\n",
      "\nA programme is SERVICE:EVENT in the text table, as 'pelkan-cli schedule add --event' takes it.\n"
      "Exit codes: 0 done, 1 no guide, or a --from file that cannot be read or is no transport\n"
      "stream, 2 bad arguments.\n",
      19);
  Declare(parser, &o);
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  if (o.excluded) return parser.Fail("--json and --xmltv exclude each other");
  if (o.from && !TakeIn(o.from->c_str())) return 1;

  const std::string path = GuidePath();
  std::error_code exists_error;
  if (!std::filesystem::exists(path, exists_error)) {
    TellNoGuide(path);
    return 1;
  }
  std::string notice, error;
  std::unique_ptr<GuideStore> store = GuideStore::Open(path, GuideStore::Access::kRead, true, &notice, &error);
  if (!notice.empty()) std::fprintf(stderr, "%s: %s\n", kName, platform::SjisToUtf8(notice).c_str());
  if (!store) {
    std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return 1;
  }
  if (store->Services().empty() && store->LastErrorCode() == 0) {
    TellNoGuide(path);
    return 1;
  }
  std::vector<GuideEvent> events = o.search ? store->Search(*o.search, kSearchLimit)
                                            : store->Events(0, GuideTime{0x7FFFFFFF} * 86400, true);
  if (o.service) std::erase_if(events, [&o](const GuideEvent& e) { return e.key.service_id != *o.service; });
  // A start on MJD day 0 is no date (a broadcast that left it out): such an event has no place in
  // a guide by time.
  std::erase_if(events, [](const GuideEvent& e) { return e.start < 86400; });
  if (store->LastErrorCode() != 0) {
    std::fprintf(stderr, "%s: %s\n", kName, platform::SjisToUtf8(guide_text::kReadError).c_str());
    return 1;
  }
  Printer(o, store->Services()).Print(events);
  return 0;
}

}  // namespace pelkan::cli
