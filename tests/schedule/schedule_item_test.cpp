#include "schedule/schedule_item.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/text_codec.h"
#include "schedule/schedule_texts.h"

namespace pelkan {
namespace {

ScheduleItem ByTime(int y, int mo, int d, int h, int mi, uint32_t duration) {
  ScheduleItem item{};
  item.flags = SI_BY_TIME;
  item.start_day = MjdFromDate(y, mo, d);
  item.start_second = static_cast<uint32_t>(h * 3600 + mi * 60);
  item.duration = duration;
  return item;
}

ScheduleItem ByEvent(uint16_t service, uint16_t event) {
  ScheduleItem item{};
  item.flags = SI_BY_EVENT;
  item.service_id = service;
  item.event_id = event;
  return item;
}

std::string Utf8(const std::string& sjis) {
  return platform::SjisToUtf8(sjis);
}

TEST(ScheduleItem, SortPutsUnresolvedEventsLastByServiceThenEvent) {
  std::vector<ScheduleItem> list = {ByEvent(2, 5), ByTime(2008, 3, 3, 10, 0, 60), ByEvent(1, 9),
                                    ByTime(2008, 3, 2, 23, 0, 60)};
  std::sort(list.begin(), list.end(), CompareItems);
  EXPECT_EQ(list[0].start_day, MjdFromDate(2008, 3, 2));
  EXPECT_EQ(list[1].start_second, 10u * 3600);
  EXPECT_EQ(list[2].service_id, 1);
  EXPECT_EQ(list[3].service_id, 2);
  // A resolved event reservation sorts by its time like a date-time one.
  ScheduleItem resolved = ByEvent(9, 9);
  resolved.start_day = MjdFromDate(2008, 3, 1);
  EXPECT_TRUE(CompareItems(resolved, list[0]));
}

TEST(ScheduleItem, ClosedSpansOverlapAtTheirEnds) {
  const ScheduleItem a = ByTime(2008, 3, 3, 21, 0, 1800);
  ScheduleItem b = ByTime(2008, 3, 3, 21, 30, 600);
  EXPECT_TRUE(ItemsOverlap(a, b));
  EXPECT_TRUE(ItemsOverlap(b, a));
  b.start_second += 1;
  EXPECT_FALSE(ItemsOverlap(a, b));
  EXPECT_FALSE(ItemsOverlap(b, a));
  const ScheduleItem inside = ByTime(2008, 3, 3, 21, 10, 60);
  EXPECT_TRUE(ItemsOverlap(a, inside));
  EXPECT_TRUE(ItemsOverlap(inside, a));
}

TEST(ScheduleItem, TimeInSpanEitherOrderWithOffsets) {
  const MjdTime x{54528, 86399};
  const MjdTime y{54529, 10};
  EXPECT_TRUE(TimeInSpan(y, 0, x, 0, MjdTime{54529, 0}, 0));
  EXPECT_TRUE(TimeInSpan(x, 0, y, 0, x, 0));
  EXPECT_FALSE(TimeInSpan(x, 0, y, 0, y, 1));
  EXPECT_TRUE(TimeInSpan(x, 0, y, 0, y, -11));
  EXPECT_FALSE(TimeInSpan(x, 0, y, 0, y, -12));
}

TEST(ScheduleItem, StateBitsKeepTheRest) {
  ScheduleItem item{};
  item.flags = SI_DELETED | SI_BY_TIME | 0x10;  // bit 4 carries no meaning but is kept
  SetItemState(&item, ST_FINISHED);
  EXPECT_EQ(item.flags, 0x91080010u);
  EXPECT_EQ(ItemState(item), ST_FINISHED);
  EXPECT_FALSE(HasStart(ByEvent(1, 1)));
}

TEST(ScheduleItem, TextFieldsAreCutWithTheirNul) {
  ScheduleItem item{};
  SetText(item.channel_string, std::string(200, 'x'));
  EXPECT_EQ(GetText(item.channel_string).size(), kChannelStringSize - 1);
  EXPECT_EQ(ServiceIdOfText(" 1024"), 1024);
  EXPECT_EQ(ServiceIdOfText("abc"), 0);
  EXPECT_EQ(ServiceIdOfText("65537"), 1);
}

TEST(ScheduleTexts, UnresolvedEventColumns) {
  ScheduleItem item = ByEvent(0x400, 0x1234);
  EXPECT_EQ(Utf8(ItemTypeText(item)), "イベント");
  EXPECT_EQ(Utf8(ItemStartText(item)), "不明(ID=0000:0000:0400:1234)");
  EXPECT_EQ(Utf8(ItemDurationText(item)), "不明");
}

TEST(ScheduleTexts, DateTimeColumnsAndDetails) {
  ScheduleItem item = ByTime(2008, 3, 3, 21, 0, 1800);
  EXPECT_EQ(Utf8(ItemStartText(item)), "2008年03月03日(月) 21時00分00秒");
  EXPECT_EQ(Utf8(ItemDurationText(item)), "00 時間 30 分 00 秒");
  SetItemState(&item, ST_RECORDING);
  EXPECT_EQ(Utf8(ItemTypeText(item)), "日付[ 録画中 ]");
  item.flags |= SI_DAILY | SI_SERVICE_LIMIT | SI_FILE_NAME;
  SetText(item.service_id_text, "1024");
  EXPECT_EQ(Utf8(ItemDetailText(item)), "[毎日][サービスID=1024][ファイル名指定]");
  item.duration = 100 * 3600 + 61;
  EXPECT_EQ(Utf8(ItemDurationText(item)), "100 時間 01 分 01 秒");
}

}  // namespace
}  // namespace pelkan
