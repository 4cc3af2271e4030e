#include "info/service_row_table.h"

#include <gtest/gtest.h>

#include "platform/text_codec.h"

namespace pelkan {
namespace {

using platform::Utf8ToSjis;

TEST(ServiceRowTable, RendersUtf8Line) {
  ServiceRowTable::Row row;
  row.service_id = 1024;
  row.checked = false;
  row.cells = {"1024", Utf8ToSjis("ＮＨＫ"), "21:00 - 21:54 T", "0x01F0", "0x0111(m2v) 0x0112(aac) "};
  EXPECT_EQ(FormatServiceRowUtf8(row),
            "[ ] 1024 | ＮＨＫ | 21:00 - 21:54 T | 0x01F0 | 0x0111(m2v) 0x0112(aac)");
}

TEST(ServiceRowTable, CountsOnlyRealChanges) {
  ServiceRowTable table;
  table.AddRow(0, 5, "5");
  const uint64_t after_add = table.Changes();
  table.SetCell(0, 1, "");
  table.SetCell(3, 1, "x");
  table.SetCell(0, 7, "x");
  table.ShowRowChecked(0, true);
  EXPECT_EQ(table.Changes(), after_add);
  table.SetCell(0, 1, "x");
  EXPECT_EQ(table.Changes(), after_add + 1);
}

TEST(ServiceRowTable, ComponentsCompleteNeedsEveryRow) {
  ServiceRowTable table;
  EXPECT_FALSE(table.ComponentsComplete());
  table.AddRow(0, 1, "1");
  table.AddRow(1, 2, "2");
  table.SetCell(0, 4, "0x0100(m2v) ");
  EXPECT_FALSE(table.ComponentsComplete());
  table.SetCell(1, 4, "0x0200(m2v) ");
  EXPECT_TRUE(table.ComponentsComplete());
  table.ClearRows();
  EXPECT_FALSE(table.ComponentsComplete());
}

}  // namespace
}  // namespace pelkan
