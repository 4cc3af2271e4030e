#include "guide/xmltv_document.h"

#include <cstdio>
#include <map>
#include <set>

#include "base/mjd_time.h"
#include "guide/broadcast_text.h"
#include "guide/guide_texts.h"

namespace pelkan {

namespace {

uint64_t ServiceKey(uint16_t onid, uint16_t tsid, uint16_t sid) {
  return uint64_t{onid} << 32 | uint64_t{tsid} << 16 | sid;
}

}  // namespace

std::string XmlText(const std::string& utf8) {
  std::string out;
  for (unsigned char c : utf8) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        if (c >= 0x20 || c == '\n') out += static_cast<char>(c);
    }
  }
  return out;
}

std::string XmltvTime(GuideTime t) {
  int year = 0, month = 0, day = 0;
  MjdToDate(static_cast<uint32_t>(t / 86400), &year, &month, &day);
  const int s = static_cast<int>(t % 86400);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d +0900", year, month, day, s / 3600, s / 60 % 60,
                s % 60);
  return text;
}

std::string XmltvChannelId(uint16_t service_id, uint16_t transport_stream_id, uint16_t original_network_id) {
  char text[48];
  std::snprintf(text, sizeof text, "%u.%x.%x.pelkan", service_id, transport_stream_id, original_network_id);
  return text;
}

std::string XmltvDocument(const std::vector<GuideEvent>& events, const std::vector<GuideService>& services,
                          bool plain_symbols) {
  auto utf8 = [plain_symbols](const std::string& sjis) { return BroadcastTextUtf8(sjis, plain_symbols); };
  std::map<uint64_t, const GuideService*> by_key;
  for (const GuideService& s : services) {
    by_key[ServiceKey(s.original_network_id, s.transport_stream_id, s.service_id)] = &s;
  }
  auto service_name = [&](const GuideEventKey& k) {
    const auto it = by_key.find(ServiceKey(k.original_network_id, k.transport_stream_id, k.service_id));
    return it == by_key.end() ? std::string() : utf8(it->second->name);
  };
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n"
      "<tv generator-info-name=\"pelkan\">\n";
  // Only the channels that have programmes here (the title is required, so events known only
  // from an extended table are left out). The channels come first, so they are gathered before
  // the programmes are written: the document is built once, never copied whole.
  std::map<std::string, std::string> channels;
  std::set<uint64_t> seen;
  for (const GuideEvent& e : events) {
    const uint64_t key = ServiceKey(e.key.original_network_id, e.key.transport_stream_id, e.key.service_id);
    if (seen.count(key) != 0 || utf8(e.title).empty()) continue;
    seen.insert(key);
    std::string name = service_name(e.key);
    if (name.empty()) name = std::to_string(e.key.service_id);
    channels[XmltvChannelId(e.key.service_id, e.key.transport_stream_id, e.key.original_network_id)] = name;
  }
  for (const auto& [id, name] : channels) {
    out += "  <channel id=\"" + id + "\">\n    <display-name lang=\"ja\">" + XmlText(name) +
           "</display-name>\n  </channel>\n";
  }
  for (const GuideEvent& e : events) {
    const std::string title = utf8(e.title);
    if (title.empty()) continue;
    const std::string id = XmltvChannelId(e.key.service_id, e.key.transport_stream_id, e.key.original_network_id);
    out += "  <programme start=\"" + XmltvTime(e.start) + "\"";
    if (e.HasEnd()) out += " stop=\"" + XmltvTime(e.End()) + "\"";
    out += " channel=\"" + id + "\">\n    <title lang=\"ja\">" + XmlText(title) + "</title>\n";
    std::string desc = utf8(e.description);
    const std::string extended = utf8(e.extended);
    if (!extended.empty()) desc += (desc.empty() ? "" : "\n\n") + extended;
    if (!desc.empty()) out += "    <desc lang=\"ja\">" + XmlText(desc) + "</desc>\n";
    if (e.genre >= 0) {
      out += "    <category lang=\"ja\">" + XmlText(utf8(std::string(guide_text::GenreName(e.genre)))) +
             "</category>\n";
    }
    out += "  </programme>\n";
  }
  out += "</tv>\n";
  return out;
}

}  // namespace pelkan
