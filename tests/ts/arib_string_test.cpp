#include "ts/arib_string.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text_codec.h"

namespace pelkan {
namespace {

std::string Decode(const std::vector<uint8_t>& src, uint32_t dest_size = 200) {
  std::vector<char> out(dest_size + 8, '\x55');
  DecodeAribString(src.data(), static_cast<uint32_t>(src.size()), out.data(), dest_size);
  return std::string(out.data());
}

std::string DecodeUtf8(const std::vector<uint8_t>& src) { return platform::SjisToUtf8(Decode(src)); }

TEST(DecodeAribString, DefaultRegistersAndInvocations) {
  EXPECT_EQ(Decode({}), "");
  EXPECT_EQ(Decode({0x00, 0x30, 0x21}), "");
  EXPECT_EQ(Decode({0x30, 0x21}), "\x88\x9F");             // 亜, kanji in GL
  EXPECT_EQ(Decode({0x24, 0x22}), "\x82\xA0");             // あ
  EXPECT_EQ(Decode({0xA2}), "\x82\xA0");                   // hiragana in GR
  EXPECT_EQ(Decode({0x0E, 0x41}), "\x82\x60");             // Ａ through LS1
  EXPECT_EQ(Decode({0x1B, 0x7C, 0xA2}), "\x83\x41");       // ア: katakana in GR
  EXPECT_EQ(Decode({0x1B, 0x28, 0x4A, 0x6A}), "\x82\x8A"); // ｊ: alphanumeric designated to G0
  EXPECT_EQ(Decode({0x30, 0x21, 0x80, 0x9F, 0xA0, 0x7F, 0x30, 0x21}), "\x88\x9F\x88\x9F");
}

TEST(DecodeAribString, SingleShiftsDoNotChangeTheLockedSets) {
  // SS2 takes one hiragana character; GL still holds kanji for the next two bytes.
  EXPECT_EQ(Decode({0x19, 0x21, 0x30, 0x21}), "\x82\x9F\x88\x9F");
  // SS3 takes one katakana character.
  EXPECT_EQ(Decode({0x1D, 0x22, 0x24, 0x22}), "\x83\x41\x82\xA0");
}

TEST(DecodeAribString, DesignationForms) {
  // ESC 0x24 0x42 designates kanji to G0 again after alphanumeric.
  EXPECT_EQ(Decode({0x1B, 0x28, 0x4A, 0x41, 0x1B, 0x24, 0x42, 0x30, 0x21}), "\x82\x60\x88\x9F");
  // ESC 0x29 0x31 puts katakana in G1; LS1 then reads katakana.
  EXPECT_EQ(Decode({0x1B, 0x29, 0x31, 0x0E, 0x22}), "\x83\x41");
  // ESC 0x24 0x29 0x42: kanji to G1; ESC 0x7E invokes G1 into GR.
  EXPECT_EQ(Decode({0x1B, 0x24, 0x29, 0x42, 0x1B, 0x7E, 0xB0, 0xA1}), "\x88\x9F");
  // DRCS form: the intermediate 0x20 moves F one byte on; 0x40 designates nothing, 0x42 kanji.
  EXPECT_EQ(Decode({0x1B, 0x28, 0x20, 0x40, 0x30, 0x21}), "\x88\x9F");
  EXPECT_EQ(Decode({0x1B, 0x29, 0x20, 0x42, 0x0E, 0x30, 0x21}), "\x88\x9F");
  // ESC 0x24 0x28 F with F != 0x20: only ESC 0x24 is consumed, 0x28 0x42 decode as a kanji pair.
  EXPECT_EQ(Decode({0x1B, 0x24, 0x28, 0x42}), Decode({0x28, 0x42}));
  // LS2 / LS3 put hiragana / katakana into GL.
  EXPECT_EQ(Decode({0x1B, 0x6E, 0x22, 0x1B, 0x6F, 0x22}), "\x82\xA0\x83\x41");
  // An unknown escape is two bytes long.
  EXPECT_EQ(Decode({0x1B, 0x40, 0x30, 0x21}), "\x88\x9F");
}

TEST(DecodeAribString, SpaceAndControlsProduceNothing) {
  EXPECT_EQ(Decode({0x0E, 0x41, 0x20, 0x42, 0x0D, 0x0A, 0x43}), "\x82\x60\x82\x61\x82\x62");
}

TEST(DecodeAribString, AlphanumericTableChoices) {
  EXPECT_EQ(Decode({0x0E, 0x22, 0x27, 0x5C, 0x7E, 0x60, 0x21, 0x30, 0x39}),
            "\x81\x68\x81\x66\x81\x8F\x81\x50\x81\x40\x81\x49\x82\x4F\x82\x58");
}

TEST(DecodeAribString, KatakanaSkipsTheHoleAndEndsAtKe) {
  // 0x5F and 0x60 straddle Shift-JIS 0x837F, which is skipped.
  EXPECT_EQ(Decode({0x1B, 0x6F, 0x5E, 0x5F, 0x60, 0x76, 0x77, 0x79}),
            "\x83\x7D\x83\x7E\x83\x80\x83\x96\x81\x52\x81\x5B");
}

TEST(DecodeAribString, RealisticTitleRoundTripsToUtf8) {
  // "ニュース７" as a broadcaster would code it: katakana via LS3... here via GR (G3 katakana) and
  // alphanumeric via LS1.
  const std::vector<uint8_t> src = {0x1B, 0x7C, 0xCB, 0xE5, 0xF9, 0xB9, 0x0E, 0x37};
  EXPECT_EQ(DecodeUtf8(src), "ニュース７");
}

TEST(DecodeAribString, TruncationAtEveryDestinationSize) {
  std::vector<uint8_t> src;
  for (int i = 0; i < 20; ++i) src.insert(src.end(), {0x30, 0x21});
  for (uint32_t size = 0; size <= 40; ++size) {
    std::vector<char> out(size + 4, '\x55');
    DecodeAribString(src.data(), static_cast<uint32_t>(src.size()), out.data(), size);
    const uint32_t expect = size < 4 ? 0 : ((size - 4) / 2 + 1) * 2;
    if (size == 0) {
      EXPECT_EQ(out[0], '\x55') << "nothing written for size 0";
      continue;
    }
    EXPECT_EQ(std::string(out.data()).size(), expect) << size;
    EXPECT_EQ(out[size], '\x55') << "wrote past the destination at size " << size;
  }
}

TEST(DecodeAribString, DestinationOfThirtyKeepsFourteenCharacters) {
  // The last pair that fits starts at 26 (26 + 3 < 30); the NUL follows at 28.
  std::vector<uint8_t> src;
  for (int i = 0; i < 20; ++i) src.insert(src.end(), {0x30, 0x21});
  std::vector<char> out(30, '\x55');
  DecodeAribString(src.data(), static_cast<uint32_t>(src.size()), out.data(), 30);
  EXPECT_EQ(std::string(out.data()).size(), 28u);
  EXPECT_EQ(out[28], '\0');
}

TEST(DecodeAribString, InputCutOffMidSequenceReadsNothingBeyond) {
  // Each source is copied to an exact-size heap block so ASan catches any over-read.
  const std::vector<std::vector<uint8_t>> cuts = {
      {0x30},                    // half a kanji
      {0x24, 0x22, 0x30},        // one kanji and half of another
      {0x1B},                    // ESC alone
      {0x1B, 0x28},              // designation without final
      {0x1B, 0x28, 0x20},        // DRCS designation without final
      {0x1B, 0x24},              // ESC 0x24 without final
      {0x1B, 0x24, 0x29},        // two-byte G1 designation without final
      {0x1B, 0x24, 0x29, 0x20},  // DRCS two-byte designation without final
      {0x19},                    // SS2 alone
      {0x1B, 0x2B, 0x42, 0x1D, 0x30},  // SS3 into kanji, second byte missing
      {0x1B, 0x28, 0x3B, 0x21},  // additional symbols, second byte missing
  };
  for (const auto& cut : cuts) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[cut.size()]);
    std::copy(cut.begin(), cut.end(), exact.get());
    char out[16];
    DecodeAribString(exact.get(), static_cast<uint32_t>(cut.size()), out, sizeof(out));
    EXPECT_LE(std::string(out).size(), 2u);
  }
  EXPECT_EQ(Decode({0x24, 0x22, 0x30}), "\x82\xA0");
}

TEST(DecodeAribString, SingleShiftedHighByteProducesNothing) {
  EXPECT_EQ(Decode({0x19, 0xA2, 0x24, 0x22}), "\x82\xA0");
  EXPECT_EQ(Decode({0x19, 0xFF}), "");
}

TEST(DecodeAribString, NullDestinationOnlyWalks) {
  const std::vector<uint8_t> src = {0x30, 0x21};
  DecodeAribString(src.data(), 2, nullptr, 100);
  DecodeAribString(nullptr, 10, nullptr, 0);
}

}  // namespace
}  // namespace pelkan
