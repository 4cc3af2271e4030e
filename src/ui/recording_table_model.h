#pragma once

#include <QAbstractTableModel>
#include <functional>
#include <string>
#include <vector>

#include "app/recordings_view.h"

namespace pelkan::ui {

// The rows of the 録画済み window: one catalogued recording each, its texts made once when the list
// is set (RecordingRowOf), turned into QStrings only for the rows shown. The 結果 cell of a
// recording that is not complete is a coloured badge.
class RecordingTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit RecordingTableModel(QObject* parent = nullptr);

  // Shows `entries` in their order; `rule_name` names their rules.
  void SetEntries(std::vector<LibraryEntry> entries, const std::function<std::string(uint32_t)>& rule_name);
  const LibraryEntry& Entry(int row) const { return entries_[static_cast<size_t>(row)]; }
  const RecordingRow& Row(int row) const { return rows_[static_cast<size_t>(row)]; }
  // The text of `column` that takes the most room as a font draws it (counted in character
  // cells, a wide character two: no text is measured); "" without rows.
  QString WidestText(int column) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 private:
  std::vector<LibraryEntry> entries_;
  std::vector<RecordingRow> rows_;
};

}  // namespace pelkan::ui
