#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pelkan {

// Texts as the rules compare them: UTF-8 with the broadcast's symbols in their plain forms ("[字]"),
// full-width letters, digits and signs as ASCII, the ideographic space as a space, half-width kana
// as full-width (a voiced mark joined to its kana), capitals as small letters. Pure functions.

// Which characters a folded text holds, as 256 bits set by a hash of each character: a text can
// hold a word only when its signature holds the word's, so most texts are ruled out without a
// search.
struct TextSignature {
  uint64_t bits[4] = {};

  // Adds the characters of `utf8` (whole characters).
  void Add(std::string_view utf8);
  // Adds one character by its bit (CharBit).
  void AddBit(uint8_t bit) { bits[bit >> 6] |= uint64_t{1} << (bit & 63); }
  bool Holds(const TextSignature& part) const {
    return ((part.bits[0] & ~bits[0]) | (part.bits[1] & ~bits[1]) | (part.bits[2] & ~bits[2]) |
            (part.bits[3] & ~bits[3])) == 0;
  }
  // The signature in 64 bits: holds a part's Narrow as the whole signature holds the part.
  uint64_t Narrow() const { return bits[0] | bits[1] | bits[2] | bits[3]; }
  static TextSignature Of(std::string_view utf8);
  // The bit of one character (its UTF-8 bytes).
  static uint8_t CharBit(std::string_view utf8_char);
};

// A folded word made ready to be looked for in many texts: its signature, and the shifts of a
// Horspool search (quicker than a general search on the short texts of a guide, whose set-up it
// does once).
class WordSearch {
 public:
  explicit WordSearch(std::string word = {});
  const std::string& word() const { return word_; }
  const TextSignature& signature() const { return signature_; }
  // True when `text` holds the word (an empty word is in every text).
  bool In(std::string_view text) const;
  // The same, told at once when `text_signature` (of a text holding at least `text`) lacks one of
  // the word's characters.
  bool In(std::string_view text, const TextSignature& text_signature) const {
    return text_signature.Holds(signature_) && In(text);
  }

 private:
  std::string word_;
  TextSignature signature_;
  uint8_t shift_[256];
};

// Folds broadcast text (Shift-JIS of the broadcast-text decoder).
std::string FoldBroadcastText(std::string_view sjis);
// The same, appended to `out`, its characters added to `signature` (when not null).
void AppendFoldedBroadcastText(std::string_view sjis, std::string* out, TextSignature* signature = nullptr);
// Folds text the user typed (UTF-8).
std::string FoldUserText(std::string_view utf8);

// A folded title without its rerun, new, subtitle and other broadcast marks ("[再]", "【新】",
// "(字)", ...), blanks collapsed; what tells episodes apart stays ("第3話", "#3", "(3)", "[前]",
// "前編", "第3回"). Pure function.
std::string TitleWithoutMarks(std::string_view folded);
// True when a folded title tells its episode: 第N話, 第N回 (also 夜, 部, 章; N in digits or kanji),
// #N, (N), 前編, 中編, 後編, [前], [中], [後] (outside the marks TitleWithoutMarks leaves out). Pure
// function.
bool HasEpisodeMark(std::string_view folded);

}  // namespace pelkan
