#include "tests/ui/ui_test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAbstractButton>
#include <QDeadlineTimer>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>

#include "core/dtv_ezusb_fx2.h"
#include "platform/text_codec.h"
#include "ui/main_window.h"
#include "ui/tool_window.h"

namespace pelkan::ui::testing {

DesktopFixture::DesktopFixture() {
  char pattern[] = "/tmp/pelkan-ui-XXXXXX";
  dir = ::mkdtemp(pattern);
  options.current_dir = dir.string();
  options.messages = &messages;
  options.save_path = &save_path;
  // No recorder service: the user's own systemd manager is never asked.
  options.recorder_bus = "unix:path=/nonexistent/pelkan-test/user_bus";
  options.make_device = [](const Settings&) {
    usb::DriverConfig config;
    config.use_libusb = false;  // the virtual tuner only, whatever is plugged in
    return std::make_unique<core::CDTV_EzUSBFX2>(config);
  };
}

DesktopFixture::~DesktopFixture() {
  program_.reset();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

DesktopProgram& DesktopFixture::Start() {
  program_ = std::make_unique<DesktopProgram>(options);
  program_->window().show();
  (void)QTest::qWaitForWindowExposed(&program_->window());
  // The tool windows are made once the window has been drawn, as at a user's start.
  (void)WaitFor([this] { return program_->window().findChild<ToolWindow*>() != nullptr; });
  return *program_;
}

bool DesktopFixture::Close() {
  return program_->window().close();
}

std::string DesktopFixture::Text(const char* name) {
  QWidget* w = program_->window().findChild<QWidget*>(QString::fromLatin1(name));
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text().toStdString();
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text().toStdString();
  return "<no " + std::string(name) + ">";
}

std::string DesktopFixture::Messages() const {
  std::string out;
  for (const auto& m : messages.shown) {
    if (!out.empty()) out += "\n";
    out += platform::SjisToUtf8(m.caption) + "|" + platform::SjisToUtf8(m.text);
  }
  return out;
}

QAbstractButton* AnswerButton(QWidget* d, bool yes) {
  if (auto* box = qobject_cast<QMessageBox*>(d)) {
    QAbstractButton* b = box->button(yes ? QMessageBox::Yes : QMessageBox::No);
    return b != nullptr ? b : box->button(QMessageBox::Ok);
  }
  if (qobject_cast<QFileDialog*>(d) != nullptr) {
    auto* buttons = d->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    if (buttons == nullptr) return nullptr;
    for (QAbstractButton* b : buttons->buttons()) {
      if (buttons->buttonRole(b) == (yes ? QDialogButtonBox::AcceptRole : QDialogButtonBox::RejectRole)) return b;
    }
    return nullptr;
  }
  for (const char* name : {yes ? "okButton" : "cancelButton", "closeButton"}) {
    if (auto* b = d->findChild<QAbstractButton*>(QString::fromLatin1(name))) return b;
  }
  return nullptr;
}

void Answer(QWidget* d, Press press) {
  if (press == Press::kOk || press == Press::kCancel) {
    QAbstractButton* b = AnswerButton(d, press == Press::kOk);
    ASSERT_NE(b, nullptr) << d->metaObject()->className();
    ASSERT_TRUE(b->isVisible() && b->isEnabled()) << b->text().toStdString();
    QTest::mouseClick(b, Qt::LeftButton);
    return;
  }
  // The key goes where the user's keyboard is: the focused control of the dialog.
  QWidget* target = QApplication::focusWidget();
  if (target == nullptr || target->window() != d) target = d;
  QTest::keyClick(target, press == Press::kEnter ? Qt::Key_Return : Qt::Key_Escape);
}

DialogAnswers::DialogAnswers(std::vector<Step> steps) : steps_(std::move(steps)) {
  QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
  timer_.start(10);
}

void DialogAnswers::Poll() {
  QWidget* d = QApplication::activeModalWidget();
  if (d == nullptr || d == last_ || !d->isVisible() || next_ >= steps_.size()) return;
  last_ = d;
  seen.push_back(d->metaObject()->className());
  if (auto* box = qobject_cast<QMessageBox*>(d)) box_texts.push_back(box->windowTitle() + QStringLiteral(": ") + box->text());
  Step step = steps_[next_++];
  QPointer<QWidget> dialog(d);
  // From an event of its own: a box that the answer opens is answered by the next poll meanwhile.
  QTimer::singleShot(0, [this, dialog, step] {
    if (!dialog) return;
    if (step.fill) step.fill(dialog);
    Answer(dialog, step.press);
    // A dialog still open after its answer (a refusal) is met again once it is back on top.
    if (dialog && dialog->isVisible() && QApplication::activeModalWidget() == dialog) last_ = nullptr;
  });
}

bool WaitFor(const std::function<bool()>& done, int ms) {
  QDeadlineTimer deadline(ms);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QTest::qSleep(5);
  }
  return true;
}

}  // namespace pelkan::ui::testing
