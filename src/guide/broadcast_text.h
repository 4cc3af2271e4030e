#pragma once

#include <string>
#include <string_view>

namespace pelkan {

// Broadcast text (names, titles, descriptions: Shift-JIS as the broadcast-text decoder makes it)
// as UTF-8. Every view of the programme guide converts through this one function. With
// `plain_symbols`, symbols that only some fonts show are written in a plain form. Safe from any
// thread.
std::string BroadcastTextUtf8(std::string_view sjis, bool plain_symbols = false);

// Changes whenever BroadcastTextUtf8 (or the search's folding of its text) converts any text
// differently, so that copies made through it (the guide's search index) are made again.
inline constexpr int kBroadcastTextRevision = 3;

}  // namespace pelkan
