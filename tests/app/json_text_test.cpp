// The hand-written JSON literals of the API's long lists against the JSON library's own, for
// every kind of byte a damaged or odd text holds; and the outputs' times.
#include "app/json_text.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

namespace pelkan {
namespace {

TEST(JsonText, ApiLiteralsAreTheJsonLibrarysByteForByte) {
  const std::string texts[] = {
      "",
      "plain",
      "ニュース７ 🈑 \"quoted\" back\\slash /",
      std::string("\x00\x01\x08\x09\x0a\x0c\x0d\x1f\x7f", 9),
      "\xff",                      // never UTF-8
      "a\xe3\x81",                 // cut off
      "\xc0\xaf",                  // overlong
      "\xed\xa0\x80",              // a surrogate
      "\xf4\x90\x80\x80",          // past U+10FFFF
      "\xe3\x81\x82\xe3\x81x\x80", // good, then broken
      "\xf0\x9f\x88\x91",          // four bytes
  };
  for (const std::string& text : texts) {
    std::string out = "[";
    AppendApiJsonString(&out, text);
    EXPECT_EQ(out.substr(1), nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
        << text;
  }
  std::string time;
  AppendJapanIso(&time, 2026, 12, 8, 20, 57, 0);
  EXPECT_EQ(time, "2026-12-08T20:57:00+09:00");
}

}  // namespace
}  // namespace pelkan
