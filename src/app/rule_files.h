#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace pelkan {

class GuideStore;
class RuleStore;

// The rules' file and the guide's file as one who works on the rules holds them: a connection to
// each, opened on first use (a missing file is no error: nothing is there yet; the rules file is
// made only when asked), and whether either changed since the versions last taken. The rule
// windows' RuleDesk and the automation's worker each hold one: a connection stays on one thread.
class RuleFiles {
 public:
  RuleFiles(std::string rules_path, std::string guide_path);
  ~RuleFiles();
  RuleFiles(const RuleFiles&) = delete;
  RuleFiles& operator=(const RuleFiles&) = delete;

  // The rules file, made when missing and `create`; null when it is not there or cannot be opened.
  // `notice` receives the message for the user (Shift-JIS) when a damaged file was renamed aside.
  RuleStore* Rules(bool create = false, std::string* notice = nullptr);
  // The guide, read only; null when it is not there.
  GuideStore* Guide();
  // Closes the guide: the next Guide() opens the file again (one replaced under the reader).
  void ForgetGuide();

  // The data versions of both files now (0 for one not open).
  struct Versions {
    uint64_t guide = 0;
    uint64_t rules = 0;
    bool operator==(const Versions&) const = default;
  };
  Versions Now();
  // True when nothing was taken yet or either file changed since Take.
  bool Changed() { return !taken_ || Now() != seen_; }
  // Takes `versions` as seen.
  void Take(Versions versions) {
    seen_ = versions;
    taken_ = true;
  }

 private:
  std::string rules_path_, guide_path_;
  std::unique_ptr<RuleStore> rules_;
  std::unique_ptr<GuideStore> guide_;
  Versions seen_;
  bool taken_ = false;
};

}  // namespace pelkan
