#pragma once

#include <string>
#include <string_view>

namespace pelkan {

// Texts as the rules compare them: UTF-8 with the broadcast's symbols in their plain forms ("[字]"),
// full-width letters, digits and signs as ASCII, the ideographic space as a space, half-width kana
// as full-width (a voiced mark joined to its kana), capitals as small letters. Pure functions.

// Folds broadcast text (Shift-JIS of the broadcast-text decoder).
std::string FoldBroadcastText(std::string_view sjis);
// Folds text the user typed (UTF-8).
std::string FoldUserText(std::string_view utf8);

// A folded title without its rerun, new, subtitle and other broadcast marks ("[再]", "【新】",
// "(字)", ...), blanks collapsed; what tells episodes apart stays ("第3話", "#3", "(3)", "[前]",
// "前編", "第3回"). Pure function.
std::string TitleWithoutMarks(std::string_view folded);

}  // namespace pelkan
