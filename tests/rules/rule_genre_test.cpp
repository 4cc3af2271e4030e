#include "rules/rule_genre.h"

#include <gtest/gtest.h>

namespace pelkan {
namespace {

// Genres by the names the guide shows, first level alone or with a second level after a slash.
TEST(RuleGenre, NamesAsTheGuideShowsThem) {
  struct Case {
    const char* text;
    std::optional<RuleGenre> genre;
  } cases[] = {
      {"ドラマ", RuleGenre{3, -1}},
      {"ニュース／報道", RuleGenre{0, -1}},
      {" ニュース/報道 ", RuleGenre{0, -1}},
      {"ドラマ/国内ドラマ", RuleGenre{3, 0}},
      {"アニメ／特撮/特撮", RuleGenre{7, 2}},
      {"ニュース/報道/天気", RuleGenre{0, 1}},
      {"スポーツ/その他", RuleGenre{1, 15}},
      {"ドラマ/野球", std::nullopt},
      {"ドラマ国内", std::nullopt},
      {"その他", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseGenreName(c.text), c.genre) << c.text;
  const std::string names = GenreNamesText("  ");
  EXPECT_NE(names.find("  3 ドラマ: 国内ドラマ, 海外ドラマ, 時代劇, その他\n"), std::string::npos) << names;
}

}  // namespace
}  // namespace pelkan
