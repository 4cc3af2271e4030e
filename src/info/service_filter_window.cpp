#include "info/service_filter_window.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

#include "info/programme_text.h"

namespace pelkan {
namespace {

constexpr int kServiceColumn = 0;
constexpr int kNameColumn = 1;
constexpr int kProgrammeColumn = 2;
constexpr int kPmtColumn = 3;
constexpr int kComponentColumn = 4;

// Length of the longest prefix of a Shift-JIS text that fits `max` bytes without splitting a
// double-byte character.
size_t SjisPrefixLength(std::string_view text, size_t max) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t width = ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) ? 2 : 1;
    if (i + width > max || i + width > text.size()) break;
    i += width;
  }
  return i;
}

bool SameEvent(const ProgrammeEvent& a, const ProgrammeEvent& b) {
  return a.kind == b.kind && a.version == b.version && a.event_id == b.event_id;
}

}  // namespace

ServiceFilterWindow::ServiceFilterWindow(Dispatcher& dispatcher, ServiceFilterView* view)
    : dispatcher_(dispatcher), view_(view) {}

ServiceFilterWindow::~ServiceFilterWindow() = default;

void ServiceFilterWindow::SetView(ServiceFilterView* view) {
  std::lock_guard lock(mutex_);
  view_ = view;
}

void ServiceFilterWindow::SetFilterCallback(FilterCallback callback) {
  std::lock_guard lock(mutex_);
  filter_callback_ = std::move(callback);
}

void ServiceFilterWindow::SetReserveCallbacks(ReserveByTimeCallback by_time,
                                              ReserveByEventCallback by_event) {
  std::lock_guard lock(mutex_);
  reserve_by_time_ = std::move(by_time);
  reserve_by_event_ = std::move(by_event);
}

void ServiceFilterWindow::PostUpdate(std::function<void()> apply) {
  // Called with the lock held, so the generation read here orders with OnStreamReset.
  std::weak_ptr<int> alive = alive_;
  const uint64_t generation = generation_;
  dispatcher_.Post([this, alive, generation, apply = std::move(apply)] {
    if (alive.expired()) return;
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;
    apply();
  });
}

bool ServiceFilterWindow::HandleTsEvent(uint32_t type, int32_t param, const uint8_t* data, uint32_t count) {
  switch (type) {
    case EVENT_STREAM_RESET:
      OnStreamReset();
      return true;
    case EVENT_PROGRAM_LIST:
      if (data == nullptr) return true;
      for (uint32_t i = 0; i < count; ++i) {
        ProgramListEntry entry;
        std::memcpy(&entry, data + size_t{i} * sizeof(entry), sizeof(entry));
        OnServiceEntry(entry.program_number, entry.pmt_pid);
      }
      return true;
    case EVENT_COMPONENT_LIST: {
      if (data == nullptr) return true;
      // A private, aligned copy of the payload.
      std::vector<ComponentEntry> entries(count);
      if (count > 0) std::memcpy(entries.data(), data, size_t{count} * sizeof(ComponentEntry));
      OnComponentList(static_cast<uint16_t>(param), entries);
      return true;
    }
    case EVENT_SERVICE_NAME: {
      if (data == nullptr) return true;
      ServiceNames names;
      std::memcpy(&names, data, sizeof(names));
      OnServiceName(static_cast<uint16_t>(param),
                    std::string_view(names.service_name,
                                     FixedFieldLength(names.service_name, sizeof(names.service_name))));
      return true;
    }
    default:
      return false;
  }
}

void ServiceFilterWindow::OnStreamReset() {
  std::lock_guard lock(mutex_);
  services_.clear();
  rows_.clear();
  ++generation_;
  std::weak_ptr<int> alive = alive_;
  dispatcher_.Post([this, alive] {
    if (!alive.expired()) ToggleFilter(true);
  });
  dispatcher_.Post([this, alive] {
    if (!alive.expired()) ApplyClearRows();
  });
}

void ServiceFilterWindow::OnServiceEntry(uint16_t service_id, uint16_t pmt_pid) {
  std::lock_guard lock(mutex_);
  std::string text = ServiceIdText(service_id);
  const bool is_new = services_.find(service_id) == services_.end();
  if (is_new) {
    auto record = std::make_unique<ServiceRecord>();
    record->service_id = service_id;
    record->row_index = static_cast<uint16_t>(services_.size());
    rows_[record->row_index] = service_id;
    services_.emplace(service_id, std::move(record));
  }
  PostUpdate([this, service_id, pmt_pid, is_new, text = std::move(text)] {
    ApplyAddRow(service_id, pmt_pid, is_new, text);
  });
}

void ServiceFilterWindow::ApplyAddRow(uint16_t service_id, uint16_t pmt_pid, bool is_new,
                                      const std::string& text) {
  const auto it = services_.find(service_id);
  if (it == services_.end()) return;
  const ServiceRecord& record = *it->second;
  if (!is_new) {
    SetCellText(service_id, kServiceColumn, text);
    return;
  }
  // Rows are appended in the order the services appeared; anything else is a leftover.
  if (record.row_index != list_.size()) return;
  list_.push_back(ListRow{service_id, true});
  if (view_ != nullptr) view_->AddRow(record.row_index, service_id, text);
  SetCellText(service_id, kPmtColumn, PmtPidText(pmt_pid));
}

void ServiceFilterWindow::ApplyClearRows() {
  std::lock_guard lock(mutex_);
  list_.clear();
  if (view_ != nullptr) view_->ClearRows();
}

void ServiceFilterWindow::OnComponentList(uint16_t service_id, std::span<const ComponentEntry> entries) {
  bool added = false;
  {
    std::lock_guard lock(mutex_);
    std::string text = ComponentListText(entries);
    const auto it = services_.find(service_id);
    if (it != services_.end()) {
      // Every PID is kept, also those the column has no room to show, so that an unchecked service
      // is excluded whole. A PID already known from an earlier PMT version is not added twice.
      std::vector<uint16_t>& pids = it->second->component_pids;
      for (const ComponentEntry& entry : entries) {
        if (std::find(pids.begin(), pids.end(), entry.elementary_pid) == pids.end()) {
          pids.push_back(entry.elementary_pid);
          added = true;
        }
      }
    }
    PostUpdate(
        [this, service_id, text = std::move(text)] { SetCellText(service_id, kComponentColumn, text); });
    added = added && filter_active_;
  }
  // The packets of the new PIDs follow this PMT at once: the filter changes before they come.
  if (added) ResendFilter();
}

void ServiceFilterWindow::OnServiceName(uint16_t service_id, std::string_view name) {
  std::lock_guard lock(mutex_);
  const size_t nul = name.find('\0');
  if (nul != std::string_view::npos) name = name.substr(0, nul);
  PostUpdate([this, service_id, text = std::string(name)] { SetCellText(service_id, kNameColumn, text); });
}

bool ServiceFilterWindow::SetCellText(uint16_t service_id, int column, std::string_view text) {
  std::lock_guard lock(mutex_);
  const auto it = services_.find(service_id);
  if (it == services_.end()) return false;
  ServiceRecord& record = *it->second;
  if (record.row_index >= list_.size() || list_[record.row_index].service_id != service_id) return false;
  if (view_ != nullptr) view_->SetCell(record.row_index, column, text);
  if (column == kNameColumn)
    record.name.assign(text.substr(0, SjisPrefixLength(text, ServiceRecord::kMaxNameBytes)));
  return true;
}

const ServiceRecord* ServiceFilterWindow::RowRecordLocked(uint16_t row) const {
  if (row >= list_.size()) return nullptr;
  const auto it = services_.find(list_[row].service_id);
  if (it == services_.end() || it->second->row_index != row) return nullptr;
  return it->second.get();
}

ServiceRecord* ServiceFilterWindow::RowRecordLocked(uint16_t row) {
  return const_cast<ServiceRecord*>(std::as_const(*this).RowRecordLocked(row));
}

void ServiceFilterWindow::RefreshProgrammes(const MjdTime& now, const EventLookup& lookup) {
  if (!lookup) return;
  std::lock_guard lock(mutex_);
  for (size_t row = 0; row < list_.size(); ++row) {
    ServiceRecord* record = RowRecordLocked(static_cast<uint16_t>(row));
    if (record == nullptr) continue;
    const uint16_t service_id = record->service_id;

    ProgrammeEvent fresh{};
    if (!lookup(service_id, now, &fresh, true)) {
      // Forget the events whole, so that the same event coming back counts as a change.
      if (record->current.start_day != 0) {
        PostUpdate([this, service_id] { SetCellText(service_id, kProgrammeColumn, ""); });
      }
      record->current = ProgrammeEvent{};
      record->next = ProgrammeEvent{};
      record->current_text.clear();
      record->next_text.clear();
      continue;
    }
    if (!SameEvent(fresh, record->current)) {
      record->current = fresh;
      PostUpdate([this, service_id, text = FormatProgrammeText(kProgrammeLineFlags, fresh)] {
        SetCellText(service_id, kProgrammeColumn, text);
      });
      record->current_text = FormatProgrammeText(kProgrammeToolTipFlags, fresh);
    }

    // The next programme is the one in effect one second after this one ends. With an
    // undetermined end that moment lies far in the future, where the store still finds the open
    // current event: that is not a next programme.
    const uint64_t total = uint64_t{fresh.end_day} * 86400 + fresh.end_second + 1;
    const MjdTime after{static_cast<uint32_t>(total / 86400), static_cast<uint32_t>(total % 86400)};
    ProgrammeEvent following{};
    if (!lookup(service_id, after, &following, false) ||
        (following.event_id == fresh.event_id && following.start_day == fresh.start_day &&
         following.start_second == fresh.start_second)) {
      record->next = ProgrammeEvent{};
      record->next_text.clear();
    } else if (!SameEvent(following, record->next)) {
      record->next = following;
      record->next_text = FormatProgrammeText(kProgrammeToolTipFlags, following);
    }
  }
}

FilterLists ServiceFilterWindow::BuildFilterLists() const {
  std::lock_guard lock(mutex_);
  std::set<uint16_t> unchecked;
  std::set<uint16_t> unchecked_pids;
  std::set<uint16_t> checked_pids;
  for (size_t row = 0; row < list_.size(); ++row) {
    const ServiceRecord* record = RowRecordLocked(static_cast<uint16_t>(row));
    if (record == nullptr) continue;
    if (!list_[row].checked) {
      unchecked.insert(record->service_id);
      unchecked_pids.insert(record->component_pids.begin(), record->component_pids.end());
    } else {
      checked_pids.insert(record->component_pids.begin(), record->component_pids.end());
    }
  }
  FilterLists lists;
  lists.services.assign(unchecked.begin(), unchecked.end());
  for (uint16_t pid : unchecked_pids) {
    if (checked_pids.count(pid) == 0) lists.pids.push_back(pid);
  }
  return lists;
}

bool ServiceFilterWindow::ReserveProgramme(uint16_t row, ProgrammeSlot which, ReserveBy how) {
  ProgrammeEvent event{};
  ReserveByTimeCallback by_time;
  ReserveByEventCallback by_event;
  {
    std::lock_guard lock(mutex_);
    const ServiceRecord* record = RowRecordLocked(row);
    if (record == nullptr) return false;
    event = which == ProgrammeSlot::kCurrent ? record->current : record->next;
    if (event.start_day == 0) return false;
    event.service_id = record->service_id;
    if (how == ReserveBy::kTime) {
      if (!reserve_by_time_) return false;
      by_time = reserve_by_time_;
    } else {
      if (!reserve_by_event_) return false;
      by_event = reserve_by_event_;
    }
  }
  // The scheduler may open a dialog: the lock is not held, so the processing thread goes on.
  const std::string_view title(event.title, FixedFieldLength(event.title, sizeof(event.title)));
  if (how == ReserveBy::kTime) {
    return by_time(event.service_id, MjdTime{event.start_day, event.start_second}, event.duration, title);
  }
  return by_event(0, 0, event.service_id, event.event_id, title);
}

void ServiceFilterWindow::SetControlsEnabled(bool enabled) {
  std::lock_guard lock(mutex_);
  controls_enabled_ = enabled;
  ShowFilterStateLocked();
}

void ServiceFilterWindow::ShowFilterStateLocked() {
  if (view_ != nullptr)
    view_->ShowFilterState(filter_active_, controls_enabled_, controls_enabled_ && !filter_active_);
}

void ServiceFilterWindow::ResendFilter() {
  std::lock_guard send(send_mutex_);
  FilterCallback callback;
  FilterLists lists;
  {
    std::lock_guard lock(mutex_);
    if (!filter_active_) return;
    lists = BuildFilterLists();
    callback = filter_callback_;
  }
  if (callback) callback(lists.services, lists.pids);
}

void ServiceFilterWindow::ToggleFilter(bool force_off) {
  std::lock_guard send(send_mutex_);
  FilterCallback callback;
  FilterLists lists;
  {
    std::lock_guard lock(mutex_);
    if (filter_active_ || force_off) {
      filter_active_ = false;
    } else {
      filter_active_ = true;
      lists = BuildFilterLists();
    }
    ShowFilterStateLocked();
    callback = filter_callback_;
  }
  if (callback) callback(lists.services, lists.pids);
}

bool ServiceFilterWindow::FilterActive() const {
  std::lock_guard lock(mutex_);
  return filter_active_;
}

bool ServiceFilterWindow::SetRowChecked(uint16_t row, bool checked) {
  std::lock_guard lock(mutex_);
  if (filter_active_ || row >= list_.size()) return false;
  if (list_[row].checked != checked) {
    list_[row].checked = checked;
    if (view_ != nullptr) view_->ShowRowChecked(row, checked);
  }
  return true;
}

std::optional<bool> ServiceFilterWindow::RowChecked(uint16_t row) const {
  std::lock_guard lock(mutex_);
  if (row >= list_.size()) return std::nullopt;
  return list_[row].checked;
}

bool ServiceFilterWindow::KeepOnlyServices(std::span<const uint16_t> keep) {
  std::lock_guard send(send_mutex_);
  FilterCallback callback;
  FilterLists lists;
  bool any_kept = false;
  {
    std::lock_guard lock(mutex_);
    for (size_t row = 0; row < list_.size(); ++row) {
      const bool kept = std::find(keep.begin(), keep.end(), list_[row].service_id) != keep.end();
      any_kept = any_kept || kept;
      if (list_[row].checked != kept) {
        list_[row].checked = kept;
        if (view_ != nullptr) view_->ShowRowChecked(static_cast<uint16_t>(row), kept);
      }
    }
    // The new filter replaces the old one in a single call, so nothing slips through in between.
    if (!any_kept && !filter_active_) return false;
    filter_active_ = any_kept;
    if (any_kept) lists = BuildFilterLists();
    ShowFilterStateLocked();
    callback = filter_callback_;
  }
  if (callback) callback(lists.services, lists.pids);
  return any_kept;
}

size_t ServiceFilterWindow::RowCount() const {
  std::lock_guard lock(mutex_);
  return list_.size();
}

std::optional<uint16_t> ServiceFilterWindow::RowService(uint16_t row) const {
  std::lock_guard lock(mutex_);
  if (row >= list_.size()) return std::nullopt;
  return list_[row].service_id;
}

std::string ServiceFilterWindow::RowToolTip(uint16_t row) const {
  std::lock_guard lock(mutex_);
  const ServiceRecord* record = RowRecordLocked(row);
  if (record == nullptr) return {};
  return RowToolTipText(record->name, record->service_id, record->current_text, record->next_text);
}

std::optional<ServiceRecord> ServiceFilterWindow::FindService(uint16_t service_id) const {
  std::lock_guard lock(mutex_);
  const auto it = services_.find(service_id);
  if (it == services_.end()) return std::nullopt;
  return *it->second;
}

}  // namespace pelkan
