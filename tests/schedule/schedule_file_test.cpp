#include "schedule/schedule_file.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace pelkan {
namespace {

std::string Lines(std::initializer_list<const char*> lines) {
  std::string out;
  for (const char* l : lines) out += std::string(l) + "\r\n";
  return out;
}

ScheduleItem DailyExample() {
  ScheduleItem item{};
  item.flags = SI_BY_TIME | SI_DAILY | SI_SERVICE_LIMIT;
  item.start_day = MjdFromDate(2008, 3, 3);
  item.start_second = 21 * 3600;
  item.duration = 1800;
  SetText(item.directory, "D:\\rec");
  SetText(item.file_name, "20080303-2100");
  SetText(item.extension, ".ts");
  SetText(item.service_id_text, "1024");
  return item;
}

TEST(ScheduleFile, WhatCountsAsAReservationFile) {
  EXPECT_TRUE(IsScheduleText(""));
  EXPECT_TRUE(IsScheduleText(" \r\n\t\n"));
  EXPECT_TRUE(IsScheduleText("\xEF\xBB\xBF"));
  EXPECT_TRUE(IsScheduleText(FormatSchedule({})));
  EXPECT_TRUE(IsScheduleText("\xEF\xBB\xBF; notes\r[pelkan_schedule]\rScheduleNum=0\r"));
  EXPECT_FALSE(IsScheduleText("[Schedule_1]\r\nFlag=1\r\n"));
  EXPECT_FALSE(IsScheduleText("; only a comment\n"));
  EXPECT_FALSE(IsScheduleText(std::string("\0\x01\xFF", 3)));
}

TEST(ScheduleFile, EmptyListIsThreeHeaderLines) {
  EXPECT_EQ(FormatSchedule({}), "[Pelkan_Schedule]\r\nScheduleNum=0\r\n\r\n");
}

TEST(ScheduleFile, DateTimeReservationByteExact) {
  ScheduleItem item = DailyExample();
  SetItemState(&item, ST_RECORDING);  // state bits are never written
  EXPECT_EQ(FormatSchedule({item}), Lines({"[Pelkan_Schedule]",
                                           "ScheduleNum=1",
                                           "",
                                           "[Schedule_1]",
                                           ";0x00180008",
                                           "Flag=1572872",
                                           ";Start=2008/03/03 21:00",
                                           "StartDateMJD=54528",
                                           "StartTimeSec=75600",
                                           ";Rec=00:30: 0",
                                           "RecordSec=1800",
                                           "NetworkID=0",
                                           "StreamID=0",
                                           "ServiceID=0",
                                           "EventID=0",
                                           "Dir=D:\\rec",
                                           "File=20080303-2100",
                                           "Ext=.ts",
                                           "ChVal=0",
                                           "ChStr=",
                                           "EnableServiceID=1024",
                                           ""}));
}

TEST(ScheduleFile, EventReservationIsWrittenWithZeroTimes) {
  ScheduleItem item{};
  item.flags = SI_BY_EVENT | SI_DELETED;
  item.start_day = 54528;
  item.start_second = 3600;
  item.duration = 59;
  item.network_id = 0xFFFF;
  item.service_id = 1024;
  item.event_id = 0x1234;
  const std::string text = FormatSchedule({item});
  EXPECT_NE(text.find(";0x80040000\r\nFlag=-2147221504\r\n;Start=0000/00/00 00:00\r\nStartDateMJD=0\r\n"
                      "StartTimeSec=0\r\n;Rec=00:00: 0\r\nRecordSec=0\r\nNetworkID=65535\r\n"),
            std::string::npos);
  const auto back = ParseSchedule(text);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].flags, SI_BY_EVENT | SI_DELETED);  // negative Flag reads back with bit 31
  EXPECT_EQ(back[0].start_day, 0u);
  EXPECT_EQ(back[0].event_id, 0x1234);
  EXPECT_EQ(back[0].network_id, 0xFFFF);
}

TEST(ScheduleFile, RoundTripKeepsEveryStoredField) {
  ScheduleItem a = DailyExample();
  a.flags |= SI_CHANNEL_VALUE | SI_CHANNEL_STRING | SI_FILE_NAME | SI_DELETED | 0x400000;
  a.channel_value = 200;
  SetText(a.channel_string, "\x83\x60\x83\x83\x83\x93\x83\x6C\x83\x8B");  // Shift-JIS bytes kept as they are
  ScheduleItem b = DailyExample();
  b.start_second = 86399;
  b.duration = kMaxRecordSeconds;
  const auto back = ParseSchedule(FormatSchedule({a, b}));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(FormatSchedule(back), FormatSchedule({a, b}));
  EXPECT_EQ(back[0].flags, a.flags);
  EXPECT_EQ(back[0].channel_value, 200);
  EXPECT_EQ(GetText(back[0].channel_string), GetText(a.channel_string));
}

TEST(ScheduleFile, MarginsPriorityAndRuleAreWrittenOnlyWhenNotTheDefaultsAndHeldToTheirRange) {
  ScheduleItem a = DailyExample();
  a.margin_before = 120;
  a.margin_after = 600;
  a.priority = 5;
  a.rule_id = 12;
  const std::string text = FormatSchedule({a, DailyExample()});
  EXPECT_NE(text.find("EnableServiceID=1024\r\nMarginBefore=120\r\nMarginAfter=600\r\nPriority=5\r\nRule=12\r\n\r\n"),
            std::string::npos);
  // The default reservation keeps exactly the lines an older build writes and reads.
  EXPECT_EQ(text.find("Margin", text.find("[Schedule_2]")), std::string::npos);
  EXPECT_EQ(text.find("Rule", text.find("[Schedule_2]")), std::string::npos);
  const auto back = ParseSchedule(text);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].margin_before, 120);
  EXPECT_EQ(back[0].margin_after, 600);
  EXPECT_EQ(back[0].priority, 5);
  EXPECT_EQ(back[0].rule_id, 12u);
  EXPECT_EQ(back[1].rule_id, 0u);
  EXPECT_EQ(back[1].margin_before, kDefaultMarginBefore);
  EXPECT_EQ(back[1].margin_after, kDefaultMarginAfter);
  EXPECT_EQ(back[1].priority, kDefaultPriority);
  // Hand-edited values out of range: margins held to 0-600, a priority outside 1-5 is the default.
  const std::string edited = "[Pelkan_Schedule]\r\nScheduleNum=2\r\n"
                             "[Schedule_1]\r\nFlag=524288\r\nStartDateMJD=1\r\nMarginBefore=-4\r\n"
                             "MarginAfter=99999\r\nPriority=9\r\n"
                             "[Schedule_2]\r\nFlag=524288\r\nStartDateMJD=1\r\nPriority=0\r\n";
  const auto held = ParseSchedule(edited);
  ASSERT_EQ(held.size(), 2u);
  EXPECT_EQ(held[0].margin_before, 0);
  EXPECT_EQ(held[0].margin_after, kMaxMarginSeconds);
  EXPECT_EQ(held[0].priority, kDefaultPriority);
  EXPECT_EQ(held[1].priority, kDefaultPriority);
}

TEST(ScheduleFile, GapsZeroFlagsAndHugeCountReadOnlyPresentSections) {
  const std::string text =
      "[Pelkan_Schedule]\r\nScheduleNum=2147483647\r\n"
      "[Schedule_3]\r\nFlag=524288\r\nStartDateMJD=2\r\n"
      "[Schedule_1]\r\nFlag=524288\r\nStartDateMJD=1\r\n"
      "[Schedule_2]\r\nFlag=0\r\n"
      "[Schedule_01]\r\nFlag=524288\r\n"
      "[Schedule_0]\r\nFlag=524288\r\n";
  const auto items = ParseSchedule(text);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].start_day, 1u);
  EXPECT_EQ(items[1].start_day, 2u);
  const std::string limited = "[Pelkan_Schedule]\r\nScheduleNum=1\r\n[Schedule_2]\r\nFlag=524288\r\n";
  EXPECT_TRUE(ParseSchedule(limited).empty());
}

TEST(ScheduleFile, LongTextsAreCutAndLineBreaksCannotAddKeys) {
  const std::string text =
      "[Pelkan_Schedule]\nScheduleNum=1\n[Schedule_1]\nFlag=524289\nStartDateMJD=1\nDir=" +
      std::string(400, 'd') + "\nEnableServiceID=" + std::string(150, '9') + "\n";
  const auto items = ParseSchedule(text);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(GetText(items[0].directory).size(), kPathSize - 1);
  EXPECT_EQ(GetText(items[0].service_id_text).size(), kServiceIdTextSize - 1);
  ScheduleItem evil = DailyExample();
  SetText(evil.directory, "x\r\n[Schedule_2]\r\nFlag=1");
  const auto back = ParseSchedule(FormatSchedule({evil}));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(GetText(back[0].directory), "x");
}

// An entry with neither type bit (Flag=1) used to sort first, never get a time, and hold up every
// later recording; impossible times and lengths gave recordings that never end.
TEST(ScheduleFile, EntriesThatCanNeverBeRecordedAreDroppedAtLoad) {
  const std::string text = Lines(
      {"[Pelkan_Schedule]",  "ScheduleNum=7",      "[Schedule_1]",       "Flag=1",       "StartDateMJD=54528",
       "StartTimeSec=75600", "RecordSec=60",       "[Schedule_2]",       "Flag=786432",  "StartDateMJD=54528",
       "[Schedule_3]",       "Flag=524288",        "StartDateMJD=54528", "RecordSec=-5", "[Schedule_4]",
       "Flag=524288",        "StartDateMJD=54528", "RecordSec=86401",    "[Schedule_5]", "Flag=524288",
       "StartDateMJD=54528", "StartTimeSec=86400", "[Schedule_6]",       "Flag=524288",  "StartDateMJD=54528",
       "StartTimeSec=75600", "RecordSec=1800",     "[Schedule_7]",       "Flag=262144",  "StartDateMJD=54528",
       "RecordSec=-1",       "ServiceID=1024",     "EventID=7"});
  std::vector<std::string> dropped;
  const auto items = ParseSchedule(text, &dropped);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].duration, 1800u);
  // An event reservation takes its time from the broadcast: whatever the file says is dropped.
  EXPECT_EQ(items[1].event_id, 7);
  EXPECT_EQ(items[1].start_day, 0u);
  EXPECT_EQ(items[1].duration, 0u);
  ASSERT_EQ(dropped.size(), 5u);
  EXPECT_EQ(dropped[0], "Schedule_1: neither a date-time nor an event reservation");
  EXPECT_EQ(dropped[2].substr(0, 11), "Schedule_3:");
}

TEST(ScheduleFile, MergeKeepsWhatEitherSideAddedOrRemoved) {
  auto at = [](int hour) {
    ScheduleItem item = DailyExample();
    item.start_second = static_cast<uint32_t>(hour) * 3600;
    return item;
  };
  const ScheduleItem a = at(1), b = at(2), c = at(3), d = at(4), e = at(5);
  ScheduleItem a_recording = a;
  SetItemState(&a_recording, ST_RECORDING);
  // Base {a, b, c}. Ours: a is recording, b retired and its next day added (d); theirs: c removed,
  // e added.
  const auto merged = MergeSchedule({a, b, c}, {a_recording, c, d}, {a, b, e});
  ASSERT_EQ(merged.size(), 3u);
  EXPECT_EQ(FormatSchedule(merged), FormatSchedule({a, d, e}));
  EXPECT_EQ(ItemState(merged[0]), ST_RECORDING);  // our copy, with its running state
  // The same change on both sides happens once; identical reservations are counted.
  EXPECT_EQ(MergeSchedule({a}, {d}, {d}).size(), 1u);
  EXPECT_EQ(MergeSchedule({a, a}, {a}, {a, a, a}).size(), 2u);
  EXPECT_TRUE(MergeSchedule({a}, {}, {}).empty());
  EXPECT_EQ(FormatSchedule(MergeSchedule({}, {a}, {b})), FormatSchedule({a, b}));
}

TEST(ScheduleFile, MergeTakesAReservationReadBackFromTheFileForTheOneWrittenThere) {
  // The blanks around a text do not survive the file. Read back (as another program's write
  // brings it), the reservation is still the one in memory, which keeps its running state; it was
  // taken for removed and added anew, which ended its recording.
  ScheduleItem item = DailyExample();
  SetText(item.directory, " D:\\rec ");
  SetText(item.file_name, "news \nmore");
  ScheduleItem recording = item;
  SetItemState(&recording, ST_RECORDING);
  const auto theirs = ParseSchedule(FormatSchedule({item}));
  ASSERT_EQ(theirs.size(), 1u);
  const auto merged = MergeSchedule({item}, {recording}, theirs);
  ASSERT_EQ(merged.size(), 1u);
  EXPECT_EQ(ItemState(merged[0]), ST_RECORDING);
  EXPECT_EQ(GetText(merged[0].directory), " D:\\rec ");
  // Removed by the other side, it goes, in whichever form either side holds it.
  EXPECT_TRUE(MergeSchedule({item}, {recording}, {}).empty());
  EXPECT_TRUE(MergeSchedule(theirs, {}, {item}).empty());
}

}  // namespace
}  // namespace pelkan
