#include "ui/recording_table_model.h"

#include <QBrush>
#include <QColor>

#include "ui/qt_text.h"

namespace pelkan::ui {
namespace {

constexpr int kResultColumn = 4;
constexpr const char* kHeaders[RecordingRow::kColumns] = {"番組名", "サービス", "開始", "長さ",
                                                          "結果", "サイズ", "ルール", "保護"};

// The badge's colours: its background and the text on it.
struct BadgeColours {
  QColor back;
  QColor text;
};
BadgeColours ColoursOf(RecordingBadge badge) {
  switch (badge) {
    case RecordingBadge::kRecording:
      return {QColor(0x15, 0x65, 0xC0), Qt::white};
    case RecordingBadge::kRecovered:
      return {QColor(0xF9, 0xA8, 0x25), Qt::black};
    case RecordingBadge::kFailed:
      return {QColor(0xC6, 0x28, 0x28), Qt::white};
    case RecordingBadge::kMissing:
      return {QColor(0x75, 0x75, 0x75), Qt::white};
    case RecordingBadge::kNone:
      break;
  }
  return {};
}

// The cells `utf8` takes: one for an ASCII character, two for any other (Japanese is wide).
size_t Cells(const std::string& utf8) {
  size_t cells = 0;
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      ++cells;
    } else if (byte >= 0xC0) {
      cells += 2;  // a character's first byte; the bytes after it count nothing
    }
  }
  return cells;
}

}  // namespace

RecordingTableModel::RecordingTableModel(QObject* parent) : QAbstractTableModel(parent) {}

void RecordingTableModel::SetEntries(std::vector<LibraryEntry> entries,
                                     const std::function<std::string(uint32_t)>& rule_name) {
  beginResetModel();
  entries_ = std::move(entries);
  rows_.clear();
  rows_.reserve(entries_.size());
  for (const LibraryEntry& e : entries_) rows_.push_back(RecordingRowOf(e, rule_name));
  endResetModel();
}

QString RecordingTableModel::WidestText(int column) const {
  const std::string* widest = nullptr;
  size_t most = 0;
  for (const RecordingRow& row : rows_) {
    const std::string& text = row.cells[column];
    if (widest != nullptr && text.size() <= most) continue;  // never more cells than bytes
    const size_t cells = Cells(text);
    if (widest == nullptr || cells > most) {
      widest = &text;
      most = cells;
    }
  }
  return widest != nullptr ? QString::fromStdString(*widest) : QString();
}

int RecordingTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int RecordingTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : RecordingRow::kColumns;
}

QVariant RecordingTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
  const RecordingRow& row = rows_[static_cast<size_t>(index.row())];
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
      return QString::fromStdString(row.cells[column]);
    case Qt::ToolTipRole: {
      const LibraryEntry& e = entries_[static_cast<size_t>(index.row())];
      if (column == 0) return QString::fromStdString(e.file);
      if (column == kResultColumn && !e.reason.empty()) return QString::fromStdString(e.reason);
      return {};
    }
    case Qt::TextAlignmentRole:
      if (column == 3 || column == 5) return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
      if (column == 7) return QVariant::fromValue(Qt::AlignCenter);
      return {};
    case Qt::BackgroundRole:
      if (column == kResultColumn && row.badge != RecordingBadge::kNone) return QBrush(ColoursOf(row.badge).back);
      return {};
    case Qt::ForegroundRole:
      if (column == kResultColumn && row.badge != RecordingBadge::kNone) return QBrush(ColoursOf(row.badge).text);
      return {};
    default:
      return {};
  }
}

QVariant RecordingTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= RecordingRow::kColumns)
    return {};
  return U8(kHeaders[section]);
}

}  // namespace pelkan::ui
