// A figure label's new text costs its own repaint alone: no new layout of the window, no repaint of
// the group box it lies in; it grows (once) when a figure gains a digit; it stays a selectable label.
#include <gtest/gtest.h>

#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QTest>

#include "ui/figure_label.h"

namespace pelkan::ui {
namespace {

// Counts the events of one type that reach an object.
class EventCounter : public QObject {
 public:
  EventCounter(QObject* watched, QEvent::Type type) : type_(type) { watched->installEventFilter(this); }
  int count = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    count += event->type() == type_;
    return false;
  }

 private:
  QEvent::Type type_;
};

TEST(FigureLabel, ANewFigureRepaintsItsLabelAlone) {
  struct Case {
    const char* note;
    bool keeps_widest;
    const char* from;
    const char* to;
    bool same_size;  // and so no new layout of the window
  };
  const Case cases[] = {
      {"a count, same digits", true, "17", "94", true},
      {"a time, same digits", true, "1:07", "1:08", true},
      {"two lines, same digits", true, "256KB/10240KB\nR:0 Sy:0 St:0", "512KB/10240KB\nR:0 Sy:0 St:0", true},
      {"a digit more", true, "99", "100", false},
      {"a figure keeps its widest room", true, "100", "7", true},
      {"a message takes its own room", false, "録画バッファ中", "録画中 3 MByte", false},
      {"a message's figure, same digits", false, "録画中 3 MByte", "録画中 4 MByte", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.note);
    QWidget window;
    auto* group = new QGroupBox(QStringLiteral("group"), &window);
    auto* grid = new QGridLayout(group);
    auto* label = new FigureLabel(group);
    label->setKeepsWidest(c.keeps_widest);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->Show(QString::fromUtf8(c.from));
    grid->addWidget(new QLabel(QStringLiteral("caption"), group), 0, 0);
    grid->addWidget(label, 0, 1);
    (new QGridLayout(&window))->addWidget(group);
    window.resize(400, 120);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::qWait(50);
    const QSize before = label->size();
    const int right = label->geometry().right();
    const EventCounter group_paints(group, QEvent::Paint);
    const EventCounter label_paints(label, QEvent::Paint);
    const EventCounter layouts(&window, QEvent::LayoutRequest);

    label->Show(QString::fromUtf8(c.to));
    QTest::qWait(50);

    EXPECT_EQ(label->text(), QString::fromUtf8(c.to));
    EXPECT_EQ(label->size() == before, c.same_size) << label->width() << " " << before.width();
    if (c.same_size) {
      EXPECT_EQ(layouts.count, 0);
      EXPECT_EQ(group_paints.count, 0);
      EXPECT_EQ(label_paints.count, 1) << "painted once, not again from its own paint";
    }
    // The text stays where a label filling its cell would put it: at the cell's right edge.
    EXPECT_EQ(label->geometry().right(), right);
    EXPECT_GE(label_paints.count, 1);
    EXPECT_EQ(label->textInteractionFlags(), Qt::TextSelectableByMouse);
  }
}

// It draws its text where and as a QLabel of the same settings draws it.
TEST(FigureLabel, LooksLikeALabel) {
  struct Case {
    const char* text;
    Qt::Alignment alignment;
    bool framed;  // a status bar's sunken part
  };
  const Case cases[] = {
      {"256KB/10240KB\nR:0 Sy:0 St:0", Qt::AlignRight | Qt::AlignVCenter, false},
      {"録画中 3 MByte", Qt::AlignLeft | Qt::AlignVCenter, false},
      {"29:57 後に自動停止", Qt::AlignLeft | Qt::AlignVCenter, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    QWidget window;
    QLabel plain(&window);
    FigureLabel figure(&window);
    for (QLabel* l : {&plain, static_cast<QLabel*>(&figure)}) {
      l->setAlignment(c.alignment);
      l->setTextInteractionFlags(Qt::TextSelectableByMouse);
      if (c.framed) l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
      l->setText(QString::fromUtf8(c.text));
      l->setFixedSize(180, 44);
    }
    figure.move(0, 50);
    window.resize(200, 100);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    // (The figure's image is opaque, the label's has an alpha channel: the pixels are compared.)
    EXPECT_EQ(figure.grab().toImage().convertToFormat(QImage::Format_RGB32),
              plain.grab().toImage().convertToFormat(QImage::Format_RGB32));
  }
}

}  // namespace
}  // namespace pelkan::ui
