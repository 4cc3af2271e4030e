#pragma once

#include <QFont>
#include <QHash>
#include <QLabel>
#include <QPixmap>
#include <QSize>
#include <QString>
#include <QTextDocument>
#include <memory>
#include <optional>

namespace pelkan::ui {

// A label of a text the status refresh writes again and again (a count, a time, a rate, a size, a
// state with its figure), whose new text repaints this label alone:
// - Its room is the size its text would need with every digit the font's widest, measured only
//   when that shape changes (a figure gaining a digit), never for the digits themselves; a label
//   that `keepsWidest` (a figure) keeps the widest room it has needed, a message takes its
//   current one. In a layout that room is its fixed size, placed in its cell by its text's
//   alignment, so a new text lays nothing out again.
// - It paints its own background: what its parent draws under it (a group box's frame), taken once
//   and again only after either moved, changed size or look. Its parent is not drawn again for it.
// - It draws its text as QLabel does, from a document of its own laid out once per new text
//   (QLabel's lays it out three times and has the label painted twice); while the user has part
//   of it selected, QLabel draws it with the selection.
// Selection, copying, the accessible name, the buddy and the tool tip are a QLabel's.
class FigureLabel : public QLabel {
  Q_OBJECT
  Q_PROPERTY(bool keepsWidest READ keepsWidest WRITE setKeepsWidest)

 public:
  explicit FigureLabel(QWidget* parent = nullptr);

  // Shows `text`; nothing happens when it is the text shown.
  void Show(const QString& text);

  bool keepsWidest() const { return keeps_widest_; }
  void setKeepsWidest(bool keep) { keeps_widest_ = keep; }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

  // `text` with every ASCII digit replaced by `widest`.
  static QString Shape(const QString& text, QChar widest);

 protected:
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  // Measures the room of the text's shape when it changed; fixes the size in a layout.
  void Reserve();
  // The room QLabel would ask for `text`, with this label's font, frame, margins and flags.
  QSize Measure(const QString& text) const;
  QChar WidestDigit();
  // Where QLabel lays its text out, and the text drawn there as QLabel draws it.
  QRect DocumentRect() const;
  void DrawText(QPainter& painter);

  bool keeps_widest_ = true;
  bool polished_ = false;
  QChar widest_;
  QString shape_;
  // The rooms measured, by shape.
  static constexpr qsizetype kShapesKept = 32;
  QHash<QString, QSize> rooms_;
  // The room measured, and the minimum size the form gave (the room is never below it).
  QSize room_;
  QSize floor_;
  bool in_layout_ = false;
  QPixmap background_;
  // The text's document while no selection is shown (QLabel's own then), with what it was set up for.
  std::unique_ptr<QTextDocument> document_;
  QFont document_font_;
  Qt::Alignment document_alignment_;
  int document_width_ = -1;
  std::optional<QString> document_text_;
};

}  // namespace pelkan::ui
