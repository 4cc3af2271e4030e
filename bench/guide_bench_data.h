#pragma once

// A programme guide for the benchmarks: 8 services, 8 days, 1,000 programmes a service a day
// (64,000 programmes, each with a title, a description and an extended text), written once into
// an epg.sqlite in a temporary folder; or as dense as a broadcast's (GuideFile's `per_day`).

#include <stdlib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "base/mjd_time.h"
#include "guide/guide_store.h"
#include "platform/text_codec.h"

namespace pelkan::bench {

inline constexpr int kServices = 8;
inline constexpr int kDays = 8;
inline constexpr int kPerServiceDay = 1000;
// Programmes a service a day of a real broadcast: half an hour each.
inline constexpr int kBroadcastPerDay = 48;

// Midnight of the first day of the guide (JST).
inline GuideTime GuideOrigin(GuideTime now) {
  return now / 86400 * 86400;
}

// The guide's file with `per_day` programmes a service a day, made on the first call for that
// density; the guide starts at midnight of `now`'s day.
inline std::string GuideFile(GuideTime now, int per_day = kPerServiceDay) {
  static std::map<int, std::string> paths;
  std::string& path = paths[per_day];
  if (!path.empty()) return path;
  char pattern[] = "/tmp/pelkan-guide-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return {};
  path = std::string(pattern) + "/epg.sqlite";
  std::string error;
  auto store = GuideStore::Open(path, GuideStore::Access::kWrite, true, nullptr, &error);
  if (!store) return {};
  const char* const titles[] = {
      "土曜ドラマ　鴎外と漱石",   "ニュース７",         "サッカー　Ｊリーグ第１２節",
      "きょうの料理　鰻の蒲焼き", "ダーウィンが来た！", "映画「羅生門」",
      "歌謡コンサート",           "趣味の園芸　薊と菫"};
  const std::string description = platform::Utf8ToSjis("出演：山田太郎、佐藤花子　司会：鈴木一郎");
  const std::string extended = platform::Utf8ToSjis(
      "番組内容\n港町の小さな食堂を舞台に、三世代の家族が織りなす人間模様を描く。今回は、春の訪れとともに開か"
      "れる伝統の"
      "祭りを、地元の人々の証言で振り返る。\n\n出演者\n渡辺直樹、小林恵、中村翔太、加藤彩、吉田誠");
  const GuideTime origin = GuideOrigin(now);
  const uint32_t slot = 86400 / static_cast<uint32_t>(per_day);
  store->Begin();
  for (int s = 0; s < kServices; ++s) {
    const uint16_t sid = static_cast<uint16_t>(1024 + s);
    store->SetServiceName(0x7FE8, 0x7FE8, sid, platform::Utf8ToSjis("サービス" + std::to_string(s + 1)));
    for (int k = 0; k < kDays * per_day; ++k) {
      GuideEventUpdate u;
      u.event.key = {0x7FE8, 0x7FE8, sid, static_cast<uint16_t>(k + 1)};
      u.event.start = origin + GuideTime{k} * slot;
      u.event.duration = slot;
      u.event.title = platform::Utf8ToSjis(titles[(k + s) % 8]) + std::to_string(k);
      u.event.description = description;
      u.event.extended = extended;
      u.event.genre = (k % 12) << 4;
      u.kind = EVENT_KIND_SCHEDULE_ACTUAL;
      u.basic = true;
      u.extended = true;
      store->ApplyEvent(u);
    }
  }
  store->Commit();
  return path;
}

}  // namespace pelkan::bench
