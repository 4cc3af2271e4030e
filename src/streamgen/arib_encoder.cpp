#include "streamgen/arib_encoder.h"

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/broadcast_text.h"
#include "platform/text_codec.h"

namespace pelkan::streamgen {
namespace {

// Graphic sets the encoder uses, in their standard initial registers.
enum class Set : uint8_t { kKanji, kAlphanumeric, kHiragana, kKatakana, kEitherKana, kSpace };

// One character to write: its set and its 7-bit code(s).
struct Token {
  Set set;
  uint8_t c1;
  uint8_t c2;
};

// Shift-JIS forms of the alphanumeric set's codes 0x21-0x7E, as the receiver's table defines them
// (0x60 is not listed: it reads as the ideographic space, which the kanji set codes directly).
constexpr uint16_t kAlphanumeric[94] = {
    0x8149, 0x8168, 0x8194, 0x8190, 0x8193, 0x8195, 0x8166, 0x8169, 0x816A, 0x8196, 0x817B, 0x8143,
    0x817C, 0x8144, 0x815E, 0x824F, 0x8250, 0x8251, 0x8252, 0x8253, 0x8254, 0x8255, 0x8256, 0x8257,
    0x8258, 0x8146, 0x8147, 0x8183, 0x8181, 0x8184, 0x8148, 0x8197, 0x8260, 0x8261, 0x8262, 0x8263,
    0x8264, 0x8265, 0x8266, 0x8267, 0x8268, 0x8269, 0x826A, 0x826B, 0x826C, 0x826D, 0x826E, 0x826F,
    0x8270, 0x8271, 0x8272, 0x8273, 0x8274, 0x8275, 0x8276, 0x8277, 0x8278, 0x8279, 0x816D, 0x818F,
    0x816E, 0x814F, 0x8151, 0x0000, 0x8281, 0x8282, 0x8283, 0x8284, 0x8285, 0x8286, 0x8287, 0x8288,
    0x8289, 0x828A, 0x828B, 0x828C, 0x828D, 0x828E, 0x828F, 0x8290, 0x8291, 0x8292, 0x8293, 0x8294,
    0x8295, 0x8296, 0x8297, 0x8298, 0x8299, 0x829A, 0x816F, 0x8162, 0x8170, 0x8150,
};

// Codes 0x77-0x7E of the hiragana and katakana sets; from 0x79 on both sets hold the same marks.
constexpr uint16_t kHiraganaMarks[8] = {0x8154, 0x8155, 0x815B, 0x8142, 0x8175, 0x8176, 0x8141, 0x8145};
constexpr uint16_t kKatakanaMarks[2] = {0x8152, 0x8153};

// Looks a double-byte Shift-JIS character up in the one-byte sets.
bool FindInOneByteSets(uint16_t sjis, Token* t) {
  for (int i = 0; i < 94; ++i) {
    if (kAlphanumeric[i] == sjis) {
      *t = {Set::kAlphanumeric, static_cast<uint8_t>(0x21 + i), 0};
      return true;
    }
  }
  if (sjis >= 0x829F && sjis <= 0x82F1) {  // ぁ..ん, consecutive in both codes
    *t = {Set::kHiragana, static_cast<uint8_t>(0x21 + (sjis - 0x829F)), 0};
    return true;
  }
  if (sjis >= 0x8340 && sjis <= 0x8396 && sjis != 0x837F) {  // ァ..ヶ, 0x837F is no character
    const int index = sjis - 0x8340 - (sjis > 0x837F ? 1 : 0);
    *t = {Set::kKatakana, static_cast<uint8_t>(0x21 + index), 0};
    return true;
  }
  for (int i = 0; i < 2; ++i) {
    if (kHiraganaMarks[i] == sjis) {
      *t = {Set::kHiragana, static_cast<uint8_t>(0x77 + i), 0};
      return true;
    }
    if (kKatakanaMarks[i] == sjis) {
      *t = {Set::kKatakana, static_cast<uint8_t>(0x77 + i), 0};
      return true;
    }
  }
  for (int i = 2; i < 8; ++i) {
    if (kHiraganaMarks[i] == sjis) {
      *t = {Set::kEitherKana, static_cast<uint8_t>(0x77 + i), 0};
      return true;
    }
  }
  return false;
}

// Shift-JIS -> JIS X 0208 row/cell bytes (0x21-0x7E each); false outside the 94 x 94 code space.
bool SjisToJis(uint8_t s1, uint8_t s2, uint8_t* c1, uint8_t* c2) {
  int pair;
  if (s1 >= 0x81 && s1 <= 0x9F) pair = s1 - 0x81;
  else if (s1 >= 0xE0 && s1 <= 0xEF) pair = s1 - 0xC1;
  else return false;
  int row, cell;
  if (s2 >= 0x40 && s2 <= 0x7E) {
    row = pair * 2 + 1;
    cell = s2 - 0x3F;
  } else if (s2 >= 0x80 && s2 <= 0x9E) {
    row = pair * 2 + 1;
    cell = s2 - 0x40;
  } else if (s2 >= 0x9F && s2 <= 0xFC) {
    row = pair * 2 + 2;
    cell = s2 - 0x9E;
  } else {
    return false;
  }
  *c1 = static_cast<uint8_t>(row + 0x20);
  *c2 = static_cast<uint8_t>(cell + 0x20);
  return true;
}

// Full-width Shift-JIS codes of the half-width katakana bytes 0xA1-0xDF.
const std::array<uint16_t, 63>& HalfWidthKana() {
  static const std::array<uint16_t, 63> table = [] {
    std::array<uint16_t, 63> t{};
    const std::string s = platform::Utf8ToSjis(
        "。「」、・ヲァィゥェォャュョッーアイウエオカキクケコサシスセソタチツテトナニヌネノ"
        "ハヒフヘホマミムメモヤユヨラリルレロワン゛゜");
    for (size_t i = 0; i < t.size() && 2 * i + 1 < s.size(); ++i) {
      t[i] = static_cast<uint16_t>(static_cast<uint8_t>(s[2 * i]) << 8 | static_cast<uint8_t>(s[2 * i + 1]));
    }
    return t;
  }();
  return table;
}

Token TokenForDoubleByte(uint16_t sjis) {
  Token t{};
  if (sjis != 0x8140 && FindInOneByteSets(sjis, &t)) return t;
  uint8_t c1, c2;
  if (SjisToJis(static_cast<uint8_t>(sjis >> 8), static_cast<uint8_t>(sjis), &c1, &c2)) {
    return {Set::kKanji, c1, c2};
  }
  return {Set::kAlphanumeric, '?', 0};
}

// True when every character of `sjis` is a one-byte one or one a broadcaster codes in JIS X 0208
// (not CP932's row-13 and IBM extensions, which the broadcast's rows 85-94 hold instead).
bool AllJisX0208(std::string_view sjis) {
  for (size_t i = 0; i < sjis.size(); ++i) {
    const auto b = static_cast<uint8_t>(sjis[i]);
    if ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) {
      if (b == 0x87 || b >= 0xEB) return false;
      ++i;
    }
  }
  return true;
}

// The Shift-JIS a receiver's decoder makes of the broadcast code of `utf8`: JIS X 0208 where it has
// the character, otherwise the cell of rows 85-94 that holds it. Runs of characters that no cell
// holds convert at once.
std::string BroadcasterSjis(std::string_view utf8) {
  std::string sjis;
  size_t run = 0;
  auto flush = [&](size_t end) {
    if (end > run) sjis += platform::Utf8ToSjis(utf8.substr(run, end - run));
  };
  for (size_t i = 0; i < utf8.size();) {
    size_t n = 1;
    const std::optional<char32_t> cp = platform::NextUtf8Char(utf8.substr(i), &n);
    const uint16_t cell = cp && *cp >= 0x80 ? platform::AdditionalCellCode(*cp) : 0;
    if (cell != 0) {
      flush(i);
      // CP932 has nothing beyond U+FFFF; below it, JIS X 0208 may hold the character (曙, 年).
      std::string c = *cp < 0x10000 ? platform::Utf8ToSjis(utf8.substr(i, n)) : std::string("?");
      if (c == "?" || !AllJisX0208(c)) c = {static_cast<char>(cell >> 8), static_cast<char>(cell & 0xFF)};
      sjis += c;
      run = i + n;
    }
    i += n;
  }
  flush(utf8.size());
  return sjis;
}

std::vector<Token> Tokenize(const std::string& sjis) {
  std::vector<Token> tokens;
  tokens.reserve(sjis.size());
  for (size_t i = 0; i < sjis.size(); ++i) {
    const uint8_t b = static_cast<uint8_t>(sjis[i]);
    if (b == 0x20) {
      tokens.push_back({Set::kSpace, 0x20, 0});
    } else if (b > 0x20 && b < 0x7F) {
      tokens.push_back({Set::kAlphanumeric, b, 0});
    } else if (b >= 0xA1 && b <= 0xDF) {
      tokens.push_back(TokenForDoubleByte(HalfWidthKana()[b - 0xA1]));
    } else if ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) {
      if (i + 1 >= sjis.size()) break;
      const uint8_t trail = static_cast<uint8_t>(sjis[++i]);
      tokens.push_back(TokenForDoubleByte(static_cast<uint16_t>(b << 8 | trail)));
    }
    // Control codes and stray bytes are not text.
  }
  return tokens;
}

std::string Encode(std::string_view utf8) {
  const std::vector<Token> tokens = Tokenize(BroadcasterSjis(utf8));
  std::string out;
  out.reserve(tokens.size() * 2 + 8);
  bool gl_alphanumeric = false;  // GL holds G0 (kanji) or G1 (alphanumeric)
  bool gr_katakana = false;      // GR holds G2 (hiragana) or G3 (katakana)
  auto put = [&out](int b) { out.push_back(static_cast<char>(b)); };

  for (size_t i = 0; i < tokens.size(); ++i) {
    const Token& t = tokens[i];
    switch (t.set) {
      case Set::kSpace:
        put(0x20);
        break;
      case Set::kKanji:
        if (gl_alphanumeric) {
          put(0x0F);  // LS0
          gl_alphanumeric = false;
        }
        put(t.c1);
        put(t.c2);
        break;
      case Set::kAlphanumeric:
        if (!gl_alphanumeric) {
          put(0x0E);  // LS1
          gl_alphanumeric = true;
        }
        put(t.c1);
        break;
      case Set::kEitherKana:
        put(t.c1 | 0x80);  // the same mark in whichever kana set GR holds
        break;
      case Set::kHiragana:
      case Set::kKatakana: {
        const bool want_katakana = t.set == Set::kKatakana;
        if (want_katakana != gr_katakana) {
          const bool next_same = i + 1 < tokens.size() &&
                                 (tokens[i + 1].set == t.set || tokens[i + 1].set == Set::kEitherKana);
          if (!next_same) {
            // A lone character of the other kana set: single shift, GR stays as it is.
            put(want_katakana ? 0x1D : 0x19);  // SS3 / SS2
            put(t.c1);
            break;
          }
          put(0x1B);
          put(want_katakana ? 0x7C : 0x7D);  // LS3R / LS2R
          gr_katakana = want_katakana;
        }
        put(t.c1 | 0x80);
        break;
      }
    }
  }
  return out;
}

// The generator's texts come from short tables, and each is encoded again every time its
// programme's sections come round: a thread's texts are encoded once and looked up after that.
constexpr size_t kMaxRemembered = 4096;

}  // namespace

std::string EncodeAribString(std::string_view utf8) {
  thread_local std::unordered_map<std::string, std::string> remembered;
  const std::string key(utf8);
  if (const auto found = remembered.find(key); found != remembered.end()) return found->second;
  if (remembered.size() >= kMaxRemembered) remembered.clear();
  return remembered.emplace(key, Encode(utf8)).first->second;
}

}  // namespace pelkan::streamgen
