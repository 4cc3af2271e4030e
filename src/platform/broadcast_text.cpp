#include "platform/broadcast_text.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/text_codec.h"

namespace pelkan::platform {
namespace {

struct Cell {
  char32_t code_point;  // 0: the cell has no character
  const char* text;     // the character in UTF-8
  const char* plain;    // its plain form in UTF-8
};

constexpr Cell kCells[kAdditionalCells] = {
#include "platform/additional_symbols_table.inc"
};

constexpr char kGeta[] = "〓";  // U+3013, in UTF-8 as the source is
const std::string kGetaSjis = Sjis("〓");

// Index into kCells of the two-byte character lead/trail, or -1 outside rows 85-94. The lead
// byte covers two rows: trail bytes 0x40-0x9E (0x7F skipped) are the odd row, 0x9F-0xFC the even one.
int CellIndex(uint8_t lead, uint8_t trail) {
  if (lead < 0xEB || lead > 0xEF || trail < 0x40 || trail > 0xFC || trail == 0x7F) return -1;
  const int first_row = (lead - 0xEB) * 2;  // rows counted from 85
  if (trail >= 0x9F) return (first_row + 1) * 94 + (trail - 0x9F);
  return first_row * 94 + (trail - 0x40) - (trail > 0x7F ? 1 : 0);
}

// The Shift-JIS code of a cell, by the same JIS X 0208 formula the ARIB decoder uses.
uint16_t CellCode(int index) {
  const int c1 = 85 + index / 94 + 0x20;
  const int c2 = 1 + index % 94 + 0x20;
  const int lead = (c1 + 1) / 2 + 0xB0;
  int trail = c2 + ((c1 & 1) ? 0x1F : 0x7D);
  if (trail > 0x7E) ++trail;
  return static_cast<uint16_t>(lead << 8 | trail);
}

void AppendCell(std::string& out, int index, SymbolForm form) {
  const Cell& cell = kCells[index];
  if (cell.code_point == 0) {
    out += kGeta;
  } else {
    out += form == SymbolForm::kPlain ? cell.plain : cell.text;
  }
}

// Splits UTF-8 into its characters; nullopt when it is not valid UTF-8.
std::optional<std::vector<std::string_view>> SplitUtf8(std::string_view utf8,
                                                       std::vector<char32_t>* code_points) {
  std::vector<std::string_view> chars;
  for (size_t i = 0; i < utf8.size();) {
    size_t n = 1;
    const std::optional<char32_t> cp = NextUtf8Char(utf8.substr(i), &n);
    if (!cp) return std::nullopt;
    chars.push_back(utf8.substr(i, n));
    code_points->push_back(*cp);
    i += n;
  }
  return chars;
}

// The broadcast Shift-JIS of one character typed by the user (see Utf8ToBroadcast).
std::optional<std::string> CharToBroadcast(std::string_view utf8_char, char32_t cp) {
  std::string sjis = Utf8ToSjis(utf8_char);
  if (BroadcastToUtf8(sjis) == utf8_char) return sjis;
  const uint16_t code = AdditionalCellCode(cp);
  if (code == 0) return std::nullopt;
  return std::string{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

}  // namespace

std::string BroadcastToUtf8(std::string_view sjis, SymbolForm form) {
  std::string out;
  size_t run = 0;  // start of the bytes not yet converted
  for (size_t i = 0; i < sjis.size();) {
    const size_t n = SjisCharLength(sjis, i);
    const int cell =
        n == 2 ? CellIndex(static_cast<uint8_t>(sjis[i]), static_cast<uint8_t>(sjis[i + 1])) : -1;
    if (cell >= 0) {
      if (run < i) out += SjisToUtf8(sjis.substr(run, i - run));
      AppendCell(out, cell, form);
      run = i + n;
    }
    i += n;
  }
  if (run < sjis.size()) out += SjisToUtf8(sjis.substr(run));
  return out;
}

std::optional<std::string> Utf8ToBroadcast(std::string_view utf8, std::string_view shown_from) {
  // The characters of the text as it was shown: their bytes and how they read.
  std::vector<std::string_view> shown_bytes;
  std::vector<std::string> shown_text;
  for (size_t i = 0; i < shown_from.size();) {
    const size_t n = SjisCharLength(shown_from, i);
    shown_bytes.push_back(shown_from.substr(i, n));
    shown_text.push_back(BroadcastToUtf8(shown_bytes.back()));
    i += n;
  }
  // The shown characters the text still begins and ends with keep their bytes; in between is what
  // the user typed.
  const size_t ns = shown_bytes.size();
  size_t head = 0, begin = 0;
  while (head < ns && utf8.substr(begin).starts_with(shown_text[head])) begin += shown_text[head++].size();
  size_t tail = 0, end = utf8.size();
  while (tail < ns - head && utf8.substr(begin, end - begin).ends_with(shown_text[ns - 1 - tail]))
    end -= shown_text[ns - 1 - tail++].size();

  std::vector<char32_t> code_points;
  const auto typed = SplitUtf8(utf8.substr(begin, end - begin), &code_points);
  if (!typed) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < head; ++i) out += shown_bytes[i];
  for (size_t i = 0; i < typed->size(); ++i) {
    const std::optional<std::string> c = CharToBroadcast((*typed)[i], code_points[i]);
    if (!c) return std::nullopt;
    out += *c;
  }
  for (size_t i = ns - tail; i < ns; ++i) out += shown_bytes[i];
  return out;
}

std::string BroadcastToPlainSjis(std::string_view sjis) {
  std::string out;
  out.reserve(sjis.size());
  for (size_t i = 0; i < sjis.size();) {
    const size_t n = SjisCharLength(sjis, i);
    const int cell =
        n == 2 ? CellIndex(static_cast<uint8_t>(sjis[i]), static_cast<uint8_t>(sjis[i + 1])) : -1;
    if (cell < 0) {
      out += sjis.substr(i, n);
    } else {
      const std::optional<std::string> plain =
          kCells[cell].code_point != 0 ? Utf8ToSjisExact(kCells[cell].plain) : std::nullopt;
      out += plain ? *plain : std::string(kGetaSjis);
    }
    i += n;
  }
  return out;
}

std::optional<char32_t> NextUtf8Char(std::string_view utf8, size_t* length) {
  *length = 1;
  if (utf8.empty()) return std::nullopt;
  const auto b = static_cast<uint8_t>(utf8[0]);
  size_t n = 1;
  char32_t cp = b;
  if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    cp = b & 0x07;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    cp = b & 0x0F;
  } else if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
    cp = b & 0x1F;
  } else if (b >= 0x80) {
    return std::nullopt;
  }
  if (n > utf8.size()) return std::nullopt;
  for (size_t k = 1; k < n; ++k) {
    const auto c = static_cast<uint8_t>(utf8[k]);
    if ((c & 0xC0) != 0x80) return std::nullopt;
    cp = cp << 6 | (c & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not characters.
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
    return std::nullopt;
  *length = n;
  return cp;
}

uint16_t AdditionalCellCode(char32_t code_point) {
  // The cells with a character, by code point (the first cell of a code point held twice first).
  static const std::vector<std::pair<char32_t, int>> by_code_point = [] {
    std::vector<std::pair<char32_t, int>> v;
    for (int i = 0; i < kAdditionalCells; ++i) {
      if (kCells[i].code_point != 0) v.emplace_back(kCells[i].code_point, i);
    }
    std::sort(v.begin(), v.end());
    return v;
  }();
  if (code_point == 0) return 0;
  const auto it = std::lower_bound(by_code_point.begin(), by_code_point.end(), std::make_pair(code_point, 0));
  return it != by_code_point.end() && it->first == code_point ? CellCode(it->second) : 0;
}

}  // namespace pelkan::platform
