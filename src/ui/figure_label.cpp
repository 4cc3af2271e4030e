#include "ui/figure_label.h"

#include <QEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLayout>
#include <QAbstractTextDocumentLayout>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QTextDocument>
#include <algorithm>

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
    auto* group = qobject_cast<QGroupBox*>(parent);
    if (group != nullptr && !group->isCheckable()) {
      // A group box's frame alone: its title (drawn apart from the labels) would cost its glyphs
      // drawn again into another image, a megabyte and a half of the CJK font's pages.
      QStyleOptionGroupBox option;
      option.initFrom(group);
      option.text = group->title();
      option.lineWidth = 1;
      option.midLineWidth = 0;
      option.textAlignment = group->alignment();
      option.subControls = QStyle::SC_GroupBoxFrame;
      if (group->isFlat()) option.features |= QStyleOptionFrame::Flat;
      QPainter frame(&background_);
      frame.translate(-pos());
      group->style()->drawComplexControl(QStyle::CC_GroupBox, &option, &frame, group);
    } else {
      parent->render(&background_, QPoint(), QRegion(geometry()), QWidget::DrawWindowBackground);
    }
  }
  QPainter painter(this);
  if (background_.isNull()) {
    painter.fillRect(rect(), palette().color(backgroundRole()));
  } else {
    painter.drawPixmap(0, 0, background_);
  }
  const bool plain = textFormat() == Qt::PlainText || (textFormat() == Qt::AutoText && !Qt::mightBeRichText(text()));
  if (plain && !hasSelectedText() && pixmap().isNull()) {
    drawFrame(&painter);
    DrawText(painter);
    return;
  }
  painter.end();
  // QLabel lays a new text out while it paints it, and that layout asks for the label to be painted
  // again: a second paint of the same text, queued from within the first. Updates are off meanwhile.
  setAttribute(Qt::WA_UpdatesDisabled, true);
  QLabel::paintEvent(event);
  setAttribute(Qt::WA_UpdatesDisabled, false);
}

QRect FigureLabel::DocumentRect() const {
  QRect r = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
  int m = indent();
  if (m < 0 && frameWidth() > 0) m = fontMetrics().horizontalAdvance(u'x') / 2 - margin();
  if (m > 0) {
    const Qt::Alignment a = alignment();
    if (a & Qt::AlignLeft) r.setLeft(r.left() + m);
    if (a & Qt::AlignRight) r.setRight(r.right() - m);
    if (a & Qt::AlignTop) r.setTop(r.top() + m);
    if (a & Qt::AlignBottom) r.setBottom(r.bottom() - m);
  }
  return r;
}

void FigureLabel::DrawText(QPainter& painter) {
  // QLabel's own text control lays its document out three times for each new text (the text, the
  // frame's margin, the width) and has it painted twice; this one is set up once and laid out once.
  const QRect document_rect = DocumentRect();
  if (!document_ || document_font_ != font() || document_alignment_ != alignment() ||
      document_width_ != document_rect.width()) {
    document_ = std::make_unique<QTextDocument>();
    document_->setUndoRedoEnabled(false);
    document_->setDocumentMargin(0);
    document_->setDefaultFont(font());
    QTextOption option = document_->defaultTextOption();
    option.setAlignment(alignment());
    option.setWrapMode(QTextOption::ManualWrap);
    document_->setDefaultTextOption(option);
    document_->setTextWidth(document_rect.width());
    document_font_ = font();
    document_alignment_ = alignment();
    document_width_ = document_rect.width();
    document_text_.reset();
  }
  if (document_text_ != text()) {
    document_->setPlainText(text());
    document_text_ = text();
  }
  // Placed as QLabel places its document: centred, or at the top or bottom, within its rectangle.
  const qreal height = document_->documentLayout()->documentSize().height();
  qreal top = 0;
  if (alignment() & Qt::AlignVCenter) {
    top = std::max((document_rect.height() - height) / 2, qreal(0));
  } else if (alignment() & Qt::AlignBottom) {
    top = std::max(document_rect.height() - height, qreal(0));
  }
  const QRect area = QRectF(document_rect.x(), top + document_rect.y(), document_rect.width(), document_rect.height())
                         .toAlignedRect();
  QAbstractTextDocumentLayout::PaintContext context;
  QStyleOption option;
  option.initFrom(this);
  context.palette = option.palette;
  if (foregroundRole() != QPalette::Text && isEnabled())
    context.palette.setColor(QPalette::Text, context.palette.color(foregroundRole()));
  painter.translate(area.topLeft());
  painter.setClipRect(area.translated(-area.topLeft()));
  document_->documentLayout()->draw(&painter, context);
}

}  // namespace pelkan::ui
