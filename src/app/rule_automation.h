#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/rule_files.h"
#include "guide/guide_event.h"
#include "rules/rule_runner.h"
#include "schedule/scheduler_host.h"

namespace pelkan {

class GuideStore;
class RuleStore;
class ScheduledCapture;

// Runs the automatic reservation rules for a program that records (the capture session): asked at
// the session's pace, every enabled rule is run over the guide (RunRules) at the first ask and
// whenever the guide or the rules file changed since the last run; and the end of each rule's
// reservation goes into the rules file's history. The runs and the history are written on a worker
// thread of its own, so that a slow run never holds up the capture's loop, its status or its end;
// what a run did is handed to the owning thread. The files are the program's shared RuleFiles, opened on first use, so a missing guide or
// rules file is no error (nothing runs until both are there); the worker holds them for a run.
class RuleAutomation {
 public:
  // Tells the user (UTF-8) that the rules file was damaged and renamed aside. Worker thread.
  using NoticeFn = std::function<void(const std::string& text)>;
  // Queues work for the owning thread.
  using PostFn = std::function<void(std::function<void()>)>;
  // What a run did, on the owning thread.
  using RanFn = std::function<void(const RuleRunResult& result)>;

  // `files` outlives the automation.
  RuleAutomation(ScheduledCapture& capture, RuleFiles& files, NoticeFn notice, PostFn post,
                 RanFn ran = nullptr);
  // Writes the history still waiting, drops a run not yet begun and waits for one running.
  ~RuleAutomation();
  RuleAutomation(const RuleAutomation&) = delete;
  RuleAutomation& operator=(const RuleAutomation&) = delete;

  // Asks for a run: the worker runs the rules when something changed (or `force`), `now` being
  // broadcast time (JST). Returns at once; a run asked for while one waits joins it. Owning thread.
  void Poll(GuideTime now, bool force = false);
  // Returns once the worker has nothing left to do (tests, the end of a capture). Owning thread.
  void WaitIdle();

 private:
  // The rules file when it is there; a damaged one renamed aside is told.
  RuleStore* OpenRules(RuleFiles::Hold& files);
  void NoteEnded(const FinishedRecording& ended);
  void Worker();
  std::optional<RuleRunResult> Run(GuideTime now, bool force);

  ScheduledCapture& capture_;
  NoticeFn notice_;
  PostFn post_;
  // Reached through a weak pointer by the posted results, which then do nothing once this is gone.
  std::shared_ptr<RanFn> ran_;
  int ended_listener_ = 0;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<FinishedRecording> ended_;
  bool run_wanted_ = false;
  bool force_ = false;
  GuideTime now_ = 0;
  bool busy_ = false;
  bool stop_ = false;

  RuleFiles& files_;
  // Worker thread.
  RuleFiles::Seen seen_;

  std::thread worker_;
};

}  // namespace pelkan
