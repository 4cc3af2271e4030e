#pragma once

#include <string>

namespace pelkan {

// Asks the user where to save a manual recording (the desktop program's save-file dialog: filter
// "TS Stream" / "*.ts", default extension "ts", confirmation before overwriting). Called on the UI
// thread only.
class SavePathProvider {
 public:
  virtual ~SavePathProvider() = default;
  // Fills *path (a file-system path, UTF-8) and returns true, or returns false when the user cancels.
  virtual bool AskSavePath(std::string* path) = 0;
};

}  // namespace pelkan
