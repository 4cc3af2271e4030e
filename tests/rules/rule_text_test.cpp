#include "rules/rule_text.h"

#include <gtest/gtest.h>

#include "platform/broadcast_text.h"

namespace pelkan {
namespace {

std::string Broadcast(const char* utf8) {
  return platform::Utf8ToBroadcast(utf8).value();
}

TEST(RuleText, FoldsWidthKanaCaseAndSymbols) {
  struct Case {
    const char* broadcast;
    const char* folded;
  } cases[] = {
      {"ＮＨＫ　ニュース７", "nhk ニュース7"},
      {"ＡＢＣ＃１２（再）", "abc#12(再)"},
      {"ｶﾞﾝﾀﾞﾑ ﾊﾟﾄﾛｰﾙ ｳﾞｨﾗ", "ガンダム パトロール ヴィラ"},
      {"ｱﾞ", "ア゛"},  // a voiced mark the kana cannot take stays a mark
      {"麒麟の道\U0001F211\U0001F21E", "麒麟の道[字][再]"},
      {"大河［前］\U0001F21C", "大河[前][前]"},
  };
  for (const Case& c : cases) EXPECT_EQ(FoldBroadcastText(Broadcast(c.broadcast)), c.folded) << c.broadcast;
  EXPECT_EQ(FoldUserText("ｷﾘﾝ　Ｄｒａｍａ"), "キリン drama");
}

// The folding of broadcast text reads each character from a table; it must give what reading the
// text and folding it does, for every character and for the pairs folded together.
TEST(RuleText, FoldingBroadcastTextReadsEachCharacterAsTheReaderDoes) {
  const auto slow = [](const std::string& sjis) {
    return FoldUserText(platform::BroadcastToUtf8(sjis, platform::SymbolForm::kPlain));
  };
  int differ = 0;
  const auto check = [&](const std::string& sjis) {
    if (FoldBroadcastText(sjis) != slow(sjis) && ++differ <= 10) {
      ADD_FAILURE() << "folds differently: " << testing::PrintToString(sjis);
    }
  };
  for (int b = 0; b < 0x100; ++b) check(std::string(1, static_cast<char>(b)));
  for (int lead = 0x81; lead <= 0xFC; ++lead) {
    for (int trail = 0x40; trail <= 0xFC; ++trail) {
      check({static_cast<char>(lead), static_cast<char>(trail)});
    }
  }
  for (int kana = 0xA1; kana <= 0xDF; ++kana) {
    for (const char mark : {'\xDE', '\xDF'}) {
      check({static_cast<char>(kana), mark});
      check({static_cast<char>(kana), mark, mark, static_cast<char>(kana)});
    }
  }
  // Texts with a byte the table leaves to the reader: cut-off and lone lead bytes, bytes that are
  // no character, a code without a character, the symbols of rows 85-94.
  for (const char* text : {"\x82", "abc\x82", "\x82\x20x", "\x81\x7F", "\x80\xA0\xFD\xFE\xFF", "x\x85\x40y",
                           "\xEB\x40\xEC\x9F\xEF\xFC", "\x82\xA0\xB6\xDE\x83\x4B",
                           "a\x83\xDE\xB6\xDF\xDE"}) {
    check(text);
  }
  check(Broadcast("ＮＨＫ　ﾆｭｰｽ７［字］麒麟の道\U0001F211"));
}

// The search for a word gives what a plain search gives, with or without the text's signature.
TEST(RuleText, WordSearchFindsWhatAPlainSearchFinds) {
  const char* const texts[] = {"", "a", "aab", "aaab", "abcabd", "麒麟の道 第12話", "きりんのみち", "x\n麒麟", "道麟麒"};
  const char* const words[] = {"", "a", "ab", "aab", "abd", "bcab", "麒麟", "麟の", "の道 第", "第12話", "2話x",
                               "麒麟の道 第12話!", "みち", "x\n麒", "麒\n"};
  for (const char* text : texts) {
    for (const char* word : words) {
      const std::string_view t(text);
      const bool holds = t.find(word) != std::string_view::npos;
      const WordSearch search(word);
      EXPECT_EQ(search.In(t), holds) << "\"" << text << "\" / \"" << word << "\"";
      EXPECT_EQ(search.In(t, TextSignature::Of(t)), holds) << "\"" << text << "\" / \"" << word << "\"";
      EXPECT_EQ(TextSignature::Of(t).Holds(search.signature()) || !holds, true) << text << " / " << word;
    }
  }
  // The signature tells most words not in a text without a search.
  EXPECT_FALSE(TextSignature::Of("麒麟の道").Holds(TextSignature::Of("将棋")));
  EXPECT_EQ(TextSignature::Of("麒麟").Narrow() & TextSignature::Of("麟").Narrow(), TextSignature::Of("麟").Narrow());
}

TEST(RuleText, TitleWithoutMarksKeepsWhatTellsEpisodesApart) {
  struct Case {
    const char* folded;
    const char* kept;
  } cases[] = {
      {"[新]麒麟の道 第1話[字]", "麒麟の道 第1話"},
      {"【再】麒麟の道 第1話", "麒麟の道 第1話"},
      {"麒麟の道(再) #3 [デ][s]", "麒麟の道 #3"},
      {"特集 北の海 [前] 前編", "特集 北の海 [前] 前編"},
      {"特集 北の海 [後] 後編[終]", "特集 北の海 [後] 後編"},
      {"料理の時間 (3) 第3回", "料理の時間 (3) 第3回"},
      {"[再放送]夜の街[", "夜の街["},
  };
  for (const Case& c : cases) EXPECT_EQ(TitleWithoutMarks(c.folded), c.kept) << c.folded;
}

// What tells a programme's episode in its title, and what does not (a news, a daily show, a number
// that is no episode, a mark of a rerun).
TEST(RuleText, EpisodeMarksInTitles) {
  struct Case {
    const char* folded;
    bool episode;
  } cases[] = {
      {"麒麟の道 第12話", true},  {"麒麟の道 第十二話", true}, {"料理の時間 第3回", true},
      {"麒麟の道 #3", true},      {"麒麟の道 (3)", true},      {"特集 北の海 前編", true},
      {"特集 北の海 [後]", true}, {"朝のニュース", false},     {"ニュース7", false},
      {"麒麟の道(再)", false},    {"第一会議室から", false},   {"麒麟の道 #", false},
      {"東京2020 (字)", false},
  };
  for (const Case& c : cases) EXPECT_EQ(HasEpisodeMark(c.folded), c.episode) << c.folded;
}

}  // namespace
}  // namespace pelkan
