// Time table on PID 0x0014: the broadcast date and time (JST).
#include "ts/bcd.h"
#include "ts/section_reader.h"
#include "ts/ts_processor.h"

namespace pelkan {

void TsProcessor::HandleTime(const SectionHeader& h, const uint8_t* section, uint32_t length) {
  // Every section that arrives here passed its CRC check, so its last four bytes are the CRC_32.
  SectionReader r(section, length >= 4 ? length - 4 : 0);
  r.Skip(h.HeaderLength());
  const uint16_t date = r.U16();
  const uint8_t hh = r.U8();
  const uint8_t mm = r.U8();
  const uint8_t ss = r.U8();
  if (!r.ok()) return;  // too short to hold JST_time before the CRC_32
  BroadcastTime t{};
  t.date = date;
  t.seconds = BcdTimeToSeconds(hh, mm, ss);
  t.raw_time[0] = hh;
  t.raw_time[1] = mm;
  t.raw_time[2] = ss;
  t.raw_time[3] = 0;
  t.hour = BcdByteToInt(hh);
  t.minute = BcdByteToInt(mm);
  t.second = BcdByteToInt(ss);
  Emit(EVENT_BROADCAST_TIME, 0, &t, 0);
}

}  // namespace pelkan
