#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/mjd_time.h"
#include "info/service_filter_view.h"
#include "platform/dispatcher.h"
#include "ts/ts_events.h"

namespace pelkan {

// Receives the output-0 exclusion filter: the service ids and PIDs to drop, each ascending. Both
// empty means "no filter". The spans are valid only during the call. Called without the model's
// lock held, one call at a time: on the UI thread, or on the processing thread when a PMT adds PIDs
// while the filter is on (so that the new PIDs are dropped from the next packet on).
using FilterCallback =
    std::function<void(std::span<const uint16_t> excluded_services, std::span<const uint16_t> excluded_pids)>;

// Looks up the event of `service_id` in effect at `time` in the processor's event store; fills
// `out` and returns true when there is one. With `purge` the store may drop events that ended
// before `time`. Called on the UI thread with the model's lock held (so the store's lock is
// always taken after the model's).
using EventLookup =
    std::function<bool(uint16_t service_id, const MjdTime& time, ProgrammeEvent* out, bool purge)>;

// Asks the scheduler for a reservation by date and time; returns true when it was added. Called on
// the UI thread without the model's lock held (the scheduler may run a dialog).
using ReserveByTimeCallback =
    std::function<bool(uint16_t service_id, const MjdTime& start, uint32_t duration, std::string_view title)>;

// Asks the scheduler for a reservation by event id; this model passes 0 as network and stream id.
// Returns true when added. Called like ReserveByTimeCallback.
using ReserveByEventCallback = std::function<bool(
    uint16_t network_id, uint16_t stream_id, uint16_t service_id, uint16_t event_id, std::string_view title)>;

// One service of the received stream.
struct ServiceRecord {
  uint16_t service_id = 0;
  uint16_t row_index = 0;                // list row; the number of services known when it was added
  std::vector<uint16_t> component_pids;  // PMT component PIDs of every version seen, each once
  ProgrammeEvent current{};              // event on air; start_day 0 = none
  ProgrammeEvent next{};                 // following event; start_day 0 = none
  std::string name;                      // service name (Shift-JIS, at most kMaxNameBytes)
  std::string current_text;              // tool-tip form of the current event, empty = none
  std::string next_text;                 // tool-tip form of the next event, empty = none

  static constexpr size_t kMaxNameBytes = 29;
};

// What BuildFilterLists computes: the services and PIDs to exclude, each ascending.
struct FilterLists {
  std::vector<uint16_t> services;
  std::vector<uint16_t> pids;
};

// Which programme of a row a reservation is for.
enum class ProgrammeSlot { kCurrent = 0, kNext = 1 };
// How a reservation identifies its programme.
enum class ReserveBy { kTime, kEventId };

// The services of the received transport stream: their PMT components, names, current and next
// programmes, and which of them the user keeps. Fed by the processor's events on the processing
// thread; everything that shows on screen is handed to the view through the dispatcher, and the
// rest of the operations run on the dispatcher's (UI) thread. One lock (recursive) guards the state;
// the view is always called with it held.
//
// The posted updates carry the stream generation: an update posted before a stream reset is
// dropped when it arrives after the reset, so the rows always belong to the current stream.
class ServiceFilterWindow {
 public:
  // `dispatcher` runs the view updates on the UI thread; it must outlive this object. `view` may be
  // null (nothing is shown) and can be set later. Destroy the object on the dispatcher's thread;
  // updates still queued then are dropped when they run.
  explicit ServiceFilterWindow(Dispatcher& dispatcher, ServiceFilterView* view = nullptr);
  ~ServiceFilterWindow();
  ServiceFilterWindow(const ServiceFilterWindow&) = delete;
  ServiceFilterWindow& operator=(const ServiceFilterWindow&) = delete;

  // Attaches or detaches (null) the view. UI thread.
  void SetView(ServiceFilterView* view);
  // Sets the receiver of the output-0 filter. Any thread.
  void SetFilterCallback(FilterCallback callback);
  // Sets the reservation requests of the popup menu (either may be empty). Any thread.
  void SetReserveCallbacks(ReserveByTimeCallback by_time, ReserveByEventCallback by_event);

  // Feeds one processor event: events 2, 16, 17 and 48 go to the operations below; returns true
  // when the event was one of those. `data` and `count` follow the event protocol; a null `data`
  // is ignored. Processing thread.
  bool HandleTsEvent(uint32_t type, int32_t param, const uint8_t* data, uint32_t count);

  // Forgets every service (new transport stream or end of capture); the view's rows are cleared
  // and the filter is switched off. Processing thread.
  void OnStreamReset();
  // Adds service `service_id` (PMT on `pmt_pid`) as a new row, or rewrites the service column of
  // its row when it is known. Processing thread.
  void OnServiceEntry(uint16_t service_id, uint16_t pmt_pid);
  // Records the component PIDs of one PMT of `service_id` (behind those of earlier versions) and
  // shows the component column. New PIDs while the filter is on recompute it and send it to the
  // filter callback at once. Processing thread, without the lock held.
  void OnComponentList(uint16_t service_id, std::span<const ComponentEntry> entries);
  // Shows the service name (up to its first NUL); dropped if the service is not listed when the
  // update arrives. Processing thread.
  void OnServiceName(uint16_t service_id, std::string_view name);

  // Refreshes the current and next programme of every row from `lookup` at the broadcast time
  // `now`: changed events get new tool-tip texts and a new programme column. An empty lookup does
  // nothing. UI thread.
  void RefreshProgrammes(const MjdTime& now, const EventLookup& lookup);
  // Computes the exclusion filter from the rows' check states: unchecked services, and their PIDs
  // that no checked service uses. Any thread.
  FilterLists BuildFilterLists() const;
  // Hands the current or next programme of list row `row` to the reservation callback chosen by
  // `how`; returns the callback's result, false when the row, its programme or the callback is
  // missing. UI thread.
  bool ReserveProgramme(uint16_t row, ProgrammeSlot which, ReserveBy how);
  // Sets the text of one cell of the row of `service_id` in the view; a column-1 text also becomes
  // the service's name. Returns false when the service is not listed. UI thread.
  bool SetCellText(uint16_t service_id, int column, std::string_view text);
  // Enables (capturing) or disables the filter switch and the check boxes in the view. UI thread.
  void SetControlsEnabled(bool enabled);

  // The filter switch. With `force_off`, or while the filter is on, switches it off and clears the
  // filter (callback with nothing excluded); otherwise switches it on, sends BuildFilterLists to
  // the callback and freezes the check states. UI thread.
  void ToggleFilter(bool force_off);
  // True while the filter is switched on. Any thread.
  bool FilterActive() const;

  // Sets the check state of a list row; refused (false) while the filter is on or when the row
  // does not exist. UI thread.
  bool SetRowChecked(uint16_t row, bool checked);
  // Check state of a list row, or none when the row does not exist. Any thread.
  std::optional<bool> RowChecked(uint16_t row) const;
  // Keeps exactly the listed services: checks their rows, unchecks the others and switches the
  // filter on (or, when it is on already, replaces it) with one callback. Returns false, with the
  // filter off, when no listed service has a row. May be called again whenever the rows change.
  // UI thread; used by the headless tool.
  bool KeepOnlyServices(std::span<const uint16_t> keep);

  // Number of rows the view shows. Any thread.
  size_t RowCount() const;
  // Service shown in list row `row`, or none. Any thread.
  std::optional<uint16_t> RowService(uint16_t row) const;
  // Tool tip of list row `row` (Shift-JIS); empty when the row does not exist. Any thread.
  std::string RowToolTip(uint16_t row) const;
  // Copy of the record of `service_id`, or none. Any thread.
  std::optional<ServiceRecord> FindService(uint16_t service_id) const;

  // The object's lock, for a view that must read several things consistently. Recursive.
  std::recursive_mutex& Mutex() const { return mutex_; }

 private:
  struct ListRow {
    uint16_t service_id;
    bool checked;
  };

  // Posts `apply` to run under the lock on the dispatcher's thread, if this object and the stream
  // generation of the moment still exist then.
  void PostUpdate(std::function<void()> apply);
  void ApplyAddRow(uint16_t service_id, uint16_t pmt_pid, bool is_new, const std::string& text);
  void ApplyClearRows();
  void ShowFilterStateLocked();
  // Sends BuildFilterLists to the filter callback if the filter is on.
  void ResendFilter();
  // The record shown in list row `row`, or null.
  const ServiceRecord* RowRecordLocked(uint16_t row) const;
  ServiceRecord* RowRecordLocked(uint16_t row);

  Dispatcher& dispatcher_;
  mutable std::recursive_mutex mutex_;
  // Held from reading the filter state to the end of the filter callback, so that the callbacks
  // from the UI and the processing thread arrive in the order of the states they carry. Taken
  // before mutex_, never while holding it.
  std::mutex send_mutex_;
  ServiceFilterView* view_ = nullptr;
  std::map<uint16_t, std::unique_ptr<ServiceRecord>> services_;
  std::map<uint16_t, uint16_t> rows_;  // row index -> service id, as known on the processing thread
  std::vector<ListRow> list_;          // the rows as shown by the view, with their check states
  bool filter_active_ = false;
  bool controls_enabled_ = false;
  uint64_t generation_ = 0;
  FilterCallback filter_callback_;
  ReserveByTimeCallback reserve_by_time_;
  ReserveByEventCallback reserve_by_event_;
  // Queued updates hold a weak reference; it expires when this object is destroyed.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace pelkan
