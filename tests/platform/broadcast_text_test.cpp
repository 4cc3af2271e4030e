#include "platform/broadcast_text.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/text_codec.h"
#include "ts/arib_string.h"

namespace pelkan::platform {
namespace {

constexpr char kGeta[] = "〓";

// One line of data/arib/additional-symbols.tsv.
struct TableCell {
  int row = 0, cell = 0;
  std::string text;   // the character, empty for a cell without one
  std::string plain;  // its plain form
};

std::vector<TableCell> ReadTable() {
  std::ifstream in(PELKAN_SOURCE_DIR "/data/arib/additional-symbols.tsv");
  std::vector<TableCell> cells;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '\t')) f.push_back(field);
    f.resize(7);
    cells.push_back({std::stoi(f[0]), std::stoi(f[1]), f[4], f[5]});
  }
  return cells;
}

std::string Decode(const std::vector<uint8_t>& arib) {
  char out[81];
  DecodeAribString(arib.data(), static_cast<uint32_t>(arib.size()), out, sizeof out);
  return out;
}

// The Shift-JIS the JIS X 0208 formula gives for a kanji-set cell.
std::string FormulaSjis(int row, int cell) {
  const int c1 = row + 0x20, c2 = cell + 0x20;
  int trail = c2 + ((c1 & 1) ? 0x1F : 0x7D);
  if (trail > 0x7E) ++trail;
  return {static_cast<char>((c1 + 1) / 2 + 0xB0), static_cast<char>(trail)};
}

TEST(BroadcastText, EveryCellOfRows85To94ThroughTheDecoder) {
  const std::vector<TableCell> table = ReadTable();
  ASSERT_EQ(table.size(), static_cast<size_t>(kAdditionalCells));
  int defined = 0;
  for (const TableCell& t : table) {
    SCOPED_TRACE(std::to_string(t.row) + "/" + std::to_string(t.cell));
    const auto c1 = static_cast<uint8_t>(t.row + 0x20), c2 = static_cast<uint8_t>(t.cell + 0x20);
    // In GL (kanji is G0) and in GR (kanji designated to G1, invoked by LS1R).
    const std::string gl = Decode({c1, c2});
    const std::string gr =
        Decode({0x1B, 0x24, 0x29, 0x42, 0x1B, 0x7E, uint8_t(c1 | 0x80), uint8_t(c2 | 0x80)});
    EXPECT_EQ(gl, FormulaSjis(t.row, t.cell));  // the stored bytes stay as they were
    EXPECT_EQ(gr, gl);
    const std::string shown = t.text.empty() ? kGeta : t.text;
    EXPECT_EQ(BroadcastToUtf8(gl), shown);
    EXPECT_EQ(BroadcastToUtf8(gl, SymbolForm::kPlain), t.text.empty() ? kGeta : t.plain);
    // Shown and stored again unchanged: the same bytes, also for a cell shown as 〓.
    EXPECT_EQ(Utf8ToBroadcast(shown, gl), gl);
    if (t.text.empty()) continue;
    ++defined;
    // Typed anew: the first cell holding the character, unless CP932 has it.
    const std::optional<std::string> typed = Utf8ToBroadcast(t.text);
    ASSERT_TRUE(typed.has_value());
    EXPECT_EQ(BroadcastToUtf8(*typed), t.text);
    if (Utf8ToSjisExact(t.text) && Utf8ToSjisExact(t.text) != gl) {
      EXPECT_EQ(*typed, Utf8ToSjis(t.text));
    }
    // A file name made from it reads the same in CP932 as in the broadcast reading.
    const std::string file = BroadcastToPlainSjis(gl);
    EXPECT_EQ(SjisToUtf8(file), BroadcastToUtf8(file));
    EXPECT_EQ(SjisToUtf8(file), Utf8ToSjisExact(t.plain) ? t.plain : kGeta);
  }
  EXPECT_EQ(defined, 495);
  EXPECT_EQ(AdditionalCellCode(U'\U0001F211'), 0xEDD4);  // [字], 90/54
  EXPECT_EQ(AdditionalCellCode(U'\U0001F214'), 0xEDD8);  // [二] is in 90/58 and 93/30: the first
  EXPECT_EQ(AdditionalCellCode(U'あ'), 0);
}

TEST(BroadcastText, SymbolsAmongOrdinaryText) {
  // "[新]ドラマ[字][デ]" as the decoder gives it: 7A6B, ドラマ, 7A56, 7A58.
  const std::string title = Decode({0x7A, 0x6B, 0x1B, 0x7C, 0xC9, 0xE9, 0xDE, 0x7A, 0x56, 0x7A, 0x58});
  EXPECT_EQ(BroadcastToUtf8(title), "🈟ドラマ🈑🈓");
  EXPECT_EQ(BroadcastToUtf8(title, SymbolForm::kPlain), "[新]ドラマ[字][デ]");
  EXPECT_EQ(BroadcastToPlainSjis(title), Utf8ToSjis("[新]ドラマ[字][デ]"));
  // "山﨑の天気予報☀①": 﨑 is 85/32, ☀ 93/64, ① 94/65.
  const std::string weather = Decode(
      {0x3B, 0x33, 0x75, 0x40, 0xCE, 0x45, 0x37, 0x35, 0x24, 0x4D, 0x3D, 0x4A, 0x73, 0x7D, 0x60, 0x7E, 0x61});
  EXPECT_EQ(BroadcastToUtf8(weather), "山﨑の天気予報☀①");
  EXPECT_EQ(BroadcastToUtf8(weather, SymbolForm::kPlain), "山﨑の天気予報☀[1]");
  EXPECT_EQ(SjisToUtf8(BroadcastToPlainSjis(weather)), "山﨑の天気予報〓[1]");
  // The plain CP932 reading stays for other text: 0xED 0x40 is 纊 there, an empty cell here.
  EXPECT_EQ(SjisToUtf8("\xED\x40"), "纊");
  EXPECT_EQ(BroadcastToUtf8("\xED\x40"), kGeta);
  EXPECT_EQ(BroadcastToUtf8("abc\xED"), "abc\xEF\xBF\xBD");  // a cut-off lead byte
  EXPECT_EQ(BroadcastToUtf8(""), "");
}

TEST(BroadcastText, EditedTitleKeepsTheBytesOfWhatWasNotChanged) {
  // ① from the broadcast (94/65, EF DF) has a CP932 form as well (87 40).
  const std::string stored = Decode({0x7A, 0x6B, 0x1B, 0x7C, 0xC9, 0xE9, 0xDE, 0x7E, 0x61, 0x7A, 0x56});
  const std::string shown = BroadcastToUtf8(stored);
  ASSERT_EQ(shown, "🈟ドラマ①🈑");
  EXPECT_EQ(Utf8ToBroadcast(shown, stored), stored);
  // Text added in the middle: the symbols before and after keep their bytes; the typed ① is CP932's.
  EXPECT_EQ(Utf8ToBroadcast("🈟ドラマ①・①🈑", stored),
            stored.substr(0, 10) + Utf8ToSjis("・①") + stored.substr(10));
  // A symbol typed where there was none takes its cell.
  EXPECT_EQ(Utf8ToBroadcast("🈑ドラマ"), "\xED\xD4" + Utf8ToSjis("ドラマ"));
  // Every character CP932 reads at lead bytes 0xED/0xEE converts back to its other code (0xFA-0xFC,
  // or JIS X 0208 for ￢ ∵), so typed text never lands among the broadcast's symbols.
  for (int lead = 0xED; lead <= 0xEE; ++lead) {
    for (int trail = 0x40; trail <= 0xFC; ++trail) {
      const std::string utf8 = SjisToUtf8(std::string{static_cast<char>(lead), static_cast<char>(trail)});
      if (utf8.find("\xEF\xBF\xBD") != std::string::npos) continue;  // no character there
      const std::optional<std::string> back = Utf8ToBroadcast(utf8);
      ASSERT_TRUE(back.has_value()) << utf8;
      const auto back_lead = static_cast<uint8_t>((*back)[0]);
      EXPECT_TRUE(back_lead < 0xEB || back_lead > 0xEF) << utf8;
    }
  }
  EXPECT_FALSE(Utf8ToBroadcast("caf\xC3\xA9"));  // é has neither form
  EXPECT_FALSE(Utf8ToBroadcast("broken\xC3"));
  EXPECT_FALSE(Utf8ToBroadcast("\xED\xA0\x80"));  // a surrogate
}

}  // namespace
}  // namespace pelkan::platform
