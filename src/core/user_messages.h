#pragma once

#include <string>

namespace pelkan {

// Where the core's user-visible messages go: message boxes in the desktop program, standard error
// in the command-line tool. Texts and captions are Shift-JIS. Called on the owning (UI) thread only.
class UserMessages {
 public:
  virtual ~UserMessages() = default;
  // Shows `text` with an OK button under `caption` ("pelkan", "Error" or "ERROR").
  virtual void Notify(const std::string& text, const std::string& caption) = 0;
  // Asks a yes/no question; true for yes.
  virtual bool Ask(const std::string& text, const std::string& caption) = 0;
};

}  // namespace pelkan
