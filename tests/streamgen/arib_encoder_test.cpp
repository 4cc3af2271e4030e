#include "streamgen/arib_encoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/broadcast_text.h"
#include "ts/arib_string.h"

namespace pelkan::streamgen {
namespace {

// Broadcast bytes -> UTF-8 through the receiver's decoder, read as broadcast text.
std::string RoundTrip(const std::string& utf8, uint32_t dest_size = 1024) {
  const std::string code = EncodeAribString(utf8);
  std::vector<char> out(dest_size);
  DecodeAribString(reinterpret_cast<const uint8_t*>(code.data()), static_cast<uint32_t>(code.size()),
                   out.data(), dest_size);
  return platform::BroadcastToUtf8(out.data());
}

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TEST(EncodeAribString, KanjiGoesThroughJisX0208InGl) {
  EXPECT_EQ(Bytes(EncodeAribString("亜")), (std::vector<uint8_t>{0x30, 0x21}));
  EXPECT_EQ(Bytes(EncodeAribString("漢字")), (std::vector<uint8_t>{0x34, 0x41, 0x3B, 0x7A}));
  // Level 2 kanji and the ideographic space.
  EXPECT_EQ(Bytes(EncodeAribString("弌")), (std::vector<uint8_t>{0x50, 0x21}));
  EXPECT_EQ(Bytes(EncodeAribString("　")), (std::vector<uint8_t>{0x21, 0x21}));
}

TEST(EncodeAribString, AdditionalKanjiAndSymbolsUseRows85To94) {
  // [字] is 90/54, ☀ 93/64; ① and 﨑 have CP932 forms (row 13, IBM extension) that are no JIS X 0208.
  EXPECT_EQ(Bytes(EncodeAribString("🈑☀")), (std::vector<uint8_t>{0x7A, 0x56, 0x7D, 0x60}));
  EXPECT_EQ(Bytes(EncodeAribString("①﨑")), (std::vector<uint8_t>{0x7E, 0x61, 0x75, 0x40}));
  // 曙 is also in row 85, but JIS X 0208 has it: a broadcaster codes it there.
  EXPECT_EQ(Bytes(EncodeAribString("曙")), (std::vector<uint8_t>{0x3D, 0x6C}));
  EXPECT_EQ(RoundTrip("🈟ドラマ🈑🈓 山﨑の天気予報☀"), "🈟ドラマ🈑🈓山﨑の天気予報☀");
}

TEST(EncodeAribString, KanaUseTheGrSetsWithLockingAndSingleShifts) {
  // Hiragana sit in GR from the start.
  EXPECT_EQ(Bytes(EncodeAribString("あい")), (std::vector<uint8_t>{0xA2, 0xA4}));
  // A katakana run locks G3 into GR; hiragana afterwards lock G2 back.
  EXPECT_EQ(Bytes(EncodeAribString("アイうえ")),
            (std::vector<uint8_t>{0x1B, 0x7C, 0xA2, 0xA4, 0x1B, 0x7D, 0xA6, 0xA8}));
  // A lone katakana between hiragana uses SS3 and leaves GR alone.
  EXPECT_EQ(Bytes(EncodeAribString("あアい")), (std::vector<uint8_t>{0xA2, 0x1D, 0x22, 0xA4}));
  // Marks both kana sets hold need no shift.
  EXPECT_EQ(Bytes(EncodeAribString("アー")), (std::vector<uint8_t>{0x1B, 0x7C, 0xA2, 0xF9}));
}

TEST(EncodeAribString, AlphanumericsUseG1ThroughLs1) {
  EXPECT_EQ(Bytes(EncodeAribString("NHK")), (std::vector<uint8_t>{0x0E, 0x4E, 0x48, 0x4B}));
  EXPECT_EQ(Bytes(EncodeAribString("ＢＳ１")), (std::vector<uint8_t>{0x0E, 0x42, 0x53, 0x31}));
  // Back to kanji with LS0.
  EXPECT_EQ(Bytes(EncodeAribString("Ｊ亜")), (std::vector<uint8_t>{0x0E, 0x4A, 0x0F, 0x30, 0x21}));
  // An ASCII space is the SP control code, whatever set is invoked.
  EXPECT_EQ(Bytes(EncodeAribString("A B")), (std::vector<uint8_t>{0x0E, 0x41, 0x20, 0x42}));
}

TEST(EncodeAribString, RoundTripsJapaneseTextThroughTheDecoder) {
  const char* const corpus[] = {
      "ペルカン総合テレビ",
      "連続テレビ小説「麒麟の庭」",
      "鷺、鶯、鴎…水辺に暮らす鳥たちの一年を追う。",
      "薔薇の回廊　薊と菫",                      // level 2 kanji
      "ゝゞヽヾー・",                            // iteration marks
      "ぁぃぅぇぉゃゅょっゎをん",
      "ァィゥェォャュョッヮヲンヴヵヶ",
      "ＡＢＣ　ｘｙｚ　０１２３４５６７８９",
      "！＃＄％＆（）＊＋，－．／：；＜＝＞？＠［］＾＿｛｜｝",
      "”’￥￣",                                   // the decoder's forms of 0x22 0x27 0x5C 0x7E
      "第１２節　Ｊリーグ（再）【字】◆♪※〒→①",
      "サッカー　ワールドカップ２０２６・決勝",
  };
  for (const char* text : corpus) EXPECT_EQ(RoundTrip(text), text) << text;
}

TEST(EncodeAribString, AsciiComesBackFullWidth) {
  EXPECT_EQ(RoundTrip("News 7"), "Ｎｅｗｓ７");  // SP is not output by the decoder
  EXPECT_EQ(RoundTrip("\"a'\\~"), "”ａ’￥￣");
  EXPECT_EQ(RoundTrip("ﾃﾚﾋﾞ"), "テレヒ゛");  // half-width katakana become full-width
}

TEST(EncodeAribString, UnencodableCharactersBecomeQuestionMarks) {
  EXPECT_EQ(RoundTrip("a😀b"), "ａ？ｂ");
  EXPECT_EQ(RoundTrip(std::string("x\x01y")), "ｘｙ");  // control characters are dropped
  EXPECT_TRUE(EncodeAribString("").empty());
}

TEST(EncodeAribString, LongTextsAreCutByTheDecoderOnCharacterBoundaries) {
  // 20 kanji into a 30-byte field: 14 characters survive.
  const std::string twenty = "一二三四五六七八九十一二三四五六七八九十";
  EXPECT_EQ(RoundTrip(twenty, 30), "一二三四五六七八九十一二三四");
}

}  // namespace
}  // namespace pelkan::streamgen
