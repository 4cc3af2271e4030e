#include "tests/ui/ui_test_support.h"

#include <stdlib.h>

#include <QAbstractButton>
#include <QDeadlineTimer>
#include <QLabel>

#include "core/dtv_ezusb_fx2.h"
#include "platform/text_codec.h"

namespace pelkan::ui::testing {

DesktopFixture::DesktopFixture() {
  char pattern[] = "/tmp/pelkan-ui-XXXXXX";
  dir = ::mkdtemp(pattern);
  options.current_dir = dir.string();
  options.messages = &messages;
  options.save_path = &save_path;
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
