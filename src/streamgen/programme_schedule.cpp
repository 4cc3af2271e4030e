#include "streamgen/programme_schedule.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace pelkan::streamgen {
namespace {

uint64_t SplitMix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

struct TitleEntry {
  const char* title;
  uint8_t genre;  // content_nibble_level_1 << 4 | level_2
};

// Programme titles: kana, kanji of both JIS levels, full-width letters, digits and punctuation, and
// as on the air the additional symbols ([字] subtitles, [デ] data, [新], [終], [再], ☀) and kanji
// (﨑, 𠮷) of rows 85-94 of the kanji set.
constexpr TitleEntry kTitles[] = {
    {"ニュース７🈑", 0x00},
    {"おはよう日本🈑🈓", 0x00},
    {"首都圏ネットワーク🈑", 0x01},
    {"ペルカン天気予報☀☁☂", 0x01},
    {"大相撲春場所・中日🈖🈑", 0x10},
    {"サッカー　Ｊリーグ第１２節🈢", 0x12},
    {"連続テレビ小説「麒麟の庭」🈟🈑🈓", 0x30},
    {"土曜ドラマ　鴎外と漱石🈡🈑", 0x30},
    {"きょうの料理　鰻の蒲焼き🈑", 0x5B},
    {"歌謡コンサート🈑🈓", 0x40},
    {"ダーウィンが来た！🈑", 0x80},
    {"世界遺産　薔薇の回廊🈞", 0x81},
    {"アニメ　忍たま乱太郎🈑", 0x70},
    {"映画「羅生門」🈙🈑", 0x60},
    {"ｎｅｗｓ　ｗａｔｃｈ　９🈑", 0x00},
    {"鑑定団　𠮷田と山﨑の逸品", 0x50},
    {"囲碁・将棋ジャーナル☖☗", 0x92},
    {"みんなのうた♬", 0x41},
    {"ドキュメント７２時間🈞", 0x80},
    {"趣味の園芸　薊と菫🈑", 0xA0},
};

constexpr const char* kDescriptions[] = {
    "きょうの主なニュースと全国の気象情報をお伝えします。",
    "出演：山田太郎、佐藤花子　司会：鈴木一郎",
    "第３回。老舗の暖簾を守る姉妹に、思いがけない知らせが届く。",
    "北海道から沖縄まで、各地の話題を中継で結びます。",
    "名人戦の見どころを解説。棋譜を振り返る（再放送）",
    "ゲスト：ＡＢＣ楽団　曲目「春の海」ほか",
    "鷺、鶯、鴎…水辺に暮らす鳥たちの一年を追う。",
    "［字幕放送］　番組の内容は変更になる場合があります。",
};

// Sentences of the extended description's "番組内容" item; a programme takes two to four in a row,
// so that many items are longer than one extended_event_descriptor holds.
constexpr const char* kSynopses[] = {
    "港町の小さな食堂を舞台に、三世代の家族が織りなす人間模様を描く。",
    "今回は、春の訪れとともに開かれる伝統の祭りを、地元の人々の証言で振り返る。",
    "番組の後半では、視聴者から寄せられた質問に専門家が答えます。",
    "取材班は三か月にわたり、山あいの集落で暮らす人々の一日を記録した。",
    "ゲストを迎え、思い出の曲とともに、その歩みをたどります。",
    "全国の名所を訪ね、季節の味覚と、そこに受け継がれる技を紹介する。",
    "最新の研究成果をもとに、わかりやすい模型と映像で解説します。",
    "長い沈黙を破り、主人公はついに十年前の事件の真相を語り始める。",
};

// Texts of the other items: performers, and the credits of a few programmes.
constexpr const char* kPerformers[] = {
    "山田太郎、佐藤花子、鈴木一郎、高橋美咲",
    "田中健一（キャスター）、伊藤由紀（気象予報士）",
    "渡辺直樹、小林恵、中村翔太、加藤彩、吉田誠",
    "語り：松本聡子",
};
constexpr const char* kCredits[] = {
    "作：森川清　音楽：岡本遥　演出：石井大輔",
    "制作：ペルカン放送協会",
};

constexpr uint32_t kNoDuration = 0xFFFFFFFFu;
constexpr uint64_t kEventIds = 0xFFFE;  // event ids 1 to 65534 in turn
constexpr AbsTime kEndOfTime = std::numeric_limits<AbsTime>::max();
constexpr int64_t kShortestProgramme = 60;

// The daily drama: its title is kept for the series slots.
constexpr size_t kDramaTitle = 6;
constexpr uint16_t kDramaSeries = 0x0101;
constexpr uint16_t kSpecialSeries = 0x0102;
constexpr uint16_t kAnimeSeries = 0x0103;
constexpr uint32_t kDramaEpisodes = 130;

constexpr const char* kCities[] = {"ウィーン", "リスボン", "京都", "ハバナ", "オスロ"};

// Weekday of an MJD day, 0 Sunday (MJD 0 was a Wednesday).
uint32_t Weekday(uint64_t day) {
  return static_cast<uint32_t>((day + 3) % 7);
}

// `n` in full-width digits, as programme titles write numbers (the broadcast's text coding has
// no other digits in a title).
std::string FullWidth(uint32_t n) {
  std::string out;
  for (char c : std::to_string(n)) out += std::string("０１２３４５６７８９").substr(static_cast<size_t>(c - '0') * 3, 3);
  return out;
}

// The drama's episode of day `day`, 1-kDramaEpisodes, rising by one a day.
uint16_t DramaEpisode(uint64_t day) {
  return static_cast<uint16_t>(day % kDramaEpisodes + 1);
}

}  // namespace

ProgrammeSchedule::ProgrammeSchedule(uint64_t seed, uint16_t service_id, uint32_t slot_seconds, bool hd,
                                     const std::vector<ProgrammeChange>& changes, AbsTime reference, bool series,
                                     bool late_from_shown_start)
    : seed_(seed), service_id_(service_id), slot_(slot_seconds), hd_(hd), series_(series && slot_seconds == 1800) {
  const uint64_t running = reference / slot_;
  const uint64_t first = running > 0 ? running - 1 : 0;
  for (const ProgrammeChange& c : changes) {
    if (c.service_id != service_id || c.event_id == 0 || c.event_id > kEventIds) continue;
    const uint64_t k = IndexOfEvent(c.event_id, first);
    Planned& p = planned_[k];
    switch (c.kind) {
      // Counted, when asked, from the start the tables show without changes: after the programme
      // before's overrun when it has one.
      case ProgrammeChangeKind::kLate:
        p.late = int64_t{c.seconds} + (late_from_shown_start && k > 0 && RandomOverrun(k - 1) ? int64_t{Overrun()} : 0);
        break;
      case ProgrammeChangeKind::kExtend: p.extend = std::max(c.seconds, 0); break;
      case ProgrammeChangeKind::kUndetermined: p.undetermined = true; break;
    }
  }
}

uint64_t ProgrammeSchedule::IndexOfEvent(uint16_t event_id, uint64_t first) {
  const uint64_t wanted = (event_id + kEventIds - 1) % kEventIds;
  return first + (wanted + kEventIds - first % kEventIds) % kEventIds;
}

const ProgrammeSchedule::Planned* ProgrammeSchedule::Plan(uint64_t k) const {
  const auto it = planned_.find(k);
  return it == planned_.end() ? nullptr : &it->second;
}

int64_t ProgrammeSchedule::ExtendedBefore(uint64_t k, AbsTime now) const {
  int64_t moved = 0;
  for (auto it = planned_.begin(); it != planned_.end() && it->first < k; ++it) {
    if (it->second.extend > 0 && ExtendShows(it->first) <= now) moved += it->second.extend;
  }
  return moved;
}

AbsTime ProgrammeSchedule::ExtendShows(uint64_t k) const {
  // The scheduled end as the tables said it until then: the earlier extensions had all shown.
  return static_cast<AbsTime>(static_cast<int64_t>(NominalStart(k + 1)) + ExtendedBefore(k, kEndOfTime));
}

AbsTime ProgrammeSchedule::LateShows(uint64_t k) const {
  const Planned* p = Plan(k);
  const int64_t early = p != nullptr ? std::min<int64_t>(p->late, 0) : 0;
  return static_cast<AbsTime>(static_cast<int64_t>(NominalStart(k)) + ExtendedBefore(k, kEndOfTime) + early);
}

AbsTime ProgrammeSchedule::StartAt(uint64_t k, AbsTime now) const {
  int64_t start = static_cast<int64_t>(NominalStart(k)) + ExtendedBefore(k, now);
  const Planned* p = Plan(k);
  if (p != nullptr && p->late != 0 && LateShows(k) <= now) start += p->late;
  return static_cast<AbsTime>(start);
}

uint64_t ProgrammeSchedule::ShownBy(AbsTime now) const {
  uint64_t shown = 0;
  for (const auto& [k, p] : planned_) {
    if (p.late != 0 && LateShows(k) <= now) ++shown;
    if (p.extend > 0 && ExtendShows(k) <= now) ++shown;
  }
  return shown;
}

std::string ProgrammeSchedule::ChangeProblem() const {
  for (const auto& [k, p] : planned_) {
    for (uint64_t j = k > 0 ? k - 1 : 0; j <= k + 1; ++j) {
      if (static_cast<int64_t>(StartAt(j + 1, kEndOfTime)) - static_cast<int64_t>(StartAt(j, kEndOfTime)) <
          kShortestProgramme) {
        return "the changes leave event " + std::to_string(Texts(j).event_id) + " of service " +
               std::to_string(service_id_) + " shorter than a minute";
      }
    }
  }
  return {};
}

std::pair<uint64_t, uint64_t> ProgrammeSchedule::IndicesStartingIn(AbsTime from, AbsTime to) const {
  // An overrun moves a start back by less than a slot; changes by the extensions before it and a
  // late start, or forward by an early start.
  int64_t back = slot_, forward = 0;
  for (const auto& [k, p] : planned_) {
    back += p.extend + std::max<int64_t>(p.late, 0);
    forward = std::max<int64_t>(forward, -p.late);
  }
  const uint64_t first = from > static_cast<AbsTime>(back) ? (from - static_cast<AbsTime>(back)) / slot_ : 0;
  const uint64_t last = (to + static_cast<AbsTime>(forward) + slot_ - 1) / slot_;
  return {first, last};
}

bool ProgrammeSchedule::SeriesTexts(uint64_t k, ProgrammeInfo* p) const {
  if (!series_) return false;
  const AbsTime start = NominalStart(k);
  const uint64_t day = start / 86400;
  const uint32_t time = static_cast<uint32_t>(start % 86400);
  const char* const drama = kTitles[kDramaTitle].title;
  auto make = [p](std::string title, uint8_t genre, const char* description) {
    p->title = std::move(title);
    p->genre = genre;
    p->description = description;
  };
  SeriesInfo s;
  switch (time) {
    case 19 * 3600 + 1800:  // the drama's first broadcast
    case 8 * 3600: {        // yesterday's episode again
      const bool rerun = time == 8 * 3600;
      const uint16_t episode = DramaEpisode(rerun ? day - 1 : day);
      std::string title = drama;
      if (rerun) title = title.substr(0, title.find("🈟")) + "🈞🈑";
      make(title + "　第" + FullWidth(episode) + "回", 0x30, "老舗の暖簾を守る姉妹の物語。");
      s = {kDramaSeries, static_cast<uint8_t>(rerun ? 1 : 0), 2, episode, kDramaEpisodes, "麒麟の庭"};
      break;
    }
    case 21 * 3600: {  // a two-part special on Friday and Saturday
      const uint32_t weekday = Weekday(day);
      if (weekday != 5 && weekday != 6) return false;
      make(std::string("特集ドラマ「北の海」") + (weekday == 5 ? "前編" : "後編") + "🈑", 0x30,
           "北の港町を舞台に、二夜にわたって描く。");
      s = {kSpecialSeries, 0, 0, static_cast<uint16_t>(weekday == 5 ? 1 : 2), 2, "北の海"};
      break;
    }
    case 12 * 3600: {  // a travel programme and its rerun, told apart only by their marks
      const char* city = kCities[(day / 2) % std::size(kCities)];
      make(std::string("世界ふれあい街歩き　") + city + (day % 2 == 0 ? "🈟🈑" : "🈞🈑"), 0x81,
           "石畳の路地を、土地の人と語らいながら歩く。");
      return true;
    }
    case 1800:  // late night, every day
      make("深夜の音楽便🈑", 0x40, "夜更けに聴きたい名曲を届けます。");
      return true;
    case 5400: {  // late night on Tuesday: Monday's broadcast day
      if (Weekday(day) != 2) return false;
      const uint16_t episode = static_cast<uint16_t>(day / 7 % 4095 + 1);
      make("アニメ「星の旅人」　＃" + FullWidth(episode), 0x70, "星を巡る少年の冒険。");
      s = {kAnimeSeries, 0, 1, episode, 0, "星の旅人"};
      break;
    }
    default:
      return false;
  }
  p->series = s;
  return true;
}

uint64_t ProgrammeSchedule::Hash(uint64_t k) const {
  return SplitMix64(seed_ * 0x100000001B3ull ^ SplitMix64(uint64_t{service_id_} << 40 ^ k));
}

bool ProgrammeSchedule::Overruns(uint64_t k) const { return planned_.empty() && RandomOverrun(k); }

bool ProgrammeSchedule::OpenEnded(uint64_t k) const {
  return planned_.empty() && !Overruns(k) && Hash(k) % 14 == 4;
}

uint64_t ProgrammeSchedule::IndexAt(AbsTime t) const {
  uint64_t k = t / slot_;
  if (!planned_.empty()) {
    while (k > 0 && StartAt(k, kEndOfTime) > t) --k;
    while (StartAt(k + 1, kEndOfTime) <= t) ++k;
    return k;
  }
  if (k > 0 && Overruns(k - 1) && t < k * slot_ + Overrun()) return k - 1;
  return k;
}

ProgrammeInfo ProgrammeSchedule::Texts(uint64_t k) const {
  const uint64_t h = Hash(k);
  size_t title = (h >> 8) % std::size(kTitles);
  // The drama's title belongs to its series slots only.
  if (title == kDramaTitle) ++title;
  const TitleEntry& t = kTitles[title];
  ProgrammeInfo p;
  p.event_id = static_cast<uint16_t>(k % kEventIds + 1);
  p.title = t.title;
  p.genre = t.genre;
  p.description = kDescriptions[(h >> 24) % std::size(kDescriptions)];
  p.video_component_type = hd_ ? 0xB3 : 0x03;  // 1080i or 480i, 16:9 without pan vectors
  p.audio_component_type = 0x03;                // stereo
  // Most programmes carry an extended description: the synopsis, the performers and now and then
  // the credits.
  if ((h >> 32) % 5 != 0) {
    std::string synopsis;
    const uint64_t sentences = 2 + (h >> 36) % 3;
    for (uint64_t i = 0; i < sentences; ++i)
      synopsis += kSynopses[((h >> 40) + i * 3) % std::size(kSynopses)];
    p.items.push_back({"番組内容", synopsis});
    p.items.push_back({"出演者", kPerformers[(h >> 44) % std::size(kPerformers)]});
    if ((h >> 48) % 3 == 0) p.items.push_back({"制作", kCredits[(h >> 50) % std::size(kCredits)]});
  }
  SeriesTexts(k, &p);
  return p;
}

ProgrammeInfo ProgrammeSchedule::Announced(uint64_t k, AbsTime now, bool open_end) const {
  ProgrammeInfo p = Texts(k);
  const Timing t = AnnouncedTiming(k, now, open_end);
  p.start = t.start;
  p.duration = t.duration;
  return p;
}

ProgrammeSchedule::Timing ProgrammeSchedule::AnnouncedTiming(uint64_t k, AbsTime now, bool open_end) const {
  Timing t;
  t.event_id = static_cast<uint16_t>(k % kEventIds + 1);
  if (!planned_.empty()) {
    const AbsTime start = StartAt(k, now);
    const Planned* plan = Plan(k);
    t.start = FromAbs(start);
    t.duration = plan != nullptr && plan->undetermined && now != kEndOfTime
                     ? kNoDuration
                     : static_cast<uint32_t>(StartAt(k + 1, now) - start);
    return t;
  }
  AbsTime start = NominalStart(k);
  if (k > 0 && Overruns(k - 1) && now >= Announcement(k - 1)) start += Overrun();
  AbsTime end = NominalStart(k + 1);
  if (Overruns(k) && now >= Announcement(k)) end += Overrun();
  t.start = FromAbs(start);
  t.duration = open_end && OpenEnded(k) ? kNoDuration : static_cast<uint32_t>(end - start);
  return t;
}

ProgrammeInfo ProgrammeSchedule::Final(uint64_t k) const { return Announced(k, kEndOfTime, false); }

uint8_t ProgrammeSchedule::PresentFollowingVersion(AbsTime now) const {
  const uint64_t k = IndexAt(now);
  // With changes: one step when the next programme comes on air, one for each change shown.
  if (!planned_.empty()) return static_cast<uint8_t>((k + ShownBy(now)) % 32);
  const uint64_t announced = Overruns(k) && now >= Announcement(k) ? 1 : 0;
  return static_cast<uint8_t>((2 * k + announced) % 32);
}

uint8_t ProgrammeSchedule::ScheduleVersion(AbsTime now) const {
  // The schedule changes when its 3-hour window moves and whenever an overrun is announced. At most
  // 12 announcements fall into one window (slots of 15 minutes or more), so the count never
  // reaches the next window's value and every change gives a new version.
  const uint64_t window = now / 10800;
  // With changes: one step when the window moves, one for each change shown (an extension moves
  // every later programme, so both tables change).
  if (!planned_.empty()) return static_cast<uint8_t>((window + ShownBy(now)) % 32);
  const AbsTime from = window * 10800;
  uint64_t announced = 0;
  for (uint64_t k = from / slot_ > 0 ? from / slot_ - 1 : 0; Announcement(k) <= now; ++k) {
    if (Announcement(k) >= from && Overruns(k)) ++announced;
  }
  return static_cast<uint8_t>((window * 16 + announced) % 32);
}

}  // namespace pelkan::streamgen
