#include "info/programme_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/text_codec.h"

namespace pelkan {
namespace {

using platform::SjisToUtf8;
using platform::Utf8ToSjis;

constexpr uint32_t kDay = 54587;  // 2008-05-01, a Thursday
constexpr MjdTime kStart{kDay, 21 * 3600};
constexpr MjdTime kEnd{kDay, 21 * 3600 + 54 * 60};
constexpr MjdTime kUndetermined{kDay, kUndefinedDuration};

TEST(ProgrammeText, OneLineForm) {
  EXPECT_EQ(FormatProgrammeText(kProgrammeLineFlags, kStart, kEnd, "T", "D", 0xB3, 3), "21:00 - 21:54 T");
}

TEST(ProgrammeText, UndeterminedEndLeavesTwoBlanksBeforeTitle) {
  EXPECT_EQ(FormatProgrammeText(kProgrammeLineFlags, kStart, kUndetermined, "T", "", 0, 0),
            Utf8ToSjis("21:00未定  T"));
}

TEST(ProgrammeText, ToolTipFormIsByteExact) {
  const std::string text = FormatProgrammeText(kProgrammeToolTipFlags, kStart, kEnd, "T", "D", 0xB3, 3);
  EXPECT_EQ(text, Utf8ToSjis("2008/05/01(木) 21:00 - 21:54 映像(D3 1080i,16:9) 音声(ステレオ)\nT\nD"));
  EXPECT_EQ(SjisToUtf8(text), "2008/05/01(木) 21:00 - 21:54 映像(D3 1080i,16:9) 音声(ステレオ)\nT\nD");
}

TEST(ProgrammeText, ListingForm) {
  EXPECT_EQ(SjisToUtf8(FormatProgrammeText(kProgrammeListFlags, kStart, kEnd, "T", "D", 0xB3, 3)),
            "2008/05/01(木) 21:00 - 21:54 映像(D3 1080i,16:9) 音声(ステレオ) << T >> D");
  ProgrammeEvent event{};
  std::strcpy(event.title, "\x83\x5c");  // ソ, whose second byte is a backslash
  event.start_day = kDay;
  event.end_day = kDay;
  EXPECT_EQ(FormatProgrammeTextUtf8(PT_TITLE, event), " ソ");
}

TEST(ProgrammeText, ComponentTexts) {
  EXPECT_EQ(SjisToUtf8(FormatProgrammeText(PT_COMPONENTS, kStart, kEnd, "", "", 0xC1, 0)), " 映像(?,4:3)");
  EXPECT_EQ(SjisToUtf8(FormatProgrammeText(PT_COMPONENTS, kStart, kEnd, "", "", 0, 3)), " 音声(ステレオ)");
  EXPECT_EQ(SjisToUtf8(FormatProgrammeText(PT_COMPONENTS, kStart, kEnd, "", "", 0xA7, 2)),
            " 映像(D2 480p,?:?) 音声(モノラルx2)");
  EXPECT_EQ(SjisToUtf8(FormatProgrammeText(PT_COMPONENTS, kStart, kEnd, "", "", 0x01, 5)),
            " 映像(D1 480i,4:3) 音声(?)");
  EXPECT_EQ(SjisToUtf8(std::string(AudioComponentText(1))), "モノラル");
  EXPECT_EQ(AudioComponentText(9), "5.1ch");
}

TEST(ProgrammeText, WeekdaysStartOnWednesday) {
  const char* names[7] = {"水", "木", "金", "土", "日", "月", "火"};
  for (uint32_t d = 0; d < 7; ++d) {
    EXPECT_EQ(std::string(WeekdayName(kDay + d)), Utf8ToSjis(names[(kDay + d) % 7])) << d;
  }
  EXPECT_EQ(SjisToUtf8(std::string(WeekdayName(kDay))), "木");
}

TEST(ProgrammeText, TitleAndDescriptionLayouts) {
  EXPECT_EQ(FormatProgrammeText(PT_TITLE | PT_TITLE_MARKS, kStart, kEnd, "T", "D", 0, 0), " << T >>");
  EXPECT_EQ(FormatProgrammeText(PT_TITLE | PT_TITLE_MARKS | PT_NEWLINES, kStart, kEnd, "T", "D", 0, 0),
            "\n<< T >>");
  EXPECT_EQ(FormatProgrammeText(PT_TITLE | PT_NEWLINES, kStart, kEnd, "T", "D", 0, 0), "\nT");
  EXPECT_EQ(FormatProgrammeText(PT_TITLE | PT_TEXT, kStart, kEnd, "T", "D", 0, 0), " T D");
  // The description gets its own line only when the title has one too.
  EXPECT_EQ(FormatProgrammeText(PT_TEXT | PT_NEWLINES, kStart, kEnd, "T", "D", 0, 0), " D");
}

TEST(ProgrammeText, EndDateInsideEndPart) {
  const MjdTime end{kDay + 1, 30 * 60};
  EXPECT_EQ(SjisToUtf8(FormatProgrammeText(PT_END_TIME | PT_END_DATE, kStart, end, "", "", 0, 0)),
            " - 2008/05/02(金) 00:30");
  // The end date alone switches nothing on.
  EXPECT_EQ(FormatProgrammeText(PT_END_DATE, kStart, end, "", "", 0, 0), "");
}

TEST(ProgrammeText, BufferFormCutsAtCapacity) {
  char buf[8];
  std::memset(buf, 'x', sizeof(buf));
  const size_t n =
      FormatProgrammeText(kProgrammeLineFlags, buf, sizeof(buf), kStart, kEnd, "Title", "", 0, 0);
  EXPECT_EQ(n, std::strlen("21:00 - 21:54 Title"));
  EXPECT_STREQ(buf, "21:00 -");
  EXPECT_EQ(FormatProgrammeText(kProgrammeLineFlags, nullptr, 0, kStart, kEnd, "T", "", 0, 0), 15u);
}

TEST(ProgrammeText, EventFieldsWithoutTerminatorStayInside) {
  ProgrammeEvent event{};
  std::memset(event.title, 'A', sizeof(event.title));
  std::memset(event.description, 'B', sizeof(event.description));
  event.start_day = kDay;
  event.start_second = kStart.seconds;
  event.end_day = kDay;
  event.end_second = kEnd.seconds;
  const std::string text = FormatProgrammeText(PT_TITLE | PT_TEXT, event);
  EXPECT_EQ(text, " " + std::string(81, 'A') + " " + std::string(161, 'B'));
}

TEST(ProgrammeText, ComponentColumn) {
  const std::vector<ComponentEntry> three = {{0x02, 0x0111}, {0x0F, 0x0112}, {0x0D, 0x0130}};
  EXPECT_EQ(ComponentListText(three), "0x0111(m2v) 0x0112(aac) 0x0130(dat) ");
  const std::vector<ComponentEntry> one = {{0x1B, 0x01FF}};
  EXPECT_EQ(ComponentListText(one), "0x01FF(264) ");
  const std::vector<ComponentEntry> odd = {{0x99, 0x1FFF}, {0x06, 0x0020}, {0x01, 1}, {0x10, 2}};
  EXPECT_EQ(ComponentListText(odd), "0x1FFF(?\?\?) 0x0020(m2s) 0x0001(mpg) 0x0002(mp4) ");
}

TEST(ProgrammeText, ComponentColumnShowsFifteenThenEllipsis) {
  std::vector<ComponentEntry> many;
  for (uint16_t i = 0; i < 16; ++i) many.push_back({0x0F, static_cast<uint16_t>(0x100 + i)});
  const std::string text = ComponentListText(many);
  EXPECT_EQ(text.size(), 15 * 12 + 3u);
  EXPECT_EQ(text.substr(14 * 12), "0x010E(aac) ...");
  many.resize(15);
  EXPECT_EQ(ComponentListText(many).find("..."), std::string::npos);
}

TEST(ProgrammeText, FixedColumns) {
  EXPECT_EQ(ServiceIdText(1024), "1024");
  EXPECT_EQ(ServiceIdText(65535), "65535");
  EXPECT_EQ(PmtPidText(0x1F0), "0x01F0");
  EXPECT_EQ(SjisToUtf8(std::string(ColumnHeaderText(4))), "構成PID");
  EXPECT_EQ(SjisToUtf8(std::string(ColumnHeaderText(0))), "サービスID");
  EXPECT_EQ(ColumnHeaderText(5), "");
}

TEST(ProgrammeText, RowToolTip) {
  const std::string name = Utf8ToSjis("テレビ");
  EXPECT_EQ(SjisToUtf8(RowToolTipText(name, 1024, "", "N")), "テレビ(1024)");
  EXPECT_EQ(SjisToUtf8(RowToolTipText(name, 1024, "C", "")), "テレビ(1024)\n\n現在の番組>> C");
  EXPECT_EQ(RowToolTipText(name, 1024, "C", "N"),
            name + Utf8ToSjis("(1024)\n\n現在の番組>> C\n\n次の番組>> N"));
}

}  // namespace
}  // namespace pelkan
