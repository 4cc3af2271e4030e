#include "ui/report_opener.h"

#include <QDesktopServices>
#include <QUrl>

namespace pelkan::ui {
namespace {

std::function<void(const std::string&)>& Opener() {
  static std::function<void(const std::string&)> opener;
  return opener;
}

}  // namespace

void OpenReport(const std::string& path) {
  if (path.empty()) return;
  if (Opener()) {
    Opener()(path);
    return;
  }
  QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

void SetReportOpener(std::function<void(const std::string&)> opener) {
  Opener() = std::move(opener);
}

}  // namespace pelkan::ui
