#include "ui/guide_grid.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <QTextLayout>
#include <QToolTip>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <map>

#include "guide/guide_texts.h"
#include "ui/qt_text.h"

namespace pelkan::ui {
namespace {

constexpr GuideTime kHour = 3600;
// A gap between the boxes of neighbouring services.
constexpr int kBoxGap = 1;

// Draws `text` wrapped into `rect`; when it does not fit, the last line that does ends in "…".
void DrawWrapped(QPainter& p, const QRect& rect, const QString& text, const QFont& font) {
  const QFontMetrics fm(font);
  QTextLayout layout(text, font);
  layout.beginLayout();
  std::vector<std::pair<int, int>> lines;  // start, length
  int height = 0;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(rect.width());
    if (height + fm.height() > rect.height() && !lines.empty()) break;
    lines.emplace_back(line.textStart(), line.textLength());
    height += fm.height();
  }
  layout.endLayout();
  for (size_t i = 0; i < lines.size(); ++i) {
    QString piece = text.mid(lines[i].first, lines[i].second);
    if (i + 1 == lines.size() && lines[i].first + lines[i].second < text.size())
      piece = fm.elidedText(text.mid(lines[i].first), Qt::ElideRight, rect.width());
    p.drawText(QRect(rect.left(), rect.top() + static_cast<int>(i) * fm.height(), rect.width(), fm.height()),
               Qt::AlignLeft | Qt::AlignTop, piece);
  }
}

uint64_t KeyOf(const GuideEventKey& k) {
  return uint64_t{k.original_network_id} << 48 | uint64_t{k.transport_stream_id} << 32 |
         uint64_t{k.service_id} << 16 | k.event_id;
}

// A programme of the grid as screen readers see it: its text, its box, and the actions that
// select it and open its reservation menu.
class GuideCellAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
 public:
  GuideCellAccessible(GuideGrid* grid, const GuideEventKey& key) : grid_(grid), key_(key) {}

  bool isValid() const override { return Cell().has_value(); }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return grid_ ? grid_->window()->windowHandle() : nullptr; }
  QList<QPair<QAccessibleInterface*, QAccessible::Relation>> relations(QAccessible::Relation) const override {
    return {};
  }
  QAccessibleInterface* focusChild() const override { return nullptr; }
  QAccessibleInterface* parent() const override {
    return QAccessible::queryAccessibleInterface(grid_.data());
  }
  QAccessibleInterface* child(int) const override { return nullptr; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QString text(QAccessible::Text t) const override {
    const auto cell = Cell();
    if (!cell || (t != QAccessible::Name && t != QAccessible::Description)) return {};
    const GuideGridModel& m = *grid_->model();
    const GuideEvent& e = m.event(*cell);
    if (t == QAccessible::Description) return FromBroadcastSjis(e.description);
    return FromBroadcastSjis(
        guide_text::AccessibleText(e, m.columns()[cell->column].service.name, grid_->IsReserved(e)));
  }
  void setText(QAccessible::Text, const QString&) override {}
  QRect rect() const override {
    const auto cell = Cell();
    if (!cell) return {};
    const QRect box = grid_->BoxRect(*cell);
    return QRect(grid_->viewport()->mapToGlobal(box.topLeft()), box.size());
  }
  QAccessible::Role role() const override { return QAccessible::ListItem; }
  QAccessible::State state() const override {
    QAccessible::State s;
    s.focusable = true;
    s.selectable = true;
    const auto cell = Cell();
    if (cell && grid_->current() == cell) {
      s.selected = true;
      s.focused = grid_->hasFocus();
    }
    return s;
  }
  void* interface_cast(QAccessible::InterfaceType type) override {
    return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this) : nullptr;
  }
  QStringList actionNames() const override { return {pressAction(), showMenuAction()}; }
  void doAction(const QString& name) override {
    const auto cell = Cell();
    if (!cell) return;
    grid_->SetCurrent(cell, true);
    if (name == showMenuAction()) {
      const QRect box = grid_->BoxRect(*cell);
      Q_EMIT grid_->menuRequested(grid_->viewport()->mapToGlobal(box.topLeft() + QPoint(8, 8)));
    }
  }
  QStringList keyBindingsForAction(const QString&) const override { return {}; }

 private:
  std::optional<GuideGrid::Cell> Cell() const {
    if (!grid_ || grid_->model() == nullptr) return std::nullopt;
    return grid_->model()->Find(key_);
  }

  QPointer<GuideGrid> grid_;
  GuideEventKey key_;
};

// The grid for screen readers: a list whose items are the programmes in view.
class GuideGridAccessible : public QAccessibleWidget {
 public:
  explicit GuideGridAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::List) {}

  int childCount() const override { return static_cast<int>(Grid()->VisibleCells().size()); }
  QAccessibleInterface* child(int index) const override {
    const std::vector<GuideGrid::Cell> cells = Grid()->VisibleCells();
    if (index < 0 || static_cast<size_t>(index) >= cells.size()) return nullptr;
    return CellInterface(cells[static_cast<size_t>(index)]);
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    const std::vector<GuideGrid::Cell> cells = Grid()->VisibleCells();
    for (size_t i = 0; i < cells.size(); ++i) {
      if (CellInterface(cells[i]) == child) return static_cast<int>(i);
    }
    return -1;
  }
  QAccessibleInterface* focusChild() const override {
    const auto current = Grid()->current();
    return current ? CellInterface(*current) : nullptr;
  }
  QAccessibleInterface* childAt(int x, int y) const override {
    const auto cell = Grid()->CellAt(Grid()->viewport()->mapFromGlobal(QPoint(x, y)));
    return cell ? CellInterface(*cell) : nullptr;
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) {
      QAccessibleInterface* current = focusChild();
      return current ? current->text(QAccessible::Name) : QString();
    }
    return QAccessibleWidget::text(t);
  }

  // The interface of a programme, made once per programme and kept by Qt's cache.
  static QAccessibleInterface* CellInterface(GuideGrid* grid, const GuideGrid::Cell& cell);

 private:
  GuideGrid* Grid() const { return static_cast<GuideGrid*>(widget()); }
  QAccessibleInterface* CellInterface(const GuideGrid::Cell& cell) const {
    return CellInterface(Grid(), cell);
  }
};

// Registered programme interfaces per grid, by the programme's ids.
std::map<const GuideGrid*, std::map<uint64_t, QAccessible::Id>>& CellIds() {
  static std::map<const GuideGrid*, std::map<uint64_t, QAccessible::Id>> ids;
  return ids;
}

void ForgetCellInterfaces(const GuideGrid* grid) {
  auto it = CellIds().find(grid);
  if (it == CellIds().end()) return;
  for (const auto& [key, id] : it->second) QAccessible::deleteAccessibleInterface(id);
  CellIds().erase(it);
}

QAccessibleInterface* GuideGridAccessible::CellInterface(GuideGrid* grid, const GuideGrid::Cell& cell) {
  const GuideEventKey key = grid->model()->event(cell).key;
  std::map<uint64_t, QAccessible::Id>& ids = CellIds()[grid];
  auto it = ids.find(KeyOf(key));
  if (it != ids.end()) {
    if (QAccessibleInterface* iface = QAccessible::accessibleInterface(it->second)) return iface;
  }
  auto* iface = new GuideCellAccessible(grid, key);
  ids[KeyOf(key)] = QAccessible::registerAccessibleInterface(iface);
  return iface;
}

QAccessibleInterface* GridAccessibleFactory(const QString& class_name, QObject* object) {
  if (class_name == QLatin1String("pelkan::ui::GuideGrid") && object && object->isWidgetType())
    return new GuideGridAccessible(static_cast<QWidget*>(object));
  return nullptr;
}

}  // namespace

GuideGrid::GuideGrid(QWidget* parent) : QAbstractScrollArea(parent) {
  static const bool installed = (QAccessible::installFactory(&GridAccessibleFactory), true);
  (void)installed;
  setFocusPolicy(Qt::StrongFocus);
  setMouseTracking(true);
  viewport()->setMouseTracking(true);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  UpdateMetrics();
}

GuideGrid::~GuideGrid() {
  ForgetCellInterfaces(this);
}

QColor GuideGrid::GenreColour(int group) {
  static const QColor kColours[guide_text::kGenreGroups] = {
      QColor(0xD7, 0xE8, 0xFA),  // news
      QColor(0xD5, 0xF2, 0xD0),  // sports
      QColor(0xFF, 0xF2, 0xC2),  // information
      QColor(0xFA, 0xDA, 0xDD),  // drama
      QColor(0xE8, 0xD9, 0xF5),  // music
      QColor(0xFF, 0xE0, 0xC2),  // variety
      QColor(0xF3, 0xD6, 0xC6),  // cinema
      QColor(0xFC, 0xE4, 0xF2),  // animation
      QColor(0xD6, 0xF0, 0xEE),  // documentary
      QColor(0xED, 0xE3, 0xD1),  // theatre
      QColor(0xE3, 0xF0, 0xC8),  // hobby and education
      QColor(0xE0, 0xE0, 0xF5),  // welfare
      QColor(0xEE, 0xEE, 0xEE),  // the rest
  };
  return kColours[std::clamp(group, 0, guide_text::kGenreGroups - 1)];
}

void GuideGrid::UpdateMetrics() {
  const QFontMetrics fm(font());
  const int line = fm.height();
  // Eight lines an hour: a programme of ten minutes still has room for one line.
  hour_px_ = line * 8.0;
  min_column_w_ = std::max(fm.horizontalAdvance(QChar(0x3042)) * 10, 140);
  column_w_ = min_column_w_;
  header_h_ = line * 2 + 8;
  axis_w_ = fm.horizontalAdvance(QStringLiteral("00")) + 14;
  UpdateScrollBars();
}

void GuideGrid::UpdateScrollBars() {
  const int content_h = static_cast<int>(std::lround(hour_px_ * 24 * GuideGridModel::kDays));
  const int columns = model_ ? static_cast<int>(model_->columns().size()) : 0;
  const int view_h = std::max(0, viewport()->height() - header_h_);
  const int view_w = std::max(0, viewport()->width() - axis_w_);
  // A few services fill the view instead of leaving a blank band to the right of their columns.
  column_w_ = std::max(min_column_w_, columns > 0 ? view_w / columns : 0);
  verticalScrollBar()->setRange(0, std::max(0, content_h - view_h));
  verticalScrollBar()->setPageStep(view_h);
  verticalScrollBar()->setSingleStep(QFontMetrics(font()).height());
  horizontalScrollBar()->setRange(0, std::max(0, columns * column_w_ - view_w));
  horizontalScrollBar()->setPageStep(view_w);
  horizontalScrollBar()->setSingleStep(column_w_ / 4);
}

int GuideGrid::Y(GuideTime t) const {
  return static_cast<int>(std::lround(static_cast<double>(t - origin_) * hour_px_ / kHour));
}

GuideTime GuideGrid::TopTime() const {
  return origin_ + static_cast<GuideTime>(std::floor(verticalScrollBar()->value() * kHour / hour_px_));
}

void GuideGrid::SetModel(const GuideGridModel* model, GuideTime origin) {
  // What the user looks at: the time at the top, the service at the left, the current programme.
  const GuideTime top = TopTime();
  std::optional<GuideService> left;
  std::optional<GuideEventKey> current;
  if (model_ != nullptr && !model_->empty()) {
    const size_t c = std::min(static_cast<size_t>(horizontalScrollBar()->value() / column_w_),
                              model_->columns().size() - 1);
    left = model_->columns()[c].service;
    if (current_) current = model_->event(*current_).key;
  }
  const bool first = model_ == nullptr;
  ForgetCellInterfaces(this);
  model_ = model;
  origin_ = origin;
  current_.reset();
  UpdateScrollBars();
  if (model_ != nullptr && current) current_ = model_->Find(*current);
  if (!first) {
    ScrollToTime(top);
    if (left && model_ != nullptr) {
      for (size_t c = 0; c < model_->columns().size(); ++c) {
        const GuideService& s = model_->columns()[c].service;
        if (s.service_id == left->service_id && s.transport_stream_id == left->transport_stream_id &&
            s.original_network_id == left->original_network_id)
          horizontalScrollBar()->setValue(static_cast<int>(c) * column_w_);
      }
    }
  }
  viewport()->update();
  if (current.has_value() != current_.has_value()) Q_EMIT currentChanged();
}

void GuideGrid::SetNow(GuideTime now) {
  if (now == now_) return;
  const GuideTime was = std::exchange(now_, now);
  // The line moves a pixel every twenty-odd seconds: only then is it drawn again, where it was and is.
  if (was < 0 || model_ == nullptr || model_->empty()) return viewport()->update();
  if (Y(now) != Y(was)) viewport()->update(QRegion(NowStrip(was)) + NowStrip(now));
}

QColor GuideGrid::ReservedColour(ReservedMark mark) {
  switch (mark) {
    case ReservedMark::kPart:
      return QColor(0xD8, 0x84, 0x00);  // amber
    case ReservedMark::kNotRecorded:
      return QColor(0x60, 0x60, 0x60);  // grey
    case ReservedMark::kWhole:
    case ReservedMark::kNone:
      break;
  }
  return QColor(0xD0, 0x10, 0x10);  // red
}

bool GuideGrid::SetReserved(const ReservedProgrammes& reserved) {
  if (reserved == reserved_) return false;
  reserved_ = reserved;
  viewport()->update();
  return true;
}

void GuideGrid::SetHeaderToolTip(std::function<QString(const GuideService&)> text) {
  header_tip_ = std::move(text);
}

void GuideGrid::SetBoxToolTip(std::function<QString(const Cell&)> text) {
  box_tip_ = std::move(text);
}

void GuideGrid::ScrollToTime(GuideTime t) {
  verticalScrollBar()->setValue(Y(t));
}

QRect GuideGrid::BoxRect(const Cell& cell) const {
  const GuideEvent& e = model_->event(cell);
  const int x = axis_w_ + static_cast<int>(cell.column) * column_w_ - horizontalScrollBar()->value();
  const int top = header_h_ + Y(e.start) - verticalScrollBar()->value();
  const int bottom = header_h_ + Y(model_->ShownEnd(cell)) - verticalScrollBar()->value();
  return QRect(x, top, column_w_ - kBoxGap, std::max(1, bottom - top));
}

std::vector<GuideGrid::Cell> GuideGrid::VisibleCells() const {
  std::vector<Cell> cells;
  if (model_ == nullptr) return cells;
  const GuideTime from = TopTime();
  const GuideTime to =
      from + static_cast<GuideTime>(std::ceil((viewport()->height() - header_h_) * kHour / hour_px_)) + 1;
  const int left = horizontalScrollBar()->value();
  for (size_t c = 0; c < model_->columns().size(); ++c) {
    const int x = static_cast<int>(c) * column_w_;
    if (x + column_w_ <= left || x >= left + viewport()->width() - axis_w_) continue;
    const auto [first, last] = model_->Overlapping(c, from, to);
    for (size_t i = first; i < last; ++i) cells.push_back({c, i});
  }
  return cells;
}

std::optional<GuideGrid::Cell> GuideGrid::CellAt(const QPoint& pos) const {
  if (model_ == nullptr || pos.x() < axis_w_ || pos.y() < header_h_) return std::nullopt;
  const int x = pos.x() - axis_w_ + horizontalScrollBar()->value();
  const size_t column = static_cast<size_t>(x / column_w_);
  const GuideTime t = origin_ + static_cast<GuideTime>(std::floor(
                                    (pos.y() - header_h_ + verticalScrollBar()->value()) * kHour / hour_px_));
  return model_->At(column, t);
}

void GuideGrid::SetCurrent(std::optional<Cell> cell, bool reveal) {
  if (cell && (model_ == nullptr || cell->column >= model_->columns().size() ||
               cell->index >= model_->columns()[cell->column].events.size()))
    cell.reset();
  const bool changed = cell != current_;
  current_ = cell;
  if (cell && reveal) {
    const QRect box = BoxRect(*cell);
    const int view_h = viewport()->height() - header_h_;
    if (box.top() < header_h_ || box.bottom() > viewport()->height()) {
      const int margin = QFontMetrics(font()).height();
      const int want =
          box.height() + margin <= view_h ? box.top() - header_h_ - margin : box.top() - header_h_;
      verticalScrollBar()->setValue(verticalScrollBar()->value() + want);
    }
    const int view_w = viewport()->width() - axis_w_;
    if (box.left() < axis_w_ || box.right() > axis_w_ + view_w) {
      const int x = static_cast<int>(cell->column) * column_w_;
      horizontalScrollBar()->setValue(box.left() < axis_w_ ? x : x + column_w_ - view_w);
    }
  }
  viewport()->update();
  if (changed) {
    Q_EMIT currentChanged();
    NotifyAccessibility();
  }
}

void GuideGrid::NotifyAccessibility() {
  if (!QAccessible::isActive() || !current_) return;
  QAccessibleInterface* iface = GuideGridAccessible::CellInterface(this, *current_);
  QAccessibleEvent focus(iface, QAccessible::Focus);
  QAccessible::updateAccessibility(&focus);
}

void GuideGrid::RequestMenu() {
  if (!current_) return;
  const QRect box = BoxRect(*current_).intersected(viewport()->rect());
  const QPoint at = box.isEmpty() ? viewport()->rect().center() : box.topLeft() + QPoint(8, 8);
  Q_EMIT menuRequested(viewport()->mapToGlobal(at));
}

void GuideGrid::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollBars();
}

void GuideGrid::scrollContentsBy(int, int) {
  viewport()->update();
  Q_EMIT viewMoved();
}

void GuideGrid::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) UpdateMetrics();
}

void GuideGrid::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  SelectFirst();
}

void GuideGrid::SelectFirst() {
  if (current_ || model_ == nullptr || model_->empty()) return;
  const size_t column =
      std::min(static_cast<size_t>(horizontalScrollBar()->value() / column_w_), model_->columns().size() - 1);
  auto cell = model_->At(column, std::max(TopTime(), now_));
  if (!cell) {
    const auto [first, last] = model_->Overlapping(column, TopTime(), TopTime() + 86400);
    if (first < last) cell = Cell{column, first};
  }
  if (!cell) cell = Cell{column, 0};
  SetCurrent(cell, false);
}

void GuideGrid::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton || event->button() == Qt::RightButton) {
    if (const auto cell = CellAt(event->position().toPoint())) SetCurrent(cell, false);
  }
  QAbstractScrollArea::mousePressEvent(event);
}

void GuideGrid::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    if (const auto cell = CellAt(event->position().toPoint())) {
      SetCurrent(cell, false);
      Q_EMIT menuRequested(event->globalPosition().toPoint());
      return;
    }
  }
  QAbstractScrollArea::mouseDoubleClickEvent(event);
}

void GuideGrid::contextMenuEvent(QContextMenuEvent* event) {
  if (event->reason() == QContextMenuEvent::Mouse) {
    const auto cell = CellAt(viewport()->mapFrom(this, event->pos()));
    if (!cell) return;
    SetCurrent(cell, false);
    Q_EMIT menuRequested(event->globalPos());
    return;
  }
  RequestMenu();
}

void GuideGrid::keyPressEvent(QKeyEvent* event) {
  if (model_ == nullptr || model_->empty()) {
    QAbstractScrollArea::keyPressEvent(event);
    return;
  }
  using Move = GuideGridModel::Move;
  std::optional<Move> move;
  switch (event->key()) {
    case Qt::Key_Up:
      move = Move::kUp;
      break;
    case Qt::Key_Down:
      move = Move::kDown;
      break;
    case Qt::Key_Left:
      move = Move::kLeft;
      break;
    case Qt::Key_Right:
      move = Move::kRight;
      break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      RequestMenu();
      return;
    case Qt::Key_Home:
      if (now_ >= 0) {
        ScrollToTime(now_ - kHour / 2);
        const size_t column = current_ ? current_->column : 0;
        if (const auto on_air = model_->At(column, now_)) SetCurrent(on_air, true);
      }
      return;
    default:
      QAbstractScrollArea::keyPressEvent(event);
      return;
  }
  if (!current_) {
    SelectFirst();
    if (current_) SetCurrent(current_, true);
    return;
  }
  // Left and right keep to the time in view: the middle of the current box's visible part.
  const GuideEvent& e = model_->event(*current_);
  const GuideTime top = TopTime();
  const GuideTime bottom =
      top + static_cast<GuideTime>((viewport()->height() - header_h_) * kHour / hour_px_);
  const GuideTime from = std::clamp(e.start, top, bottom);
  const GuideTime to = std::clamp(model_->ShownEnd(*current_), top, bottom);
  if (const auto next = model_->Neighbour(*current_, *move, (from + to) / 2)) SetCurrent(next, true);
}

bool GuideGrid::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::ToolTip && model_ != nullptr) {
    auto* help = static_cast<QHelpEvent*>(event);
    const QPoint pos = help->pos();
    if (pos.y() < header_h_ && pos.x() >= axis_w_ && header_tip_) {
      const size_t column =
          static_cast<size_t>((pos.x() - axis_w_ + horizontalScrollBar()->value()) / column_w_);
      if (column < model_->columns().size()) {
        QToolTip::showText(help->globalPos(), header_tip_(model_->columns()[column].service), viewport());
        return true;
      }
    }
    if (const auto cell = CellAt(pos); cell && box_tip_) {
      QToolTip::showText(help->globalPos(), box_tip_(*cell), viewport(), BoxRect(*cell));
      return true;
    }
    QToolTip::hideText();
    return true;
  }
  return QAbstractScrollArea::viewportEvent(event);
}

void GuideGrid::paintEvent(QPaintEvent* event) {
  QPainter p(viewport());
  const QRect all = viewport()->rect();
  p.fillRect(all, palette().base());
  const QFontMetrics fm(font());
  const int line = fm.height();
  if (model_ == nullptr || model_->empty()) {
    p.setPen(palette().color(QPalette::Text));
    p.drawText(all.adjusted(line, line, -line, -line), Qt::AlignCenter | Qt::TextWordWrap, empty_text_);
    return;
  }
  const int vscroll = verticalScrollBar()->value();
  const int hscroll = horizontalScrollBar()->value();
  const QRect content(axis_w_, header_h_, all.width() - axis_w_, all.height() - header_h_);
  const GuideTime top = TopTime();
  const GuideTime bottom = top + static_cast<GuideTime>(std::ceil(content.height() * kHour / hour_px_)) + 1;
  const int columns = static_cast<int>(model_->columns().size());
  const int right = std::min(content.right(), axis_w_ + columns * column_w_ - hscroll);

  // Hour lines, darker at midnight.
  p.setClipRect(content);
  for (GuideTime h = top / kHour * kHour; h <= bottom; h += kHour) {
    const int y = header_h_ + Y(h) - vscroll;
    p.setPen(h % 86400 == 0 ? QColor(0x80, 0x80, 0x80) : QColor(0xE0, 0xE0, 0xE0));
    p.drawLine(content.left(), y, right, y);
  }

  // The current time runs under the programmes' texts: across the gaps here, across each box
  // before its text is drawn over it, and as a mark on the time axis.
  const QColor now_colour(0xE0, 0x20, 0x20);
  const bool now_shown = now_ >= top && now_ <= bottom;
  const int now_y = header_h_ + Y(now_) - vscroll;
  const auto draw_now = [&](int from_x, int to_x) {
    p.setPen(QPen(now_colour, 2));
    p.drawLine(from_x, now_y, to_x, now_y);
  };
  if (now_shown) draw_now(content.left(), right);

  QFont bold = font();
  bold.setBold(true);
  const QColor highlight = palette().color(QPalette::Highlight);
  for (const Cell& cell : VisibleCells()) {
    const GuideEvent& e = model_->event(cell);
    const QRect box = BoxRect(cell);
    if (!event->region().intersects(box)) continue;  // not drawn again: its text is the cost
    p.fillRect(box, GenreColour(guide_text::GenreGroup(e.genre)));
    if (now_shown && now_y >= box.top() && now_y <= box.bottom()) draw_now(box.left(), box.right());
    p.setPen(QColor(0xA0, 0xA0, 0xA0));
    p.drawRect(box.adjusted(0, 0, -1, -1));
    const ReservedMark mark = reserved_.MarkOf(e);
    const bool is_reserved = mark != ReservedMark::kNone;
    const QColor reserved = ReservedColour(mark);
    // A rule's reservation has a second, thin frame inside the first and the badge "自".
    const bool by_rule = is_reserved && reserved_.ByRule(e);
    if (is_reserved) {
      p.setPen(QPen(reserved, 2, mark == ReservedMark::kNotRecorded ? Qt::DashLine : Qt::SolidLine));
      p.drawRect(box.adjusted(1, 1, -2, -2));
      if (by_rule) {
        p.setPen(QPen(reserved, 1, Qt::SolidLine));
        p.drawRect(box.adjusted(4, 4, -5, -5));
      }
    }
    if (current_ == cell) {
      p.setPen(QPen(highlight, 3));
      p.drawRect(box.adjusted(2, 2, -3, -3));
    }
    p.save();
    p.setClipRect(box.adjusted(3, 0, -3, 0).intersected(content));
    p.setPen(QColor(Qt::black));
    // A box of one line keeps the line whole: less room above and below it.
    const QRect text = box.height() < 2 * line + 4 ? box.adjusted(4, 1, -4, -1) : box.adjusted(4, 2, -4, -2);
    const QString time = QString::fromStdString(guide_text::ClockText(e.start));
    const QString title = FromBroadcastSjis(e.title);
    int badge_w = 0;
    if (is_reserved) {
      const QString mark = by_rule ? U8("自") : U8("予");
      badge_w = fm.horizontalAdvance(mark) + 6;
      const QRect badge(text.right() - badge_w + 1, text.top(), badge_w, line);
      p.fillRect(badge, reserved);
      p.setPen(Qt::white);
      p.drawText(badge, Qt::AlignCenter, mark);
      p.setPen(Qt::black);
    }
    p.setFont(bold);
    const int time_w = QFontMetrics(bold).horizontalAdvance(time + QLatin1Char(' '));
    p.drawText(QRect(text.left(), text.top(), time_w, line), Qt::AlignLeft | Qt::AlignTop, time);
    p.setFont(font());
    if (text.height() < 2 * line) {
      const QRect rest(text.left() + time_w, text.top(), text.width() - time_w - badge_w, line);
      p.drawText(rest, Qt::AlignLeft | Qt::AlignTop, fm.elidedText(title, Qt::ElideRight, rest.width()));
    } else {
      DrawWrapped(p, QRect(text.left(), text.top() + line, text.width(), text.height() - line), title,
                  font());
    }
    p.restore();
  }

  p.setClipping(false);

  // The service names over their columns.
  const QColor chrome = palette().color(QPalette::Window);
  p.fillRect(QRect(0, 0, all.width(), header_h_), chrome);
  p.setClipRect(QRect(axis_w_, 0, all.width() - axis_w_, header_h_));
  p.setPen(palette().color(QPalette::WindowText));
  for (int c = 0; c < columns; ++c) {
    const QRect r(axis_w_ + c * column_w_ - hscroll, 0, column_w_ - kBoxGap, header_h_);
    if (r.right() < axis_w_ || r.left() > all.width()) continue;
    p.drawRect(r.adjusted(0, 0, -1, -1));
    const QString name = FromBroadcastSjis(model_->columns()[static_cast<size_t>(c)].service.name);
    const QString shown =
        name.isEmpty() ? QString::number(model_->columns()[static_cast<size_t>(c)].service.service_id) : name;
    p.drawText(r.adjusted(4, 2, -4, -2), Qt::AlignCenter | Qt::TextWordWrap, shown);
  }
  p.setClipping(false);

  // The hours down the left.
  p.fillRect(QRect(0, header_h_, axis_w_, all.height() - header_h_), chrome);
  p.setClipRect(QRect(0, header_h_, axis_w_, all.height() - header_h_));
  for (GuideTime h = top / kHour * kHour; h <= bottom; h += kHour) {
    const int y = header_h_ + Y(h) - vscroll;
    p.setFont(h % 86400 == 0 ? bold : font());
    p.drawText(QRect(0, y + 2, axis_w_ - 4, line), Qt::AlignRight | Qt::AlignTop,
               QString::number(h % 86400 / kHour));
  }
  if (now_shown) {
    // A red wedge on the axis points at the current time.
    const int w = NowWedge();
    const QPoint wedge[3] = {QPoint(axis_w_ - 1, now_y), QPoint(axis_w_ - 1 - w, now_y - w),
                             QPoint(axis_w_ - 1 - w, now_y + w)};
    p.setPen(Qt::NoPen);
    p.setBrush(now_colour);
    p.drawPolygon(wedge, 3);
    p.setBrush(Qt::NoBrush);
  }
  p.setClipping(false);
  p.fillRect(QRect(0, 0, axis_w_, header_h_), chrome);
}

}  // namespace pelkan::ui
