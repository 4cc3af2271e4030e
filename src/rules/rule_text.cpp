#include "rules/rule_text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "platform/broadcast_text.h"
#include "platform/text_codec.h"

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

// The folded form of every Shift-JIS character of broadcast text, made once from
// Fold(BroadcastToUtf8(..., kPlain)) itself, so that folding a text is a lookup per character
// instead of a converter opened for each text. The conversion reads each character on its own and
// Fold joins nothing across characters but a half-width kana with the voiced mark after it, kept as
// pairs; a text with a character the table does not hold (an unmapped code, a lead byte cut off, a
// byte that is no character) is folded the slow way, so the result is always the same.
class FoldTable {
 public:
  FoldTable() {
    single_.fill(kNone);
    double_.assign(kLeads * kTrails, kNone);
    voiced_.fill(kNone);
    for (int b = 0; b < 0x100; ++b) {
      // Bytes outside ASCII and the half-width kana are left to the slow way: CP932 may read them as
      // the start of a character.
      if (b < 0x80 || (b >= 0xA1 && b <= 0xDF)) {
        const char c = static_cast<char>(b);
        single_[b] = Add(platform::BroadcastToUtf8(std::string_view(&c, 1), platform::SymbolForm::kPlain), false);
      }
    }
    for (int b = 0xA1; b <= 0xDF; ++b) {
      for (int mark = 0; mark < 2; ++mark) {
        const char pair[2] = {static_cast<char>(b), static_cast<char>(0xDE + mark)};
        voiced_[(b - 0xA1) * 2 + mark] =
            Add(platform::BroadcastToUtf8(std::string_view(pair, 2), platform::SymbolForm::kPlain), false);
      }
    }
    // Every two-byte character in one conversion, each followed by a line break.
    std::string all;
    all.reserve(kLeads * kTrails * 3);
    for (int i = 0; i < kLeads * kTrails; ++i) {
      all.push_back(static_cast<char>(LeadOf(i)));
      all.push_back(static_cast<char>(0x40 + i % kTrails));
      all.push_back('\n');
    }
    const std::string utf8 = platform::BroadcastToUtf8(all, platform::SymbolForm::kPlain);
    std::vector<std::string_view> pieces;
    for (size_t at = 0, end; (end = utf8.find('\n', at)) != std::string::npos; at = end + 1) {
      pieces.push_back(std::string_view(utf8).substr(at, end - at));
    }
    for (int i = 0; i < kLeads * kTrails; ++i) {
      const char code[2] = {static_cast<char>(LeadOf(i)), static_cast<char>(0x40 + i % kTrails)};
      if (platform::SjisCharLength(std::string_view(code, 2), 0) != 2) continue;
      double_[i] = pieces.size() == static_cast<size_t>(kLeads * kTrails)
                       ? Add(pieces[i], true)
                       : Add(platform::BroadcastToUtf8(std::string_view(code, 2), platform::SymbolForm::kPlain), true);
    }
    texts_.append(8, '\0');
  }

  // Appends the folded `sjis` to `out`; false (`out` as it was) when the table does not hold one
  // of its characters.
  bool Append(std::string_view sjis, std::string* out, TextSignature* signature) const {
    const size_t size = sjis.size();
    const auto* p = reinterpret_cast<const uint8_t*>(sjis.data());
    // Each character is copied as a fixed 8 bytes (the table has that much after its last text)
    // into a buffer with room for the longest folds, and the text taken from it at the end.
    thread_local std::vector<char> buffer;
    if (buffer.size() < size * max_per_byte_ + 8) buffer.resize(size * max_per_byte_ + 8);
    char* to = buffer.data();
    const char* texts = texts_.data();
    TextSignature sign;
    for (size_t i = 0; i < size;) {
      const uint8_t b = p[i];
      Entry e;
      if (b < 0x80) {
        e = single_[b];
        ++i;
      } else if (b >= 0xA1 && b <= 0xDF) {
        const bool voiced = i + 1 < size && (p[i + 1] == 0xDE || p[i + 1] == 0xDF);
        e = voiced ? voiced_[(b - 0xA1) * 2 + (p[i + 1] - 0xDE)] : single_[b];
        i += voiced ? 2 : 1;
      } else {
        // A lead byte with its trail byte (SjisCharLength's test), else a byte left to the slow way.
        const bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
        if (!lead || i + 1 >= size || p[i + 1] < 0x40 || p[i + 1] > 0xFC || p[i + 1] == 0x7F) return false;
        e = double_[static_cast<size_t>((b <= 0x9F ? b - 0x81 : b - 0xE0 + (0xA0 - 0x81)) * kTrails + (p[i + 1] - 0x40))];
        i += 2;
      }
      if (e.length == kNone.length) return false;
      if (e.one_char) {
        sign.AddBit(e.bit);
      } else {
        sign.Add(std::string_view(texts + e.offset, e.length));
      }
      if (e.length <= 8) {
        std::memcpy(to, texts + e.offset, 8);
      } else {
        std::memcpy(to, texts + e.offset, e.length);
      }
      to += e.length;
    }
    out->append(buffer.data(), static_cast<size_t>(to - buffer.data()));
    if (signature != nullptr) {
      for (int k = 0; k < 4; ++k) signature->bits[k] |= sign.bits[k];
    }
    return true;
  }

 private:
  struct Entry {
    uint32_t offset;
    uint16_t length;
    uint8_t bit;    // CharBit of the fold, when it is one character
    bool one_char;
  };
  static constexpr Entry kNone{0, 0xFFFF, 0, false};
  // Lead bytes 0x81-0x9F and 0xE0-0xFC; trail bytes 0x40-0xFC.
  static constexpr int kLeads = (0xA0 - 0x81) + (0xFD - 0xE0);
  static constexpr int kTrails = 0xFD - 0x40;

  static int LeadOf(int index) {
    const int lead = index / kTrails;
    return lead < 0xA0 - 0x81 ? 0x81 + lead : 0xE0 + lead - (0xA0 - 0x81);
  }

  // Keeps the fold of one character's UTF-8; kNone when it did not convert, or when a two-byte
  // character reads as a half-width kana or voiced mark (which Fold would join across characters).
  Entry Add(std::string_view utf8, bool two_bytes) {
    const size_t input = two_bytes ? 2 : 1;
    if (utf8.find("\xEF\xBF\xBD") != std::string_view::npos) return kNone;
    for (size_t i = 0; two_bytes && i < utf8.size();) {
      size_t n = 1;
      const std::optional<char32_t> c = platform::NextUtf8Char(utf8.substr(i), &n);
      if (!c || (*c >= 0xFF61 && *c <= 0xFF9F)) return kNone;
      i += n;
    }
    const std::string folded = Fold(utf8);
    max_per_byte_ = std::max(max_per_byte_, (folded.size() + input - 1) / input);
    size_t first = 1;
    platform::NextUtf8Char(folded, &first);
    const bool one_char = !folded.empty() && first == folded.size();
    const Entry e{static_cast<uint32_t>(texts_.size()), static_cast<uint16_t>(folded.size()),
                  one_char ? TextSignature::CharBit(folded) : uint8_t{0}, one_char};
    texts_ += folded;
    return e;
  }

  std::string texts_;
  size_t max_per_byte_ = 1;  // the longest fold of a character over its bytes, rounded up
  std::array<Entry, 0x100> single_;
  std::vector<Entry> double_;
  std::array<Entry, (0xE0 - 0xA1) * 2> voiced_;
};

const FoldTable& Folds() {
  static const FoldTable table;
  return table;
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

void TextSignature::Add(std::string_view utf8) {
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    size_t n = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    n = std::min(n, utf8.size() - i);
    AddBit(CharBit(utf8.substr(i, n)));
    i += n;
  }
}

TextSignature TextSignature::Of(std::string_view utf8) {
  TextSignature s;
  s.Add(utf8);
  return s;
}

uint8_t TextSignature::CharBit(std::string_view utf8_char) {
  uint32_t v = 0;
  for (size_t i = 0; i < utf8_char.size() && i < 4; ++i) v |= uint32_t{static_cast<unsigned char>(utf8_char[i])} << (8 * i);
  return static_cast<uint8_t>((v * 0x9E3779B1u) >> 24);
}

WordSearch::WordSearch(std::string word) : word_(std::move(word)), signature_(TextSignature::Of(word_)) {
  const size_t m = word_.size();
  std::fill(std::begin(shift_), std::end(shift_), static_cast<uint8_t>(std::min<size_t>(m, 255)));
  for (size_t i = 0; i + 1 < m; ++i) {
    shift_[static_cast<unsigned char>(word_[i])] = static_cast<uint8_t>(std::min<size_t>(m - 1 - i, 255));
  }
}

bool WordSearch::In(std::string_view text) const {
  const size_t m = word_.size();
  if (m == 0) return true;
  if (text.size() < m) return false;
  const char* const t = text.data();
  const auto last = static_cast<unsigned char>(word_[m - 1]);
  for (size_t i = 0; i + m <= text.size();) {
    const auto c = static_cast<unsigned char>(t[i + m - 1]);
    if (c == last && std::memcmp(t + i, word_.data(), m - 1) == 0) return true;
    i += shift_[c];
  }
  return false;
}

std::string FoldBroadcastText(std::string_view sjis) {
  std::string out;
  AppendFoldedBroadcastText(sjis, &out, nullptr);
  return out;
}

void AppendFoldedBroadcastText(std::string_view sjis, std::string* out, TextSignature* signature) {
  if (Folds().Append(sjis, out, signature)) return;
  const std::string folded = Fold(platform::BroadcastToUtf8(sjis, platform::SymbolForm::kPlain));
  *out += folded;
  if (signature != nullptr) signature->Add(folded);
}

std::string FoldUserText(std::string_view utf8) {
  return Fold(utf8);
}

bool HasEpisodeMark(std::string_view folded) {
  const std::string title = TitleWithoutMarks(folded);
  const std::string_view t(title);
  for (std::string_view part : {"前編", "中編", "後編", "[前]", "[中]", "[後]"}) {
    if (t.find(part) != std::string_view::npos) return true;
  }
  // The length of the number (digits or kanji numerals) at `i`.
  const auto number_at = [t](size_t i) {
    const size_t from = i;
    while (i < t.size()) {
      if (t[i] >= '0' && t[i] <= '9') {
        ++i;
        continue;
      }
      bool numeral = false;
      for (std::string_view k : {"一", "二", "三", "四", "五", "六", "七", "八", "九", "十", "百", "〇"}) {
        if (t.substr(i, k.size()) == k) {
          i += k.size();
          numeral = true;
          break;
        }
      }
      if (!numeral) break;
    }
    return i - from;
  };
  constexpr std::string_view kOrdinal = "第";
  for (size_t i = 0; i < t.size(); ++i) {
    if (t.substr(i, kOrdinal.size()) == kOrdinal) {
      const size_t n = number_at(i + kOrdinal.size());
      const std::string_view after = t.substr(std::min(t.size(), i + kOrdinal.size() + n));
      if (n > 0 && (after.starts_with("話") || after.starts_with("回") || after.starts_with("夜") ||
                    after.starts_with("部") || after.starts_with("章")))
        return true;
    }
    if (t[i] == '#' && i + 1 < t.size() && t[i + 1] >= '0' && t[i + 1] <= '9') return true;
    if (t[i] == '(') {
      const size_t n = number_at(i + 1);
      if (n > 0 && i + 1 + n < t.size() && t[i + 1 + n] == ')') return true;
    }
  }
  return false;
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
