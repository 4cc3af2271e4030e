#include "guide/xmltv_guide_cache.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "guide/guide_store.h"
#include "platform/text_codec.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

constexpr GuideTime kDay = GuideTime{61000} * 86400;

void Add(const std::string& path, uint16_t event_id, const char* title) {
  std::string error;
  auto store = GuideStore::Open(path, GuideStore::Access::kWrite, true, nullptr, &error);
  ASSERT_TRUE(store) << error;
  GuideEventUpdate u;
  u.event.key = {0x7FE8, 0x7FE8, 1024, event_id};
  u.event.start = kDay + 3600 * event_id;
  u.event.duration = 1800;
  u.event.title = platform::Utf8ToSjis(title);
  u.kind = EVENT_KIND_SCHEDULE_ACTUAL;
  u.basic = true;
  ASSERT_TRUE(store->Begin());
  ASSERT_TRUE(store->ApplyEvent(u));
  ASSERT_TRUE(store->Commit());
}

// One document per version of the guide: requests while nothing changed share it, those that come
// together share one making, a change (or a file made anew) makes the next one.
TEST(XmltvGuideCache, OneDocumentPerVersionOfTheGuide) {
  test::TempDir dir;
  const std::string path = dir.File("epg.sqlite");
  XmltvGuideCache cache(path);
  EXPECT_EQ(cache.Get(), nullptr) << "no file yet";

  Add(path, 1, "朝のニュース");
  const std::shared_ptr<const std::string> first = cache.Get();
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first->find("朝のニュース"), std::string::npos);
  EXPECT_EQ(cache.Get(), first);

  std::vector<std::shared_ptr<const std::string>> got(8);
  std::vector<std::thread> requests;
  for (auto& g : got) requests.emplace_back([&cache, &g] { g = cache.Get(); });
  for (std::thread& t : requests) t.join();
  for (const auto& g : got) EXPECT_EQ(g, first);
  EXPECT_EQ(cache.made(), 1u);

  Add(path, 2, "昼のドラマ");
  const std::shared_ptr<const std::string> second = cache.Get();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second->find("昼のドラマ"), std::string::npos);
  EXPECT_EQ(cache.made(), 2u);

  // A file renamed aside and made anew is read from the new one.
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::rename((path + suffix).c_str(), (path + ".old" + suffix).c_str());
  }
  Add(path, 3, "夜の映画");
  const std::shared_ptr<const std::string> third = cache.Get();
  ASSERT_NE(third, nullptr);
  EXPECT_NE(third->find("夜の映画"), std::string::npos);
  EXPECT_EQ(third->find("昼のドラマ"), std::string::npos);
}

}  // namespace
}  // namespace pelkan
