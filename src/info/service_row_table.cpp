#include "info/service_row_table.h"

namespace pelkan {

void ServiceRowTable::ShowFilterState(bool active, bool switch_enabled, bool list_enabled) {
  filter_active_ = active;
  switch_enabled_ = switch_enabled;
  list_enabled_ = list_enabled;
}

void ServiceRowTable::ClearRows() {
  if (rows_.empty()) return;
  rows_.clear();
  ++changes_;
}

void ServiceRowTable::AddRow(uint16_t row, uint16_t service_id, std::string_view service_text) {
  Row added;
  added.service_id = service_id;
  added.cells[0] = std::string(service_text);
  // The model appends rows; an index past the end still lands at the end.
  const size_t at = row < rows_.size() ? row : rows_.size();
  rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(at), std::move(added));
  ++changes_;
}

void ServiceRowTable::SetCell(uint16_t row, int column, std::string_view text) {
  if (row >= rows_.size() || column < 0 || column >= kColumns) return;
  std::string& cell = rows_[row].cells[static_cast<size_t>(column)];
  if (cell == text) return;
  cell.assign(text);
  ++changes_;
}

void ServiceRowTable::ShowRowChecked(uint16_t row, bool checked) {
  if (row >= rows_.size() || rows_[row].checked == checked) return;
  rows_[row].checked = checked;
  ++changes_;
}

bool ServiceRowTable::ComponentsComplete() const {
  if (rows_.empty()) return false;
  for (const Row& row : rows_) {
    if (row.cells[4].empty()) return false;
  }
  return true;
}

std::vector<std::string> ServiceRowTable::RenderUtf8(platform::SymbolForm form) const {
  std::vector<std::string> lines;
  lines.reserve(rows_.size());
  for (const Row& row : rows_) lines.push_back(FormatServiceRowUtf8(row, form));
  return lines;
}

std::string ServiceCellUtf8(const ServiceRowTable::Row& row, int column, platform::SymbolForm form) {
  std::string cell = platform::BroadcastToUtf8(row.cells[static_cast<size_t>(column)], form);
  while (!cell.empty() && cell.back() == ' ') cell.pop_back();
  return cell;
}

std::string FormatServiceRowUtf8(const ServiceRowTable::Row& row, platform::SymbolForm form) {
  std::string line = row.checked ? "[x] " : "[ ] ";
  for (int column = 0; column < ServiceRowTable::kColumns; ++column) {
    if (column > 0) line += " | ";
    line += ServiceCellUtf8(row, column, form);
  }
  return line;
}

}  // namespace pelkan
