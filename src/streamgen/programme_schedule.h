#pragma once

#include <cstdint>
#include <string>

#include "streamgen/broadcast_generator.h"

namespace pelkan::streamgen {

// Absolute broadcast time in seconds: MJD * 86400 + seconds of the day (JST).
using AbsTime = uint64_t;

inline AbsTime ToAbs(MjdTime t) { return uint64_t{t.date} * 86400 + t.seconds; }
inline MjdTime FromAbs(AbsTime a) {
  return MjdTime{static_cast<uint32_t>(a / 86400), static_cast<uint32_t>(a % 86400)};
}

// The programme timeline of one service: programmes on a grid of fixed-length slots aligned to the
// clock, some of which overrun (announced half-way through, pushing the next programme back) and
// some of which are live with an open end (undefined duration in the present/following table).
// Everything is a pure function of (seed, service, time), so any moment of the stream can be
// computed without history.
//
// A service with `series` also carries series at fixed times of day (slots of 30 minutes), each
// with its series descriptor unless said otherwise: a daily drama at 19:30 whose episode number
// rises by day, rerun at 08:00 the next morning (the same episode, repeat label 1, the title's
// marks differing); a two-part special at 21:00 (前編 and 後編 on two days, one series, episodes 1
// and 2); a travel programme at 12:00 without a series descriptor whose next-day rerun differs
// only in its marks ([新] against [再]); and late at night a music programme at 00:30 every day
// and a weekly anime at 01:30 on Tuesday mornings (Monday's broadcast day). The drama's title
// appears nowhere else.
class ProgrammeSchedule {
 public:
  ProgrammeSchedule(uint64_t seed, uint16_t service_id, uint32_t slot_seconds, bool hd, bool series = false);

  uint32_t SlotSeconds() const { return slot_; }
  // Index of the programme running at `t` (with every overrun applied).
  uint64_t IndexAt(AbsTime t) const;
  // Programme `k` as announced at time `now`: its start and duration reflect the overruns
  // announced by then. With `open_end`, an open-ended programme gets the undefined duration.
  ProgrammeInfo Announced(uint64_t k, AbsTime now, bool open_end) const;
  // Programme `k` with every overrun applied.
  ProgrammeInfo Final(uint64_t k) const;
  // Nominal start of programme k (on the slot grid).
  AbsTime NominalStart(uint64_t k) const { return k * slot_; }

  // version_number of the service's present/following sub-table at `now`.
  uint8_t PresentFollowingVersion(AbsTime now) const;
  // version_number of the service's schedule sub-table at `now`.
  uint8_t ScheduleVersion(AbsTime now) const;

  bool Overruns(uint64_t k) const;
  bool OpenEnded(uint64_t k) const;

 private:
  uint64_t Hash(uint64_t k) const;
  uint32_t Overrun() const { return slot_ / 3; }
  AbsTime Announcement(uint64_t k) const { return k * slot_ + slot_ / 2; }
  ProgrammeInfo Texts(uint64_t k) const;
  // The series programme of slot `k` into `p`; false when the slot holds none.
  bool SeriesTexts(uint64_t k, ProgrammeInfo* p) const;

  uint64_t seed_;
  uint16_t service_id_;
  uint32_t slot_;
  bool hd_;
  bool series_;
};

}  // namespace pelkan::streamgen
