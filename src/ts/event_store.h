#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "base/mjd_time.h"
#include "ts/ts_events.h"

namespace pelkan {

// The programme events the EIT announces for the current transport stream, one record per
// (service_id, event_id). Every operation holds the store's own lock for its whole duration, so
// the processing thread may store while the UI thread queries; a query never sees half a record.
class EventStore {
 public:
  // What the present/following table of the actual stream says of a service now: the event on air
  // (section 0) and the next one (section 1), as the store holds them.
  struct PresentFollowing {
    bool known = false;  // section 0 of the service has been received
    std::optional<ProgrammeEvent> present;
    std::optional<ProgrammeEvent> following;
  };


  // Stores `ev` for `service_id`. A new event is inserted; a known one is replaced only by a record
  // of a lower kind, or of the same kind with another version. Returns 1 if stored or replaced.
  int StoreEvent(uint16_t service_id, const ProgrammeEvent& ev);

  // The event of `service_id` in effect at `t`. An event with a defined end is in effect while
  // start <= t <= end, and is preferred (the lowest event_id among several). An event of undefined
  // duration is in effect once start < t, until a later event of the service has started; of
  // several such, the one that started last (then the lowest event_id). With `purge` non-zero,
  // every event of the service whose defined end lies strictly before `t` is removed afterwards.
  std::optional<ProgrammeEvent> FindEventAt(uint16_t service_id, MjdTime t, int purge);

  // The record of (service_id, event_id). The network and transport stream ids are accepted for
  // the callers' convenience and ignored: the store holds one transport stream.
  std::optional<ProgrammeEvent> FindEventById(int network_id, int transport_stream_id, int service_id,
                                              int event_id) const;

  // Section `section_number` (0 present, 1 following) of the service's present/following table
  // names `event_id` (nullopt: an empty section). Other section numbers are ignored.
  void StorePresentFollowing(uint16_t service_id, uint8_t section_number, std::optional<uint16_t> event_id);
  PresentFollowing FindPresentFollowing(uint16_t service_id) const;

  // Forgets every event.
  void Clear();

  // Copies of all stored records, by service_id then event_id.
  std::vector<ProgrammeEvent> Snapshot() const;
  // Number of stored records.
  size_t Size() const;

 private:
  mutable std::recursive_mutex mutex_;
  std::map<uint16_t, std::map<uint16_t, ProgrammeEvent>> services_;
  struct PresentFollowingIds {
    bool known = false;
    std::optional<uint16_t> present, following;
  };
  std::map<uint16_t, PresentFollowingIds> present_following_;
  // The last two answers of FindEventAt per service, the newer first (a status refresh asks for
  // the programme on air and for the one after it): each holds for every time in [from, until)
  // until an event of the service starting before `until` is stored or removed, so a refresh
  // asking every few hundred milliseconds walks the service's events only when a programme starts
  // or ends, not for each later programme the schedule brings.
  struct Answer {
    uint64_t from = 0;
    uint64_t until = 0;
    std::optional<ProgrammeEvent> event;
  };
  std::map<uint16_t, std::array<std::optional<Answer>, 2>> answers_;
  // Per service, a time before which no stored event with a defined end ends: a purge at or before
  // it removes nothing, and a kept answer serves it too.
  std::map<uint16_t, uint64_t> earliest_end_;
  // Forgets the service's answers that event `e` may change.
  void Touch(uint16_t service_id, const ProgrammeEvent& e);
};

}  // namespace pelkan
