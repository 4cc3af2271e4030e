#pragma once

#include <cstdint>
#include <string_view>

namespace pelkan {

// What ServiceFilterWindow shows: a list of service rows with five text columns (0 service id,
// 1 name, 2 current programme, 3 PMT PID, 4 components) and a check box per row, plus the filter
// switch. The model calls these on the thread that runs its dispatcher (the UI thread), always
// while holding its own lock, so an implementation may call back into the model (it is recursive)
// but must not block on other threads. Texts are Shift-JIS and valid only during the call.
class ServiceFilterView {
 public:
  virtual ~ServiceFilterView() = default;

  // Shows the filter switch: `active` is the switch's state; `switch_enabled` and `list_enabled`
  // say whether the user may press the switch and change the check boxes.
  virtual void ShowFilterState(bool active, bool switch_enabled, bool list_enabled) = 0;
  // Removes every row.
  virtual void ClearRows() = 0;
  // Inserts row `row` (always the current row count: rows are appended) for `service_id`, checked,
  // with the given column-0 text; the other cells are empty until SetCell.
  virtual void AddRow(uint16_t row, uint16_t service_id, std::string_view service_text) = 0;
  // Replaces the text of one cell of an existing row.
  virtual void SetCell(uint16_t row, int column, std::string_view text) = 0;
  // Shows the check state of a row after the model changed it.
  virtual void ShowRowChecked(uint16_t row, bool checked) = 0;
};

}  // namespace pelkan
