#include "guide/schedule_layout.h"

namespace pelkan {
namespace {

constexpr GuideTime kSegmentSeconds = 3 * 3600;
constexpr GuideTime kTableSeconds = 4 * 86400;

}  // namespace

void ScheduleLayout::Add(uint8_t table_id, uint8_t version, uint8_t section_number,
                         uint8_t last_section_number, uint8_t segment_last_section_number,
                         uint8_t last_table_id) {
  if (table_id < 0x50 || table_id > 0x5F) return;
  const bool extended = table_id >= 0x58;
  const uint8_t first = extended ? 0x58 : 0x50;
  Group& group = groups_[extended ? 1 : 0];
  group.seen = true;
  if (last_table_id >= first && last_table_id <= first + 7) group.last_table_id = last_table_id;
  Table& t = group.tables[table_id - first];
  if (!t.seen || t.version != version) {
    t = Table{};
    t.segment_last.fill(-1);
    t.seen = true;
    t.version = version;
  }
  t.last_section_number = last_section_number;
  t.arrived.set(section_number);
  // A segment's last section lies in the segment; anything else is taken as the section itself.
  const int segment = section_number / 8;
  const int last = segment_last_section_number / 8 == segment && segment_last_section_number >= section_number
                       ? segment_last_section_number
                       : section_number;
  t.segment_last[static_cast<size_t>(segment)] = static_cast<int16_t>(last);
}

bool ScheduleLayout::GroupComplete(const Group& group, uint8_t first_table_id, GuideTime now) {
  const GuideTime day0 = now / 86400 * 86400;
  for (int id = first_table_id; id <= group.last_table_id; ++id) {
    const Table& t = group.tables[static_cast<size_t>(id - first_table_id)];
    const GuideTime table_start = day0 + (id - first_table_id) * kTableSeconds;
    for (int segment = 0; segment <= t.last_section_number / 8; ++segment) {
      if (table_start + (segment + 1) * kSegmentSeconds <= now) continue;
      if (!t.seen) return false;
      const int last = t.segment_last[static_cast<size_t>(segment)];
      if (last < 0) return false;
      for (int n = segment * 8; n <= last; ++n) {
        if (!t.arrived.test(static_cast<size_t>(n))) return false;
      }
    }
    // A table never seen has an unknown last section: its first segment still to come counts.
    if (!t.seen && table_start + kTableSeconds > now) return false;
  }
  return true;
}

bool ScheduleLayout::Complete(GuideTime now) const {
  if (!groups_[0].seen) return false;
  if (!GroupComplete(groups_[0], 0x50, now)) return false;
  return !groups_[1].seen || GroupComplete(groups_[1], 0x58, now);
}

}  // namespace pelkan
