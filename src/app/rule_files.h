#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "guide/guide_reader.h"

namespace pelkan {

class GuideStore;
class RuleStore;

// The rules' file and the guide's file of a program, one connection to each, shared by every
// user of them in the process (the capture session owns one: the rule windows' RuleDesk, the
// reservation list's programmes, the rules' automation on its worker and the HTTP pages use it).
// Each file is opened on first use (a missing file is no error: nothing is there yet; the rules
// file is made only when asked), the guide again when it was replaced. The connections are used
// through a Hold, one thread at a time; any thread.
class RuleFiles {
 public:
  // The data versions of both files (0 for one not open). A connection does not see its own
  // writes in them: a user that changed a file tells the others itself.
  struct Versions {
    uint64_t guide = 0;
    uint64_t rules = 0;
    bool operator==(const Versions&) const = default;
  };

  // The files for one user: another thread's Take waits until it is gone.
  class Hold {
   public:
    // The rules file, made when missing and `create`; null when it is not there or cannot be
    // opened. `notice` receives the message for the user (Shift-JIS) when a damaged file was
    // renamed aside.
    RuleStore* Rules(bool create = false, std::string* notice = nullptr);
    // The guide, read only; null when it is not there.
    GuideStore* Guide() { return files_.guide_.Store(); }
    // Closes the guide: the next Guide() opens the file again (one that failed a read).
    void ForgetGuide() { files_.guide_.Forget(); }
    // The guide's connection itself (the XMLTV document's cache follows its generations).
    GuideReader& GuideConnection() { return files_.guide_; }
    // The versions now.
    Versions Now();

   private:
    friend class RuleFiles;
    explicit Hold(RuleFiles& files) : files_(files), lock_(files.mutex_) {}
    RuleFiles& files_;
    std::unique_lock<std::mutex> lock_;
  };

  // What one user last took of the files: whether either changed since.
  class Seen {
   public:
    // True when nothing was taken yet or `now` differs from what was taken.
    bool Changed(const Versions& now) const { return !taken_ || now != seen_; }
    void Take(const Versions& versions) {
      seen_ = versions;
      taken_ = true;
    }

   private:
    Versions seen_;
    bool taken_ = false;
  };

  RuleFiles(std::string rules_path, std::string guide_path);
  ~RuleFiles();
  RuleFiles(const RuleFiles&) = delete;
  RuleFiles& operator=(const RuleFiles&) = delete;

  Hold Take() { return Hold(*this); }
  // Lends the guide's connection to `use` while holding the files (a ProgrammeResolver's loan).
  void LendGuide(const std::function<void(GuideReader&)>& use) {
    Hold hold = Take();
    use(hold.GuideConnection());
  }

 private:
  std::mutex mutex_;
  std::string rules_path_;
  std::unique_ptr<RuleStore> rules_;
  GuideReader guide_;
};

}  // namespace pelkan
