#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The programme guide's texts. The Japanese texts are written as Shift-JIS byte escapes (the
// program's internal encoding); the UTF-8 reading is in the comment.

namespace pelkan::guide_text {

inline constexpr char kFileReplaced[] =
    "\x94\xD4\x91g\x95\\\x83t\x83@\x83\x43\x83\x8B %s "
    "\x82\xCD\x89\xF3\x82\xEA\x82\xC4\x82\xA2\x82\xE9\x82\xA9\x94\xD4\x91g\x95\\\x82\xCC\x82\xE0\x82\xCC\x82"
    "\xC5\x82\xC8\x82\xA2\x82\xBD\x82\xDF\x81\x41%s "
    "\x82\xC9\x96\xBC\x91O\x82\xF0\x95\xCF\x82\xA6\x82\xC4\x90V\x82\xB5\x82\xAD\x8D\xEC\x82\xE8\x82\xDC\x82"
    "\xB5\x82\xBD\x81\x42";  // 番組表ファイル %s は壊れているか番組表のものでないため、%s
                             // に名前を変えて新しく作りました。

}  // namespace pelkan::guide_text
