#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class VersionDialog;
}

namespace pelkan::ui {

// "バージョン情報": the program's icon, name and version (CMake's project version) and a short
// notice; "閉じる", Enter and Esc close it. Application-modal.
class VersionDialog : public QDialog {
  Q_OBJECT

 public:
  explicit VersionDialog(QWidget* parent = nullptr);
  ~VersionDialog() override;

 private:
  std::unique_ptr<Ui::VersionDialog> ui_;
};

}  // namespace pelkan::ui
