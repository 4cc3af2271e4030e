#include "schedule/schedule_edit_item.h"

#include <gtest/gtest.h>

#include "platform/text_codec.h"
#include "schedule/schedule_edit_form.h"

namespace pelkan {
namespace {

constexpr uint32_t kDay = 54528;  // 2008-03-03

std::string Utf8(std::string_view sjis) {
  return platform::SjisToUtf8(sjis);
}

TEST(ScheduleEditItem, AddOpensNowForHalfAnHourWithoutAFixedName) {
  const MjdTime now{kDay, 21 * 3600 + 15 * 60 + 40};
  const ScheduleItem item = MakeTimeReservation("/rec", 0, nullptr, 0, std::nullopt, now);
  EXPECT_EQ(item.flags, SI_BY_TIME);
  EXPECT_EQ(item.start_day, kDay);
  EXPECT_EQ(item.start_second, now.seconds);
  EXPECT_EQ(item.duration, 1800u);
  EXPECT_EQ(GetText(item.file_name), "20080303-2115");
  EXPECT_EQ(GetText(item.extension), ".ts");
  EXPECT_EQ(GetText(item.directory), "/rec");
  EXPECT_EQ(GetText(item.service_id_text), "");
}

TEST(ScheduleEditItem, ProgrammeByTimeGetsItsTitleInTheName) {
  const MjdTime start{kDay, 19 * 3600};
  const MjdTime now{kDay, 18 * 3600};
  const std::string title = platform::Utf8ToSjis("ニュース");
  const ScheduleItem item = MakeTimeReservation("/rec", 1024, &start, 3600, title, now);
  EXPECT_EQ(item.flags, SI_BY_TIME | SI_SERVICE_LIMIT | SI_FILE_NAME);
  EXPECT_EQ(item.start_second, start.seconds);
  EXPECT_EQ(item.duration, 3600u);
  EXPECT_EQ(Utf8(GetText(item.file_name)), "20080303-1900-ニュース");
  EXPECT_EQ(GetText(item.service_id_text), "1024");

  // An empty title is still a title: the name ends in the hyphen.
  const ScheduleItem untitled = MakeTimeReservation("/rec", 1024, &start, 3600, std::string_view(), now);
  EXPECT_TRUE(untitled.flags & SI_FILE_NAME);
  EXPECT_EQ(GetText(untitled.file_name), "20080303-1900-");
}

TEST(ScheduleEditItem, ProgrammeByEventIsUnresolvedWithTheTitleAsName) {
  const MjdTime now{kDay, 18 * 3600 + 5 * 60};
  const std::string title = platform::Utf8ToSjis("ニュース");
  const ScheduleItem item = MakeEventReservation("/rec", 0, 0, 1024, 0x1234, title, now);
  EXPECT_EQ(item.flags, SI_BY_EVENT | SI_SERVICE_LIMIT);
  EXPECT_EQ(item.start_day, 0u);
  EXPECT_EQ(item.service_id, 1024);
  EXPECT_EQ(item.event_id, 0x1234);
  EXPECT_EQ(Utf8(GetText(item.file_name)), "ニュース");
  EXPECT_EQ(GetText(item.service_id_text), "1024");
  EXPECT_EQ(GetText(item.extension), ".ts");
  // Without a title (or an empty one) the name is the time of the request.
  EXPECT_EQ(GetText(MakeEventReservation("/rec", 0, 0, 1, 2, std::nullopt, now).file_name), "20080303-1805");
  EXPECT_EQ(GetText(MakeEventReservation("/rec", 0, 0, 1, 2, std::string_view(), now).file_name),
            "20080303-1805");

  const ScheduleEditForm form = FormFromItem(item, DeviceChannels{}, now);
  EXPECT_EQ(form.type, kEditTypeEvent);
  EXPECT_FALSE(form.start_known);  // the pickers show "指定なし"
  EXPECT_FALSE(form.enabled.convert);
  EXPECT_FALSE(form.enabled.output);
  EXPECT_EQ(form.network_ids, "0x0000/0x0000/0x0400");
  EXPECT_EQ(form.event_id, "0x1234");
}

TEST(ScheduleEditItem, DurationsThePickerCannotShowAreBounded) {
  const MjdTime start{kDay, 19 * 3600};
  EXPECT_EQ(MakeTimeReservation("", 1, &start, 0xFFFFFFFFu, std::nullopt, start).duration, 1800u);
  EXPECT_EQ(MakeTimeReservation("", 1, &start, 90000, std::nullopt, start).duration, 86399u);
  EXPECT_EQ(MakeTimeReservation("", 1, &start, 86399, std::nullopt, start).duration, 86399u);
  EXPECT_EQ(EditableDuration(0), 0u);
}

}  // namespace
}  // namespace pelkan
