#include "schedule/schedule_edit_form.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/text_codec.h"
#include "schedule/recording_scheduler.h"
#include "schedule/schedule_edit_item.h"
#include "schedule/schedule_file.h"

namespace pelkan {
namespace {

constexpr uint32_t kDay = 54528;  // 2008-03-03
const MjdTime kNow{kDay, 21 * 3600 + 15 * 60 + 40};

std::string Utf8(std::string_view sjis) {
  return platform::SjisToUtf8(sjis);
}

// A temporary folder, removed at the end of the test.
class ScheduleEditFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelkan-form-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  // An existing folder whose path is exactly `length` bytes long.
  std::string FolderOfLength(size_t length) {
    std::string path = root_ + "/";
    while (path.size() + 100 < length) path += std::string(90, 'd') + "/";
    path += std::string(length - path.size(), 'e');
    std::filesystem::create_directories(path);
    return path;
  }
  ScheduleEditForm AddForm(const std::string& dir) {
    opened_ = MakeTimeReservation(platform::Utf8ToSjis(dir), 0, nullptr, 0, std::nullopt, kNow);
    return FormFromItem(opened_, DeviceChannels{}, kNow);
  }
  ScheduleEditResult Build(const ScheduleEditForm& form, const DeviceChannels& device = {}) {
    return BuildScheduleItem(form, opened_, device);
  }
  std::string root_;
  ScheduleItem opened_{};
};

TEST_F(ScheduleEditFormTest, AddThenOkStoresTheShownReservation) {
  ScheduleEditForm form = AddForm(root_);
  EXPECT_EQ(form.type, kEditTypeTime);
  EXPECT_TRUE(form.start_known);
  EXPECT_EQ(form.year, 2008);
  EXPECT_EQ(form.month, 3);
  EXPECT_EQ(form.day, 3);
  EXPECT_EQ(ShownDuration(form), 1800u);
  EXPECT_FALSE(form.file_name_flag);
  EXPECT_EQ(form.file_name, "20080303-2115");
  EXPECT_EQ(form.extension, ".ts");
  // No channel operations on this device: one disabled "無効" entry and text.
  ASSERT_EQ(form.channel_entries.size(), 1u);
  EXPECT_EQ(form.channel_entries[0].name, "無効");
  EXPECT_EQ(form.channel_string, "無効");
  EXPECT_FALSE(form.enabled.channel);
  EXPECT_FALSE(form.enabled.channel_string);
  EXPECT_TRUE(form.enabled.output);
  EXPECT_FALSE(form.enabled.convert);

  const ScheduleEditResult r = Build(form);
  ASSERT_TRUE(r.item) << Utf8(r.message);
  EXPECT_EQ(FormatSchedule({*r.item}), FormatSchedule({opened_}));
}

// A reservation of "[新]ドラマ①[字]" (its symbols as the broadcast codes them, ① as 94/65) in a folder
// whose name holds a real 0xED character (纊, ED 40), as another program may have written it.
TEST_F(ScheduleEditFormTest, TitleKeepsItsSymbolsAndTheFolderItsCharacter) {
  std::filesystem::create_directory(root_ + "/録画纊");
  const std::string folder = platform::Utf8ToSjis(root_ + "/録画") + "\xED\x40";
  const std::string title = "\xED\xE9" + platform::Utf8ToSjis("ドラマ") + "\xEF\xDF\xED\xD4";
  const MjdTime start{kDay, 21 * 3600};
  opened_ = MakeTimeReservation(folder, 1024, &start, 1800, title, kNow);
  ScheduleEditForm form = FormFromItem(opened_, DeviceChannels{}, kNow);
  EXPECT_EQ(form.directory, root_ + "/録画纊");
  EXPECT_EQ(form.file_name, "20080303-2100-🈟ドラマ①🈑");

  ScheduleEditResult r = Build(form);
  ASSERT_TRUE(r.item) << Utf8(r.message);
  EXPECT_EQ(GetText(r.item->file_name), GetText(opened_.file_name));  // byte for byte
  EXPECT_EQ(Utf8(GetText(r.item->directory)), root_ + "/録画纊");
  EXPECT_EQ(Utf8(*BuildOutputPath(*r.item)), root_ + "/録画纊/20080303-2100-[新]ドラマ[1][字].ts");

  // Edited: what was left of the shown name keeps its bytes, the typed part is CP932 (① too) or,
  // for a symbol CP932 lacks, its cell.
  form.file_name = "20080303-2100-🈟ドラマ①🈑・①🈞";
  r = Build(form);
  ASSERT_TRUE(r.item) << Utf8(r.message);
  EXPECT_EQ(GetText(r.item->file_name),
            "20080303-2100-" + title + platform::Utf8ToSjis("・①") + "\xED\xE8");  // [再] 90/74
  form.file_name = "caf\xC3\xA9";
  EXPECT_FALSE(Build(form).item);
}

TEST_F(ScheduleEditFormTest, PathLengthRuleCountsFolderNameAndExtension) {
  ScheduleEditForm form = AddForm(FolderOfLength(200));
  form.file_name_flag = true;
  form.file_name = std::string(50, 'f');
  form.extension = "." + std::string(8, 'x');  // 259 in all
  ScheduleEditResult r = Build(form);
  EXPECT_FALSE(r.item);
  EXPECT_EQ(Utf8(r.message), "パス名が長すぎます");
  form.extension = "." + std::string(7, 'x');  // 258
  r = Build(form);
  ASSERT_TRUE(r.item) << Utf8(r.message);
  EXPECT_EQ(BuildOutputPath(*r.item)->size(), 259u);
}

TEST_F(ScheduleEditFormTest, ThePathTheRecordingComposesIsChecked) {
  // 250 + 0 + 3 bytes pass the sum, but "/20080303-2115.ts" would not fit.
  ScheduleEditForm form = AddForm(FolderOfLength(250));
  form.file_name.clear();
  EXPECT_EQ(Utf8(Build(form).message), "パス名が長すぎます");
  form = AddForm(FolderOfLength(242));  // 242 + 17 = 259 fits
  EXPECT_TRUE(Build(form).item);
}

TEST_F(ScheduleEditFormTest, InvalidPathsAreRefused) {
  ScheduleEditForm form = AddForm(root_ + "/missing");
  ScheduleEditResult r = Build(form);
  EXPECT_EQ(Utf8(r.message), "無効なパスです。");
  EXPECT_EQ(r.field, EditField::kDirectory);

  std::ofstream(root_ + "/plain") << "x";
  form.directory = root_ + "/plain";  // a file, not a folder
  EXPECT_EQ(Utf8(Build(form).message), "無効なパスです。");

  std::filesystem::create_directories(root_ + "/café");
  form.directory = root_ + "/café";  // exists, but has no Shift-JIS form
  r = Build(form);
  EXPECT_EQ(Utf8(r.message), "無効なパスです。");
  EXPECT_EQ(r.field, EditField::kDirectory);

  form.directory = root_;
  form.file_name = "a/b";
  r = Build(form);
  EXPECT_EQ(r.field, EditField::kFileName);
  EXPECT_FALSE(r.item);
  form.file_name = "caf\xC3\xA9";
  EXPECT_EQ(Build(form).field, EditField::kFileName);
  form.file_name = "";
  EXPECT_TRUE(Build(form).item);  // an automatic name needs none
  form.file_name_flag = true;
  EXPECT_EQ(Build(form).field, EditField::kFileName);
  form.file_name = "録画";
  form.extension = "/ts";
  EXPECT_EQ(Build(form).field, EditField::kExtension);
  form.extension = ".ts";
  r = Build(form);
  ASSERT_TRUE(r.item);
  EXPECT_EQ(Utf8(GetText(r.item->file_name)), "録画");
}

TEST_F(ScheduleEditFormTest, ChangeWithoutTouchingKeepsChannelAndRepetition) {
  DeviceChannels device;
  device.capabilities = kCanSelectChannel | kCanSendString;
  device.channels = {{"NHK", 3}, {"教育", 5}};
  ScheduleItem item = MakeTimeReservation(platform::Utf8ToSjis(root_), 1024, &kNow, 600, std::nullopt, kNow);
  item.flags |= SI_CHANNEL_VALUE | SI_CHANNEL_STRING | SI_WEEKLY;
  item.channel_value = 5;
  SetText(item.channel_string, platform::Utf8ToSjis("地上"));
  opened_ = item;
  ScheduleEditForm form = FormFromItem(item, device, kNow);
  ASSERT_EQ(form.channel_entries.size(), 3u);
  EXPECT_EQ(form.channel_entries[0].name, "なし");
  EXPECT_EQ(form.channel, 5);
  EXPECT_EQ(form.after_end, kAfterEndWeekly);
  EXPECT_EQ(form.channel_string, "地上");
  EXPECT_TRUE(form.enabled.channel);
  ScheduleEditResult r = Build(form, device);
  ASSERT_TRUE(r.item);
  EXPECT_EQ(FormatSchedule({*r.item}), FormatSchedule({item}));

  // A value the device does not list stays selectable; a device without channel operations
  // (nothing on screen to change) keeps what the reservation had.
  item.channel_value = 9;
  item.flags = (item.flags & ~SI_WEEKLY) | SI_DAILY;
  opened_ = item;
  form = FormFromItem(item, device, kNow);
  EXPECT_EQ(form.channel_entries.back().value, 9);
  EXPECT_EQ(form.after_end, kAfterEndDaily);
  EXPECT_EQ(FormatSchedule({*Build(form, device).item}), FormatSchedule({item}));
  form = FormFromItem(item, DeviceChannels{}, kNow);
  EXPECT_EQ(FormatSchedule({*Build(form).item}), FormatSchedule({item}));

  // Choosing "なし" drops the channel value; a string-capable device always stores a string.
  form = FormFromItem(item, device, kNow);
  form.channel = -1;
  form.channel_string = "";
  r = Build(form, device);
  EXPECT_FALSE(r.item->flags & SI_CHANNEL_VALUE);
  EXPECT_TRUE(r.item->flags & SI_CHANNEL_STRING);
  EXPECT_EQ(GetText(r.item->channel_string), "");
}

TEST_F(ScheduleEditFormTest, EventIdMustBeHexadecimal) {
  const MjdTime start{kDay, 19 * 3600};
  opened_ = MakeEventReservation(platform::Utf8ToSjis(root_), 0, 0, 1024, 0x1234, std::nullopt, kNow);
  opened_.start_day = start.date;  // resolved meanwhile
  opened_.start_second = start.seconds;
  opened_.duration = 1800;
  opened_.programme_kind = 1;
  SetItemState(&opened_, ST_ERROR);
  ScheduleEditForm form = FormFromItem(opened_, DeviceChannels{}, kNow);
  for (const char* bad : {"1234", "0x", "0x12345", "0xZZ", "", "0x12 34", "x12"}) {
    form.event_id = bad;
    const ScheduleEditResult r = Build(form);
    EXPECT_FALSE(r.item) << bad;
    EXPECT_EQ(Utf8(r.message), "無効なイベントIDです。") << bad;
    EXPECT_EQ(r.field, EditField::kEventId);
  }
  form.event_id = " 0xabCD ";
  const ScheduleEditResult r = Build(form);
  ASSERT_TRUE(r.item);
  EXPECT_EQ(r.item->event_id, 0xABCD);
  EXPECT_EQ(r.item->start_day, 0u);  // unresolved again
  EXPECT_EQ(r.item->duration, 0u);
  EXPECT_EQ(r.item->programme_kind, 0);
  EXPECT_EQ(ItemState(*r.item), ST_WAITING);
  EXPECT_EQ(r.item->flags, SI_BY_EVENT | SI_SERVICE_LIMIT);
}

TEST_F(ScheduleEditFormTest, ConvertAKnownEventIntoADateTimeReservation) {
  const MjdTime start{kDay, 19 * 3600};
  opened_ = MakeEventReservation(platform::Utf8ToSjis(root_), 0, 0, 1024, 0x1234,
                                 platform::Utf8ToSjis("ニュース"), kNow);
  ScheduleEditForm form = FormFromItem(opened_, DeviceChannels{}, kNow);
  EXPECT_FALSE(ConvertToTimeReservation(&form, DeviceChannels{}));  // event not known yet

  opened_.start_day = start.date;
  opened_.start_second = start.seconds;
  opened_.duration = 0xFFFFFFFFu;  // undetermined: shown bounded
  SetText(opened_.title, platform::Utf8ToSjis("ニュース"));
  form = FormFromItem(opened_, DeviceChannels{}, kNow);
  EXPECT_TRUE(form.enabled.convert);
  EXPECT_FALSE(form.enabled.service_limit);
  ASSERT_TRUE(ConvertToTimeReservation(&form, DeviceChannels{}));
  EXPECT_EQ(form.type, kEditTypeTime);
  EXPECT_TRUE(form.enabled.start && form.enabled.output && form.enabled.service_limit);
  EXPECT_FALSE(form.enabled.event_id || form.enabled.convert);
  form.file_name_flag = true;
  const ScheduleEditResult r = Build(form);
  ASSERT_TRUE(r.item) << Utf8(r.message);
  EXPECT_EQ(r.item->flags, SI_BY_TIME | SI_SERVICE_LIMIT | SI_FILE_NAME);
  EXPECT_EQ(r.item->start_day, kDay);
  EXPECT_EQ(r.item->start_second, start.seconds);
  EXPECT_EQ(r.item->duration, 1800u);
  EXPECT_EQ(r.item->event_id, 0);
  EXPECT_EQ(GetText(r.item->title), "");
  EXPECT_EQ(Utf8(GetText(r.item->file_name)), "ニュース");
  EXPECT_EQ(GetText(r.item->service_id_text), "1024");
}

// The margins and the priority: shown as the reservation has them, stored as edited (held to their
// ranges), for both types and across the conversion; the rest of the record is untouched.
TEST_F(ScheduleEditFormTest, MarginsAndPriorityAreShownAndStored) {
  struct Case {
    const char* what;
    bool by_event, convert;
    int before, after, priority;            // as edited
    uint16_t want_before, want_after;
    uint8_t want_priority;
  } const cases[] = {
      {"date-time, as edited", false, false, 60, 120, 5, 60, 120, 5},
      {"date-time, held to the ranges", false, false, -5, 601, 0, 0, 600, 1},
      {"event", true, false, 0, 600, 1, 0, 600, 1},
      {"event made a date-time one", true, true, 30, 45, 4, 30, 45, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.by_event) {
      opened_ = MakeEventReservation(platform::Utf8ToSjis(root_), 0, 0, 1024, 0x1234, std::nullopt, kNow);
      opened_.start_day = kDay;
      opened_.start_second = 19 * 3600;
      opened_.duration = 1800;
    } else {
      opened_ = MakeTimeReservation(platform::Utf8ToSjis(root_), 0, nullptr, 0, std::nullopt, kNow);
    }
    opened_.margin_before = 20;
    opened_.margin_after = 40;
    opened_.priority = 2;
    ScheduleEditForm form = FormFromItem(opened_, DeviceChannels{}, kNow);
    EXPECT_TRUE(form.enabled.margins);
    EXPECT_EQ(form.margin_before, 20);
    EXPECT_EQ(form.margin_after, 40);
    EXPECT_EQ(form.priority, 2);
    // OK without a change keeps them.
    ScheduleEditResult r = Build(form);
    ASSERT_TRUE(r.item) << Utf8(r.message);
    EXPECT_EQ(r.item->margin_before, 20);
    EXPECT_EQ(r.item->margin_after, 40);
    EXPECT_EQ(r.item->priority, 2);
    if (c.convert) {
      ASSERT_TRUE(ConvertToTimeReservation(&form, DeviceChannels{}));
      EXPECT_TRUE(form.enabled.margins);
    }
    form.margin_before = c.before;
    form.margin_after = c.after;
    form.priority = c.priority;
    r = Build(form);
    ASSERT_TRUE(r.item) << Utf8(r.message);
    EXPECT_EQ(r.item->margin_before, c.want_before);
    EXPECT_EQ(r.item->margin_after, c.want_after);
    EXPECT_EQ(r.item->priority, c.want_priority);
    EXPECT_EQ((r.item->flags & SI_BY_EVENT) != 0, c.by_event && !c.convert);
  }
}

TEST_F(ScheduleEditFormTest, NoTypeAndImpossibleDatesStoreNothing) {
  ScheduleItem none{};
  none.flags = SI_FILE_NAME;
  opened_ = none;
  ScheduleEditForm form = FormFromItem(none, DeviceChannels{}, kNow);
  EXPECT_EQ(form.type, kEditTypeNone);
  ScheduleEditResult r = Build(form);
  EXPECT_FALSE(r.item);
  EXPECT_TRUE(r.message.empty());

  form = AddForm(root_);
  form.year = 2038;
  form.month = 4;
  form.day = 22;  // day 65535, the last the file holds
  r = Build(form);
  ASSERT_TRUE(r.item);
  EXPECT_EQ(r.item->start_day, 65535u);
  form.day = 23;
  EXPECT_FALSE(Build(form).item);
  form.month = 2;
  form.day = 30;
  EXPECT_FALSE(Build(form).item);
}

TEST(ExactSjis, RefusesWhatWouldTurnIntoQuestionMarks) {
  EXPECT_EQ(ExactSjis("録画/rec"), platform::Utf8ToSjis("録画/rec"));
  EXPECT_FALSE(ExactSjis("café"));
  EXPECT_FALSE(ExactSjis("\xF0\x9F\x93\xBA"));  // an emoji
  EXPECT_EQ(ExactSjis("?"), "?");
}

}  // namespace
}  // namespace pelkan
