#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "guide/guide_event.h"

namespace pelkan {

// Text for XML: the five markup characters as entities; control characters, which XML does not
// allow, left out (a line break kept).
std::string XmlText(const std::string& utf8);

// XMLTV time: "YYYYMMDDhhmmss +0900".
std::string XmltvTime(GuideTime t);

// An XMLTV channel id: service, stream and network id, as "1024.7fe8.7fe8.pelkan" (the playlist's
// tvg-id matches it).
std::string XmltvChannelId(uint16_t service_id, uint16_t transport_stream_id, uint16_t original_network_id);

// The XMLTV document of `events` (UTF-8): one channel per service that has a programme with a
// title, named from `services`, then the programmes with their descriptions and genres. With
// `plain_symbols` the broadcast's symbols are spelled in plain characters.
std::string XmltvDocument(const std::vector<GuideEvent>& events, const std::vector<GuideService>& services,
                          bool plain_symbols);

}  // namespace pelkan
