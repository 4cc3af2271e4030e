#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/programme_change.h"
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
// Everything is a pure function of (seed, service, changes, time), so any moment of the stream can
// be computed without history.
//
// A service given changes (ProgrammeChange) has no random overruns nor open ends, so that its
// timeline is exactly what was asked for:
// - late by S (S > 0): the programme starts S after its scheduled start (with
//   `late_from_shown_start`, after the start the tables show without changes: after the overrun of
//   the programme before when it has one); the one before runs over to meet it. Shows at the scheduled start: from then on the programme before is announced with its
//   longer duration, the late one (still following) with its new start.
// - early by S (S < 0): it starts |S| before its scheduled start, cutting the one before short.
//   Shows at that moment, when it becomes present with its actual start.
// - extended by S: it ends S after its scheduled end and every later programme moves back by S.
//   Shows at its scheduled end: it stays present with its new duration.
// - undetermined: its duration is undefined in every table from the start; it runs its scheduled
//   length.
// Before a change shows the tables say the unchanged schedule; each change that shows gives the
// present/following and the schedule tables of the service a new version.
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
  // `changes` may name other services too: only those of `service_id` are taken. Their event ids
  // are looked up in the unchanged schedule from the programme before the one running at
  // `reference` on (event ids repeat after 65534 programmes).
  ProgrammeSchedule(uint64_t seed, uint16_t service_id, uint32_t slot_seconds, bool hd,
                    const std::vector<ProgrammeChange>& changes = {}, AbsTime reference = 0, bool series = false,
                    bool late_from_shown_start = false);

  uint32_t SlotSeconds() const { return slot_; }
  // Index of the programme running at `t` (with every overrun applied).
  uint64_t IndexAt(AbsTime t) const;
  // Programme `k` as announced at time `now`: its start and duration reflect the overruns
  // announced by then. With `open_end`, an open-ended programme gets the undefined duration.
  ProgrammeInfo Announced(uint64_t k, AbsTime now, bool open_end) const;
  // The same without the texts (which depend on `k` alone): its event id, start and duration.
  struct Timing {
    uint16_t event_id = 0;
    MjdTime start;
    uint32_t duration = 0;
  };
  Timing AnnouncedTiming(uint64_t k, AbsTime now, bool open_end) const;
  // Programme `k`'s texts, kind and series, as every table announces them (no start nor duration).
  ProgrammeInfo Texts(uint64_t k) const;
  // Programme `k` with every overrun applied.
  ProgrammeInfo Final(uint64_t k) const;
  // Nominal start of programme k (on the slot grid).
  AbsTime NominalStart(uint64_t k) const { return k * slot_; }

  // version_number of the service's present/following sub-table at `now`.
  uint8_t PresentFollowingVersion(AbsTime now) const;
  // version_number of the service's schedule sub-table at `now`.
  uint8_t ScheduleVersion(AbsTime now) const;

  // The programmes whose start, as announced at any time, may lie in [from, to): indices [first, last).
  std::pair<uint64_t, uint64_t> IndicesStartingIn(AbsTime from, AbsTime to) const;

  // Random overrun and open end; never on a service with changes.
  bool Overruns(uint64_t k) const;
  bool OpenEnded(uint64_t k) const;

  // True when the service was given changes.
  bool HasChanges() const { return !planned_.empty(); }
  // Why the changes cannot be played (a programme they leave shorter than a minute), or empty.
  std::string ChangeProblem() const;
  // Index of the programme with `event_id` in the unchanged schedule, the first at or after `first`.
  static uint64_t IndexOfEvent(uint16_t event_id, uint64_t first);

 private:
  // What the changes do to one programme.
  struct Planned {
    int64_t late = 0;
    int64_t extend = 0;
    bool undetermined = false;
  };

  // Seconds the extensions of the programmes before `k` shown by `now` move it back.
  int64_t ExtendedBefore(uint64_t k, AbsTime now) const;
  // When the extension of `k` and the late (or early) start of `k` show.
  AbsTime ExtendShows(uint64_t k) const;
  AbsTime LateShows(uint64_t k) const;
  // Start of programme `k` as the tables say at `now` (the actual start when `now` is the end of
  // time); also the end of programme k - 1.
  AbsTime StartAt(uint64_t k, AbsTime now) const;
  // Changes shown by `now`.
  uint64_t ShownBy(AbsTime now) const;
  const Planned* Plan(uint64_t k) const;

  uint64_t Hash(uint64_t k) const;
  // Whether programme `k` overruns in the schedule without changes.
  bool RandomOverrun(uint64_t k) const { return Hash(k) % 6 == 1; }
  uint32_t Overrun() const { return slot_ / 3; }
  AbsTime Announcement(uint64_t k) const { return k * slot_ + slot_ / 2; }
  // The series programme of slot `k` into `p`; false when the slot holds none.
  bool SeriesTexts(uint64_t k, ProgrammeInfo* p) const;

  uint64_t seed_;
  uint16_t service_id_;
  uint32_t slot_;
  bool hd_;
  std::map<uint64_t, Planned> planned_;
  bool series_;
};

}  // namespace pelkan::streamgen
