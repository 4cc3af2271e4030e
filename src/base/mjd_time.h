#pragma once

#include <cstdint>

namespace pelkan {

// A broadcast date and time: Modified Julian Date (0 = no date known) and seconds of the day.
struct MjdTime {
  uint32_t date = 0;
  uint32_t seconds = 0;
};

// Packs a time into one word: date in the low 32 bits, seconds in the high 32 bits.
constexpr uint64_t PackMjdTime(MjdTime t) { return uint64_t{t.date} | uint64_t{t.seconds} << 32; }
constexpr MjdTime UnpackMjdTime(uint64_t v) {
  return MjdTime{static_cast<uint32_t>(v), static_cast<uint32_t>(v >> 32)};
}

// MJD of a Gregorian date (month 1-12), as its low 16 bits. 2008-03-03 gives 54528.
uint16_t MjdFromDate(int year, int month, int day);
// Gregorian date of an MJD; MJD 0 gives 0/0/0 (no date).
void MjdToDate(uint32_t mjd, int* year, int* month, int* day);
// Splits seconds into hours (not reduced modulo 24), minutes and seconds.
void SecondsToHms(uint32_t seconds, int* hours, int* minutes, int* secs);
// Adds a signed number of seconds to `t`, normalising date and seconds; returns the new date.
uint32_t AddSeconds(MjdTime* t, int64_t delta);
// The machine's local time now, packed as by PackMjdTime.
uint64_t LocalMjdTime();
// The current time in Japan (UTC+9, no daylight saving) whatever the machine's time zone: the time
// broadcasts carry. The date is 16 bits wide, as MjdFromDate gives it.
MjdTime JapanTimeNow();

}  // namespace pelkan
