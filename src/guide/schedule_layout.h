#pragma once

#include <array>
#include <bitset>
#include <cstdint>

#include "guide/guide_event.h"

namespace pelkan {

// Which sections of one service's EIT schedule have arrived, by the layout the sections themselves
// announce: tables 0x50 up to last_table_id (basic) and 0x58 up to theirs (extended), each of up
// to 32 segments of three hours from midnight of the broadcast day (table 0x50 days 0-3, 0x51
// days 4-7, ...), each segment of sections segment * 8 up to its segment_last_section_number. A
// table whose version changes starts over. One object per service; not thread-safe.
class ScheduleLayout {
 public:
  // Takes in the header of one schedule section (table_id 0x50-0x5F); other tables are ignored.
  void Add(uint8_t table_id, uint8_t version, uint8_t section_number, uint8_t last_section_number,
           uint8_t segment_last_section_number, uint8_t last_table_id);

  // True when every section the basic tables announce has arrived, and so has every section of the
  // extended tables if the service sends any. A segment that ended at or before `now` (the
  // broadcast clock, whose date is day 0 of the tables) need not have arrived: a broadcaster stops
  // sending the past.
  bool Complete(GuideTime now) const;

 private:
  struct Table {
    bool seen = false;
    uint8_t version = 0;
    uint8_t last_section_number = 0;
    std::bitset<256> arrived;
    std::array<int16_t, 32> segment_last{};  // -1 while no section of the segment has arrived
  };
  // One group of tables: basic (0x50-0x57) or extended (0x58-0x5F).
  struct Group {
    bool seen = false;
    uint8_t last_table_id = 0;
    std::array<Table, 8> tables;
  };
  static bool GroupComplete(const Group& group, uint8_t first_table_id, GuideTime now);

  std::array<Group, 2> groups_;
};

}  // namespace pelkan
