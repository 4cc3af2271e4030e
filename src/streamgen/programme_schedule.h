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
class ProgrammeSchedule {
 public:
  ProgrammeSchedule(uint64_t seed, uint16_t service_id, uint32_t slot_seconds, bool hd);

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

  uint64_t seed_;
  uint16_t service_id_;
  uint32_t slot_;
  bool hd_;
};

}  // namespace pelkan::streamgen
