#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "rules/reservation_rule.h"

namespace pelkan {

// The genres by the names the guide shows (UTF-8): the first level as the guide's colour groups
// name it ("ドラマ", "ニュース／報道", "アニメ／特撮"), a second level after a slash ("ドラマ/国内ドラマ",
// "スポーツ/サッカー"). A '/' and a '／' read the same; blanks around the parts are ignored. nullopt
// when the text names no genre. Pure function.
std::optional<RuleGenre> ParseGenreName(std::string_view text);
// The names of the first level with their numbers, one line each after `indent`
// ("  3 ドラマ: 国内ドラマ, 海外ドラマ, 時代劇, その他"), for a help text.
std::string GenreNamesText(std::string_view indent);

}  // namespace pelkan
