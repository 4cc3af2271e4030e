// Fuzz target: the reservation file reader. Input bytes pick INI fragments (section headers, keys,
// numbers, line breaks) or stand for themselves, so that most inputs look like schedule.ini.
#include <cstddef>
#include <cstdint>
#include <string>

#include "schedule/schedule_file.h"

namespace {

const char* const kTokens[] = {
    "[Pelkan_Schedule]",
    "ScheduleNum=",
    "[Schedule_1]",
    "[Schedule_2]",
    "[schedule_3]",
    "[Schedule_01]",
    "Flag=",
    "StartDateMJD=",
    "StartTimeSec=",
    "RecordSec=",
    "NetworkID=",
    "StreamID=",
    "ServiceID=",
    "EventID=",
    "Dir=",
    "File=",
    "Ext=",
    "ChVal=",
    "ChStr=",
    "EnableServiceID=",
    "\r\n",
    "\n",
    "\r",
    ";",
    "=",
    " ",
    "-",
    "2147483647",
    "-2147483648",
    "4294967296",
    "524288",
    "262144",
    "1",
    "0",
    "99999999999",
    "\x82\xA0",
    "\x98",
};
constexpr size_t kTokenCount = sizeof(kTokens) / sizeof(kTokens[0]);

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] < 0xC0 && data[i] % 3 != 0) {
      text += kTokens[data[i] % kTokenCount];
    } else {
      text += static_cast<char>(data[i]);
    }
  }
  const auto items = pelkan::ParseSchedule(text);
  for (const pelkan::ScheduleItem& item : items) {
    Check(item.flags != 0);
    Check(pelkan::GetText(item.directory).size() < pelkan::kPathSize);
    Check(pelkan::GetText(item.service_id_text).size() < pelkan::kServiceIdTextSize);
  }
  // Once written, a list reads back to the same text.
  const auto once = pelkan::ParseSchedule(pelkan::FormatSchedule(items));
  std::vector<pelkan::ScheduleItem> kept;
  for (const auto& item : once) {
    if ((item.flags & pelkan::kItemStateClearMask) != 0) kept.push_back(item);
  }
  const std::string written = pelkan::FormatSchedule(kept);
  Check(pelkan::FormatSchedule(pelkan::ParseSchedule(written)) == written);
  return 0;
}
