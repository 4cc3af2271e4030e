#include "platform/text_codec.h"

#include <gtest/gtest.h>

namespace pelkan::platform {
namespace {

TEST(TextCodec, RoundTripKanaKanjiAndFullWidth) {
  const std::string utf8 = "ひらがなカタカナ漢字鬱ＴＯＫＹＯ　ＭＸ１！abc";
  const std::string sjis = Utf8ToSjis(utf8);
  EXPECT_EQ(sjis.substr(0, 2), "\x82\xD0");  // ひ
  EXPECT_EQ(SjisToUtf8(sjis), utf8);
}

TEST(TextCodec, InvalidBytesDoNotLoseTheRest) {
  // 0xA0 is no Shift-JIS character; 0x82 at the very end is a cut-off lead byte.
  EXPECT_EQ(SjisToUtf8("A\xA0\x82\xA0Z\x82"), "A\xEF\xBF\xBD" "あZ\xEF\xBF\xBD");
  // A character with no Shift-JIS form and a broken UTF-8 byte each become '?'.
  EXPECT_EQ(Utf8ToSjis("x\xF0\x9F\x98\x80y\xC3z"), "x?y?z");
  EXPECT_EQ(SjisToUtf8(""), "");
  // 0x87 0xED is no CP932 character but one pair: its trail byte does not start another (ED 82 墲).
  EXPECT_EQ(SjisToUtf8("\x87\xED\x82\xC5"), "\xEF\xBF\xBD" "で");
}

TEST(TextCodec, ExactConversionRefusesNamesWithoutAShiftJisForm) {
  EXPECT_EQ(Utf8ToSjisExact("録画/rec 1?.ts"), Utf8ToSjis("録画/rec 1?.ts"));
  EXPECT_FALSE(Utf8ToSjisExact("/tmp/caf\xC3\xA9"));  // é
  EXPECT_FALSE(Utf8ToSjisExact("a\xF0\x9F\x98\x80"));
  EXPECT_FALSE(Utf8ToSjisExact("broken\xC3"));
  EXPECT_EQ(Utf8ToSjisExact(""), std::string());
}

}  // namespace
}  // namespace pelkan::platform
