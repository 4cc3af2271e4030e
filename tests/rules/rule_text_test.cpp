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

}  // namespace
}  // namespace pelkan
