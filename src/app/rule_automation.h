#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "guide/guide_event.h"
#include "rules/rule_runner.h"

namespace pelkan {

class GuideStore;
class RuleStore;
class ScheduledCapture;

// Runs the automatic reservation rules for a program that records (`pelkan-cli capture
// --schedule`, the desktop program): at start and whenever the guide or the rules file changed, at
// most every kCheckMs, every enabled rule is run over the guide (RunRules); and the end of each
// rule's reservation goes into the rules file's history. The files are opened on first use, so a
// missing guide or rules file is no error (nothing runs until both are there). Owning (UI or
// main-loop) thread.
class RuleAutomation {
 public:
  // Tells the user (UTF-8) that the rules file was damaged and renamed aside.
  using NoticeFn = std::function<void(const std::string& text)>;

  RuleAutomation(ScheduledCapture& capture, std::string rules_path, std::string guide_path, NoticeFn notice);
  ~RuleAutomation();
  RuleAutomation(const RuleAutomation&) = delete;
  RuleAutomation& operator=(const RuleAutomation&) = delete;

  static constexpr uint32_t kCheckMs = 5000;
  // Runs the rules when it is time and something changed (or `force`); `now` is broadcast time
  // (JST). Returns what the run did, or nullopt when none ran.
  std::optional<RuleRunResult> Poll(GuideTime now, bool force = false);

 private:
  bool OpenFiles();
  void NoteEnded(const FinishedRecording& ended);

  ScheduledCapture& capture_;
  std::string rules_path_, guide_path_;
  NoticeFn notice_;
  std::unique_ptr<RuleStore> rules_;
  std::unique_ptr<GuideStore> guide_;
  uint64_t guide_version_ = 0, rules_version_ = 0;
  bool ran_ = false;
  uint32_t last_check_ = 0;
};

}  // namespace pelkan
