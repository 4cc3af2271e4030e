#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "info/service_filter_view.h"
#include "platform/broadcast_text.h"

namespace pelkan {

// A ServiceFilterView that keeps the rows in memory instead of showing them: the headless tool
// prints it, tests inspect it. Used on the thread that runs the model's dispatcher.
class ServiceRowTable : public ServiceFilterView {
 public:
  static constexpr int kColumns = 5;

  // One service row: its check box and the five cell texts (Shift-JIS).
  struct Row {
    uint16_t service_id = 0;
    bool checked = true;
    std::array<std::string, kColumns> cells;
  };

  void ShowFilterState(bool active, bool switch_enabled, bool list_enabled) override;
  void ClearRows() override;
  void AddRow(uint16_t row, uint16_t service_id, std::string_view service_text) override;
  void SetCell(uint16_t row, int column, std::string_view text) override;
  void ShowRowChecked(uint16_t row, bool checked) override;

  // The rows, in list order.
  const std::vector<Row>& Rows() const { return rows_; }
  // The filter switch as last shown.
  bool FilterActive() const { return filter_active_; }
  bool SwitchEnabled() const { return switch_enabled_; }
  bool ListEnabled() const { return list_enabled_; }
  // Counts every change of a row or cell that altered what is shown; lets a printer tell whether
  // anything is new since it last looked.
  uint64_t Changes() const { return changes_; }
  // True when there is at least one row and every row shows its components, i.e. the PAT and all
  // its PMTs have been seen.
  bool ComponentsComplete() const;
  // Every row as one UTF-8 line (FormatServiceRowUtf8), in list order.
  std::vector<std::string> RenderUtf8(platform::SymbolForm form = platform::SymbolForm::kSymbols) const;

 private:
  std::vector<Row> rows_;
  bool filter_active_ = false;
  bool switch_enabled_ = false;
  bool list_enabled_ = false;
  uint64_t changes_ = 0;
};

// One cell of a row in UTF-8 (read as broadcast text, its symbols in `form`), without trailing blanks.
std::string ServiceCellUtf8(const ServiceRowTable::Row& row, int column,
                            platform::SymbolForm form = platform::SymbolForm::kSymbols);
// One service row as a UTF-8 line: check mark, service id, name, current programme (one-line
// form), PMT PID and components, separated by " | ". Example:
// "[x] 1024 | NHK総合 | 21:00 - 21:54 ニュース🈑 | 0x01F0 | 0x0111(m2v) 0x0112(aac)".
std::string FormatServiceRowUtf8(const ServiceRowTable::Row& row,
                                 platform::SymbolForm form = platform::SymbolForm::kSymbols);

}  // namespace pelkan
