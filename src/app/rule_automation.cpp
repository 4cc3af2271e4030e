#include "app/rule_automation.h"

#include <sys/stat.h>

#include "app/scheduled_capture.h"
#include "guide/guide_store.h"
#include "platform/clock.h"
#include "platform/text_codec.h"
#include "rules/rule_store.h"

namespace pelkan {

RuleAutomation::RuleAutomation(ScheduledCapture& capture, std::string rules_path, std::string guide_path,
                               NoticeFn notice)
    : capture_(capture), rules_path_(std::move(rules_path)), guide_path_(std::move(guide_path)),
      notice_(std::move(notice)) {
  capture_.SetReservationEndedListener([this](const FinishedRecording& ended) { NoteEnded(ended); });
}

RuleAutomation::~RuleAutomation() {
  capture_.SetReservationEndedListener(nullptr);
}

bool RuleAutomation::OpenFiles() {
  if (!rules_) {
    // No rules file, no rules: none is made until a rule is added.
    struct stat st {};
    if (::stat(rules_path_.c_str(), &st) != 0) return false;
    std::string notice, error;
    rules_ = RuleStore::Open(rules_path_, &notice, &error);
    if (!notice.empty() && notice_) notice_(platform::SjisToUtf8(notice));
    if (!rules_) return false;
  }
  if (!guide_) guide_ = GuideStore::Open(guide_path_, GuideStore::Access::kRead, false, nullptr, nullptr);
  return guide_ != nullptr;
}

std::optional<RuleRunResult> RuleAutomation::Poll(GuideTime now, bool force) {
  const uint32_t tick = platform::TickCount();
  if (!force && ran_ && tick - last_check_ < kCheckMs) return std::nullopt;
  last_check_ = tick;
  if (!OpenFiles()) return std::nullopt;
  const uint64_t guide_version = guide_->DataVersion();
  const uint64_t rules_version = rules_->DataVersion();
  if (!force && ran_ && guide_version == guide_version_ && rules_version == rules_version_) return std::nullopt;
  // Waits briefly for the reservation file: another program holding it is tried again later.
  const RuleRunResult result = RunRules(*rules_, *guide_, capture_.scheduler(), now, 1000);
  if (!result.locked) return std::nullopt;
  // Made again once: their marks name the file they are in now.
  if (result.restored > 0 && notice_) notice_(RestoredReservationsText(result.restored));
  ran_ = true;
  guide_version_ = guide_version;
  // The run's own marks changed the rules file: its version is read after them.
  rules_version_ = rules_->DataVersion();
  return result;
}

void RuleAutomation::NoteEnded(const FinishedRecording& ended) {
  if (ended.item.rule_id == 0) return;
  OpenFiles();
  if (rules_) NoteEndedReservation(ended, *rules_, guide_.get());
}

}  // namespace pelkan
