#include "ui/figure_label.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLayout>
#include <QPainter>

namespace pelkan::ui {

namespace {

// The layout among `layout` and the layouts it holds that has `widget` as an item; null when none.
QLayout* LayoutHolding(QLayout* layout, QWidget* widget) {
  if (layout == nullptr) return nullptr;
  if (layout->indexOf(widget) >= 0) return layout;
  for (int i = 0; i < layout->count(); ++i) {
    if (QLayout* inner = LayoutHolding(layout->itemAt(i)->layout(), widget)) return inner;
  }
  return nullptr;
}

}  // namespace

FigureLabel::FigureLabel(QWidget* parent) : QLabel(parent) {
  // Every pixel is painted here (the background taken from the parent, then the label).
  setAttribute(Qt::WA_OpaquePaintEvent);
}

QString FigureLabel::Shape(const QString& text, QChar widest) {
  QString shape = text;
  for (QChar& c : shape) {
    if (c >= u'0' && c <= u'9') c = widest;
  }
  return shape;
}

void FigureLabel::Show(const QString& text) {
  if (text == this->text()) return;
  setText(text);
  Reserve();
}

QSize FigureLabel::sizeHint() const {
  return room_.isValid() ? room_ : QLabel::sizeHint();
}

QSize FigureLabel::minimumSizeHint() const {
  return room_.isValid() ? room_ : QLabel::minimumSizeHint();
}

QChar FigureLabel::WidestDigit() {
  if (widest_.isNull()) {
    const QFontMetrics metrics = fontMetrics();
    int widest = -1;
    for (char16_t c = u'0'; c <= u'9'; ++c) {
      if (const int advance = metrics.horizontalAdvance(QChar(c)); advance > widest) {
        widest = advance;
        widest_ = QChar(c);
      }
    }
  }
  return widest_;
}

QSize FigureLabel::Measure(const QString& text) const {
  QLabel probe;
  probe.setFont(font());
  probe.setTextFormat(textFormat());
  probe.setTextInteractionFlags(textInteractionFlags());
  probe.setAlignment(alignment());
  probe.setWordWrap(wordWrap());
  probe.setFrameStyle(frameStyle());
  probe.setLineWidth(lineWidth());
  probe.setMidLineWidth(midLineWidth());
  probe.setMargin(margin());
  probe.setIndent(indent());
  probe.setText(text);
  return probe.sizeHint();
}

void FigureLabel::Reserve() {
  if (!polished_ || !in_layout_) return;
  const QString shape = Shape(text(), WidestDigit());
  if (room_.isValid() && shape == shape_) return;
  shape_ = shape;
  auto measured = rooms_.constFind(shape);
  if (measured == rooms_.constEnd()) {
    // A figure takes a handful of shapes (its digit counts); a message may take more.
    if (rooms_.size() >= kShapesKept) rooms_.clear();
    measured = rooms_.insert(shape, Measure(shape).expandedTo(floor_));
  }
  QSize room = *measured;
  if (keeps_widest_ && room_.isValid()) room = room.expandedTo(room_);
  if (room == room_) return;
  room_ = room;
  setFixedSize(room_);
}

bool FigureLabel::event(QEvent* event) {
  const bool handled = QLabel::event(event);
  switch (event->type()) {
    case QEvent::Polish:
      if (!polished_) {
        polished_ = true;
        floor_ = minimumSize();
        if (QWidget* parent = parentWidget()) {
          parent->installEventFilter(this);
          if (QLayout* layout = LayoutHolding(parent->layout(), this)) {
            in_layout_ = true;
            layout->setAlignment(this, (alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter);
          }
        }
        Reserve();
      }
      break;
    case QEvent::FontChange:
    case QEvent::StyleChange:
      // Another font measures every shape again.
      widest_ = QChar();
      room_ = QSize();
      rooms_.clear();
      Reserve();
      background_ = QPixmap();
      break;
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::PaletteChange:
    case QEvent::ParentChange:
      background_ = QPixmap();
      break;
    default:
      break;
  }
  return handled;
}

bool FigureLabel::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parentWidget()) {
    switch (event->type()) {
      case QEvent::Resize:
      case QEvent::PaletteChange:
      case QEvent::StyleChange:
      case QEvent::EnabledChange:
        background_ = QPixmap();
        break;
      default:
        break;
    }
  }
  return QLabel::eventFilter(watched, event);
}

void FigureLabel::paintEvent(QPaintEvent* event) {
  const qreal ratio = devicePixelRatioF();
  QWidget* parent = parentWidget();
  if (parent != nullptr && (background_.isNull() || background_.devicePixelRatio() != ratio)) {
    // What the parent draws here, its own background included (not its other children).
    background_ = QPixmap(size() * ratio);
    background_.setDevicePixelRatio(ratio);
    background_.fill(parent->palette().color(parent->backgroundRole()));
    parent->render(&background_, QPoint(), QRegion(geometry()), QWidget::DrawWindowBackground);
  }
  {
    QPainter painter(this);
    if (background_.isNull()) {
      painter.fillRect(rect(), palette().color(backgroundRole()));
    } else {
      painter.drawPixmap(0, 0, background_);
    }
  }
  // QLabel lays a new text out while it paints it, and that layout asks for the label to be painted
  // again: a second paint of the same text, queued from within the first. Updates are off meanwhile.
  setAttribute(Qt::WA_UpdatesDisabled, true);
  QLabel::paintEvent(event);
  setAttribute(Qt::WA_UpdatesDisabled, false);
}

}  // namespace pelkan::ui
