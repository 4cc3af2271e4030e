#include "app/rule_desk.h"

#include <sys/stat.h>

#include <algorithm>

#include "guide/broadcast_text.h"
#include "guide/guide_store.h"
#include "rules/rule_matcher.h"
#include "rules/rule_runner.h"
#include "rules/rule_store.h"
#include "schedule/recording_scheduler.h"

namespace pelkan {

RuleDesk::RuleDesk(RecordingScheduler& scheduler, std::string rules_path, std::string guide_path, NowFn now)
    : scheduler_(scheduler),
      rules_path_(std::move(rules_path)),
      guide_path_(std::move(guide_path)),
      now_(std::move(now)) {}

RuleDesk::~RuleDesk() = default;

bool RuleDesk::OpenRules(bool create) {
  if (rules_) return true;
  struct stat st {};
  if (!create && ::stat(rules_path_.c_str(), &st) != 0) return false;
  // A damaged file is renamed aside by the opening; the recording side tells the user.
  rules_ = RuleStore::Open(rules_path_, nullptr, nullptr);
  return rules_ != nullptr;
}

bool RuleDesk::OpenGuide() {
  if (!guide_) guide_ = GuideStore::Open(guide_path_, GuideStore::Access::kRead, false, nullptr, nullptr);
  return guide_ != nullptr;
}

bool RuleDesk::Refresh(bool force) {
  const uint64_t guide_version = OpenGuide() ? guide_->DataVersion() : 0;
  const uint64_t rules_version = OpenRules(false) ? rules_->DataVersion() : 0;
  std::vector<std::pair<uint64_t, uint32_t>> reserved;
  for (const ScheduleItem& item : scheduler_.Reservations())
    reserved.emplace_back(RuleContext::Id({item.network_id, item.stream_id, item.service_id, item.event_id}),
                          item.rule_id);
  const bool reservations_changed = reserved != reserved_;
  reserved_ = std::move(reserved);
  if (!force && read_ && guide_version == guide_version_ && rules_version == rules_version_)
    return reservations_changed;
  read_ = true;
  guide_version_ = guide_version;
  rules_version_ = rules_version;
  if (guide_) {
    services_ = guide_->Services();
    // With every text: the dialog's scope may reach beyond the titles at any edit.
    events_ = FutureEvents(*guide_, now_(), true);
    // A file replaced under the reader is opened again at the next refresh.
    if (guide_->LastErrorCode() != 0) guide_.reset();
  }
  return true;
}

std::vector<ReservationRule> RuleDesk::Rules() {
  return OpenRules(false) ? rules_->Rules() : std::vector<ReservationRule>{};
}

uint32_t RuleDesk::Save(const ReservationRule& rule) {
  return OpenRules(true) ? rules_->Save(rule, HighestRuleId(scheduler_.Reservations())) : 0;
}

bool RuleDesk::Remove(uint32_t id, bool reservations) {
  if (!OpenRules(false)) return false;
  if (reservations) {
    OpenGuide();  // it tells which reservations have begun: those are kept
    if (RemoveRuleReservations(id, *rules_, scheduler_, guide_.get(), now_(), kLockWaitMs) < 0) return false;
  }
  return rules_->Remove(id);
}

std::vector<RuleMatch> RuleDesk::Test(const ReservationRule& rule) {
  // No rules file yet: nothing recorded, nothing marked.
  return TestRule(
      rule, events_,
      ContextOf(scheduler_, OpenRules(false) ? rules_.get() : nullptr, guide_.get(), events_, now_()));
}

size_t RuleDesk::ReservationsOf(uint32_t id) {
  const std::vector<ScheduleItem> reservations = scheduler_.Reservations();
  return static_cast<size_t>(std::count_if(reservations.begin(), reservations.end(),
                                           [id](const ScheduleItem& item) { return item.rule_id == id; }));
}

bool RuleDesk::ReserveAnyway(const ReservationRule& rule, const GuideEvent& event) {
  return OpenRules(true) && pelkan::ReserveAnyway(rule, event, *rules_, scheduler_, kLockWaitMs);
}

std::string RuleDesk::ServiceName(uint16_t service_id) const {
  for (const GuideService& s : services_) {
    if (s.service_id == service_id && !s.name.empty()) return BroadcastTextUtf8(s.name);
  }
  return {};
}

}  // namespace pelkan
