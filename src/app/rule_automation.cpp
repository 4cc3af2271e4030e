#include "app/rule_automation.h"

#include "app/scheduled_capture.h"
#include "guide/guide_store.h"
#include "platform/text_codec.h"
#include "rules/rule_store.h"

namespace pelkan {

RuleAutomation::RuleAutomation(ScheduledCapture& capture, RuleFiles& files, NoticeFn notice, PostFn post,
                               RanFn ran)
    : capture_(capture),
      notice_(std::move(notice)),
      post_(std::move(post)),
      ran_(std::make_shared<RanFn>(std::move(ran))),
      files_(files) {
  ended_listener_ = capture_.AddReservationEndedListener([this](const FinishedRecording& ended) {
    if (ended.item.rule_id == 0) return;
    {
      std::lock_guard lock(mutex_);
      ended_.push_back(ended);
    }
    wake_.notify_one();
  });
  worker_ = std::thread([this] { Worker(); });
}

RuleAutomation::~RuleAutomation() {
  capture_.RemoveReservationEndedListener(ended_listener_);
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (worker_.joinable()) worker_.join();
}

void RuleAutomation::Poll(GuideTime now, bool force) {
  {
    std::lock_guard lock(mutex_);
    run_wanted_ = true;
    force_ = force_ || force;
    now_ = now;
  }
  wake_.notify_one();
}

void RuleAutomation::WaitIdle() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return stop_ || (!busy_ && !run_wanted_ && ended_.empty()); });
}

void RuleAutomation::Worker() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || run_wanted_ || !ended_.empty(); });
    // The history is written to the end; a run not yet begun is not.
    if (!ended_.empty()) {
      const FinishedRecording ended = std::move(ended_.front());
      ended_.pop_front();
      busy_ = true;
      lock.unlock();
      NoteEnded(ended);
      lock.lock();
    } else if (stop_) {
      break;
    } else {
      const GuideTime now = now_;
      const bool force = force_;
      run_wanted_ = false;
      force_ = false;
      busy_ = true;
      lock.unlock();
      const std::optional<RuleRunResult> result = Run(now, force);
      if (result && post_) {
        post_([weak = std::weak_ptr<RanFn>(ran_), r = *result] {
          if (const auto ran = weak.lock(); ran && *ran) (*ran)(r);
        });
      }
      lock.lock();
    }
    busy_ = false;
    idle_.notify_all();
  }
  busy_ = false;
  idle_.notify_all();
}

std::optional<RuleRunResult> RuleAutomation::Run(GuideTime now, bool force) {
  RuleFiles::Hold files = files_.Take();
  RuleStore* rules = OpenRules(files);
  GuideStore* guide = files.Guide();
  if (rules == nullptr || guide == nullptr) return std::nullopt;
  const RuleFiles::Versions before = files.Now();
  if (!force && !seen_.Changed(before)) return std::nullopt;
  // Waits briefly for the reservation file: another program holding it is tried again later.
  const RuleRunResult result = RunRules(*rules, *guide, capture_.scheduler(), now, 1000);
  if (!result.locked) return std::nullopt;
  // Made again once: their marks name the file they are in now.
  if (result.restored > 0 && notice_) notice_(RestoredReservationsText(result.restored));
  // The run's own marks changed the rules file: its version is read after them.
  seen_.Take({before.guide, files.Now().rules});
  return result;
}

RuleStore* RuleAutomation::OpenRules(RuleFiles::Hold& files) {
  std::string notice;
  RuleStore* rules = files.Rules(false, &notice);
  if (!notice.empty() && notice_) notice_(platform::SjisToUtf8(notice));
  return rules;
}

void RuleAutomation::NoteEnded(const FinishedRecording& ended) {
  RuleFiles::Hold files = files_.Take();
  if (RuleStore* rules = OpenRules(files)) NoteEndedReservation(ended, *rules, files.Guide());
}

}  // namespace pelkan
