#include "rules/rule_text.h"

#include <array>
#include <cstdint>
#include <optional>

#include "platform/broadcast_text.h"

namespace pelkan {
namespace {

void AppendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Full-width forms of the half-width kana U+FF61-U+FF9F, in their order.
constexpr std::u32string_view kHalfKana =
    U"。「」、・ヲァィゥェォャュョッーアイウエオカキクケコサシスセソタチツテトナニヌネノハヒフヘホマミムメモヤユヨ"
    U"ラリルレロワン゛゜";

// The kana with its voiced (dakuten) or semi-voiced (handakuten) mark, or 0 when it takes none.
char32_t Voiced(char32_t kana, bool semi) {
  if (semi) return kana >= U'ハ' && kana <= U'ホ' && (kana - U'ハ') % 3 == 0 ? kana + 2 : 0;
  if (kana == U'ウ') return U'ヴ';
  const bool ka_to = kana >= U'カ' && kana <= U'ト' && kana != U'ッ';
  if (ka_to) {
    // カ-ヂ step by 2; ツ-ド likewise after the small ッ.
    const int step = kana < U'ッ' ? (kana - U'カ') : (kana - U'ツ');
    return step % 2 == 0 ? kana + 1 : 0;
  }
  if (kana >= U'ハ' && kana <= U'ホ' && (kana - U'ハ') % 3 == 0) return kana + 1;
  return 0;
}

std::string Fold(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const unsigned char b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x80) {
      out.push_back(b >= 'A' && b <= 'Z' ? static_cast<char>(b + 32) : static_cast<char>(b));
      ++i;
      continue;
    }
    // Three-byte characters (kana, kanji, full-width forms) are decoded here, the rest by the
    // platform's reader.
    char32_t x;
    if ((b & 0xF0) == 0xE0 && i + 2 < utf8.size() && (utf8[i + 1] & 0xC0) == 0x80 && (utf8[i + 2] & 0xC0) == 0x80) {
      x = (char32_t{b} & 0x0F) << 12 | (char32_t(utf8[i + 1]) & 0x3F) << 6 | (char32_t(utf8[i + 2]) & 0x3F);
      if (x < 0x800 || (x >= 0xD800 && x <= 0xDFFF)) {
        ++i;
        continue;
      }
      if (x < 0xFF01 && x != 0x3000) {  // nothing to fold: copied as it is
        out.append(utf8.substr(i, 3));
        i += 3;
        continue;
      }
      i += 3;
    } else {
      size_t length = 1;
      const std::optional<char32_t> c = platform::NextUtf8Char(utf8.substr(i), &length);
      i += length;
      if (!c) continue;
      x = *c;
    }
    if (x >= 0xFF01 && x <= 0xFF5E) {
      x -= 0xFEE0;
      if (x >= 'A' && x <= 'Z') x += 32;
    } else if (x == 0x3000) {
      x = ' ';
    } else if (x >= 0xFF61 && x <= 0xFF9F) {
      x = kHalfKana[x - 0xFF61];
      if (i < utf8.size()) {
        size_t next_length = 1;
        const std::optional<char32_t> mark = platform::NextUtf8Char(utf8.substr(i), &next_length);
        if (mark && (*mark == 0xFF9E || *mark == 0xFF9F)) {
          if (const char32_t v = Voiced(x, *mark == 0xFF9F)) {
            x = v;
            i += next_length;
          }
        }
      }
    }
    AppendUtf8(&out, x);
  }
  return out;
}

// Marks of the broadcast and of the listings that say how an airing is broadcast, not which episode
// it is.
constexpr std::array<std::string_view, 33> kMarks = {
    "新", "再", "字", "終", "デ", "解", "二", "多", "双", "手", "吹", "映", "無", "料", "生",
    "天", "交", "初", "声", "販", "他", "s", "ss", "b", "n", "hv", "sd", "p", "w", "mv", "再放送", "新番組", "無料"};

bool IsMark(std::string_view inner) {
  for (std::string_view m : kMarks) {
    if (inner == m) return true;
  }
  return false;
}

// The bracket pairs marks are written in (after folding: "［" became "[", "（" "(").
constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kBrackets = {
    {{"[", "]"}, {"(", ")"}, {"【", "】"}, {"〔", "〕"}}};

}  // namespace

std::string FoldBroadcastText(std::string_view sjis) {
  return Fold(platform::BroadcastToUtf8(sjis, platform::SymbolForm::kPlain));
}

std::string FoldUserText(std::string_view utf8) {
  return Fold(utf8);
}

std::string TitleWithoutMarks(std::string_view folded) {
  std::string kept;
  size_t i = 0;
  while (i < folded.size()) {
    bool dropped = false;
    for (const auto& [open, close] : kBrackets) {
      if (folded.substr(i, open.size()) != open) continue;
      const size_t end = folded.find(close, i + open.size());
      if (end == std::string_view::npos) break;
      if (IsMark(folded.substr(i + open.size(), end - i - open.size()))) {
        i = end + close.size();
        kept.push_back(' ');
        dropped = true;
      }
      break;
    }
    if (!dropped) kept.push_back(folded[i++]);
  }
  std::string out;
  for (char c : kept) {
    if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
    out.push_back(c);
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

}  // namespace pelkan
