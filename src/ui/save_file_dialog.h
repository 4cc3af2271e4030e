#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>

#include "core/save_path_provider.h"

namespace pelkan::ui {

// The save-file dialog of a manual recording without automatic naming: one filter
// "TS Stream (*.ts)", default suffix "ts", a confirmation before an existing file is overwritten,
// application-modal over `parent`. Qt's own dialog (not the platform's), so that it behaves the
// same under every desktop and without one. It opens in the folder `folder` gives (UTF-8: the
// recording folder) when that exists. The process's current directory is left as it is.
class SaveFileDialog final : public SavePathProvider {
 public:
  explicit SaveFileDialog(QWidget* parent = nullptr, std::function<std::string()> folder = nullptr)
      : parent_(parent), folder_(std::move(folder)) {}
  bool AskSavePath(std::string* path) override;

 private:
  QPointer<QWidget> parent_;
  std::function<std::string()> folder_;
};

}  // namespace pelkan::ui
