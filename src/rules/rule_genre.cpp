#include "rules/rule_genre.h"

#include "guide/guide_texts.h"
#include "platform/text_codec.h"

namespace pelkan {
namespace {

// The second levels of each first level (content_nibble_level_2 0-14 in order; "" where the
// standard names none); 15 is "その他" in every first level.
const char* const kSubGenres[12][15] = {
    {"定時・総合", "天気", "特集・ドキュメント", "政治・国会", "経済・市況", "海外・国際", "解説",
     "討論・会談", "報道特番", "ローカル・地域", "交通"},
    {"スポーツニュース", "野球", "サッカー", "ゴルフ", "その他の球技", "相撲・格闘技",
     "オリンピック・国際大会", "マラソン・陸上・水泳", "モータースポーツ", "マリン・ウィンタースポーツ",
     "競馬・公営競技"},
    {"芸能・ワイドショー", "ファッション", "暮らし・住まい", "健康・医療", "ショッピング・通販",
     "グルメ・料理", "イベント", "番組紹介・お知らせ"},
    {"国内ドラマ", "海外ドラマ", "時代劇"},
    {"国内ロック・ポップス", "海外ロック・ポップス", "クラシック・オペラ", "ジャズ・フュージョン",
     "歌謡曲・演歌", "ライブ・コンサート", "ランキング・リクエスト", "カラオケ・のど自慢", "民謡・邦楽",
     "童謡・キッズ", "民族音楽・ワールドミュージック"},
    {"クイズ", "ゲーム", "トークバラエティ", "お笑い・コメディ", "音楽バラエティ", "旅バラエティ",
     "料理バラエティ"},
    {"洋画", "邦画", "アニメ"},
    {"国内アニメ", "海外アニメ", "特撮"},
    {"社会・時事", "歴史・紀行", "自然・動物・環境", "宇宙・科学・医学", "カルチャー・伝統文化", "文学・文芸",
     "スポーツ", "ドキュメンタリー全般", "インタビュー・討論"},
    {"現代劇・新劇", "ミュージカル", "ダンス・バレエ", "落語・演芸", "歌舞伎・古典"},
    {"旅・釣り・アウトドア", "園芸・ペット・手芸", "音楽・美術・工芸", "囲碁・将棋", "麻雀・パチンコ",
     "車・オートバイ", "コンピュータ・ＴＶゲーム", "会話・語学", "幼児・小学生", "中学生・高校生",
     "大学生・受験", "生涯教育・資格", "教育問題"},
    {"高齢者", "障害者", "社会福祉", "ボランティア", "手話", "文字（字幕）", "音声解説"},
};
constexpr char kOther[] = "その他";

// `text` with each '／' as '/' and the blanks around it and at both ends left out.
std::string Plain(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (text.substr(i, 3) == "／") {
      out += '/';
      i += 3;
    } else {
      out += text[i++];
    }
  }
  const size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

// The first level named `name` (already Plain), or -1.
int Level1(std::string_view name) {
  for (int level1 = 0; level1 < 12; ++level1) {
    if (Plain(platform::SjisToUtf8(guide_text::GenreGroupName(level1))) == name) return level1;
  }
  return -1;
}

}  // namespace

std::optional<RuleGenre> ParseGenreName(std::string_view text) {
  const std::string plain = Plain(text);
  if (const int level1 = Level1(plain); level1 >= 0) return RuleGenre{level1, -1};
  // The second level after the last slash: the first level's own name may hold one.
  const size_t slash = plain.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  const int level1 = Level1(Plain(plain.substr(0, slash)));
  if (level1 < 0) return std::nullopt;
  const std::string sub = Plain(plain.substr(slash + 1));
  if (sub == kOther) return RuleGenre{level1, 15};
  for (int level2 = 0; level2 < 15; ++level2) {
    const char* name = kSubGenres[level1][level2];
    if (name != nullptr && *name != '\0' && sub == name) return RuleGenre{level1, level2};
  }
  return std::nullopt;
}

std::string GenreNamesText(std::string_view indent) {
  std::string out;
  for (int level1 = 0; level1 < 12; ++level1) {
    out += std::string(indent) + std::to_string(level1) + " " +
           platform::SjisToUtf8(guide_text::GenreGroupName(level1)) + ":";
    for (const char* name : kSubGenres[level1]) {
      if (name != nullptr && *name != '\0') out += std::string(" ") + name + ",";
    }
    out += std::string(" ") + kOther + "\n";
  }
  return out;
}

}  // namespace pelkan
