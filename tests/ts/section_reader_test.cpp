#include "ts/section_reader.h"

#include <gtest/gtest.h>

namespace pelkan {
namespace {

TEST(SectionReader, ReadsBigEndianAndStopsAtTheEnd) {
  const uint8_t data[] = {0x12, 0x34, 0x56, 0x78, 0x9A};
  SectionReader r(data, sizeof data);
  EXPECT_EQ(r.U16(), 0x1234);
  EXPECT_EQ(r.U24(), 0x56789Au);
  EXPECT_TRUE(r.ok());
  EXPECT_TRUE(r.AtEnd());
  EXPECT_EQ(r.U8(), 0);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.Offset(), 5u);
}

TEST(SectionReader, FailedReadConsumesNothing) {
  const uint8_t data[] = {1, 2, 3};
  SectionReader r(data, sizeof data);
  EXPECT_EQ(r.U32(), 0u);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.Remaining(), 3u);
  EXPECT_EQ(r.Bytes(4), nullptr);
}

TEST(SectionReader, SubReaderIsBoundedAndStrict) {
  const uint8_t data[] = {1, 2, 3, 4, 5, 6};
  SectionReader r(data, sizeof data);
  SectionReader sub = r.Sub(2);
  EXPECT_EQ(sub.U16(), 0x0102);
  sub.U8();
  EXPECT_FALSE(sub.ok());
  EXPECT_TRUE(r.ok());
  SectionReader bad = r.Sub(5);  // only 4 remain
  EXPECT_FALSE(bad.ok());
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(bad.Remaining(), 0u);
}

TEST(SectionReader, ClampedSubTakesWhatIsThere) {
  const uint8_t data[] = {1, 2, 3};
  SectionReader r(data, sizeof data);
  r.U8();
  SectionReader sub = r.SubClamped(100);
  EXPECT_EQ(sub.Remaining(), 2u);
  EXPECT_TRUE(r.ok());
  EXPECT_TRUE(r.AtEnd());
}

}  // namespace
}  // namespace pelkan
