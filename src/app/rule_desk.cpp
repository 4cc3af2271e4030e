#include "app/rule_desk.h"

#include <algorithm>

#include "guide/broadcast_text.h"
#include "guide/guide_coverage.h"
#include "guide/guide_store.h"
#include "rules/rule_matcher.h"
#include "rules/rule_runner.h"
#include "rules/rule_store.h"
#include "schedule/recording_scheduler.h"

namespace pelkan {

RuleDesk::RuleDesk(RecordingScheduler& scheduler, RuleFiles& files, NowFn now)
    : scheduler_(scheduler), files_(files), now_(std::move(now)) {}

RuleDesk::~RuleDesk() = default;

bool RuleDesk::Refresh(bool force) {
  std::vector<std::pair<uint64_t, uint32_t>> reserved;
  for (const ScheduleItem& item : scheduler_.Reservations())
    reserved.emplace_back(RuleContext::Id({item.network_id, item.stream_id, item.service_id, item.event_id}),
                          item.rule_id);
  const bool reservations_changed = reserved != reserved_;
  reserved_ = std::move(reserved);
  const GuideTime now = now_();
  RuleFiles::Hold files = files_.Take();
  GuideStore* guide = files.Guide();
  files.Rules();
  const RuleFiles::Versions versions = files.Now();
  if (!force && !seen_.Changed(versions)) return reservations_changed;
  seen_.Take(versions);
  if (guide != nullptr) {
    services_ = guide->Services();
    // With every text: the dialog's scope may reach beyond the titles at any edit.
    events_ = FutureEvents(*guide, now, true);
    // A file that failed the read is opened again at the next refresh.
    if (guide->LastErrorCode() != 0) files.ForgetGuide();
  }
  return true;
}

std::vector<ReservationRule> RuleDesk::Rules() {
  RuleFiles::Hold files = files_.Take();
  RuleStore* rules = files.Rules();
  return rules != nullptr ? rules->Rules() : std::vector<ReservationRule>{};
}

uint32_t RuleDesk::Save(const ReservationRule& rule) {
  const uint32_t highest = HighestRuleId(scheduler_.Reservations());
  RuleFiles::Hold files = files_.Take();
  RuleStore* rules = files.Rules(true);
  return rules != nullptr ? rules->Save(rule, highest) : 0;
}

bool RuleDesk::Remove(uint32_t id, bool reservations) {
  const GuideTime now = now_();
  RuleFiles::Hold files = files_.Take();
  RuleStore* rules = files.Rules();
  if (rules == nullptr) return false;
  // The guide tells which reservations have begun: those are kept.
  if (reservations && RemoveRuleReservations(id, *rules, scheduler_, files.Guide(), now, kLockWaitMs) < 0) {
    return false;
  }
  return rules->Remove(id);
}

std::vector<RuleMatch> RuleDesk::Test(const ReservationRule& rule) {
  // No rules file yet: nothing recorded, nothing marked.
  const GuideTime now = now_();
  RuleFiles::Hold files = files_.Take();
  return TestRule(rule, events_, ContextOf(scheduler_, files.Rules(), files.Guide(), events_, now));
}

size_t RuleDesk::ReservationsOf(uint32_t id) {
  const std::vector<ScheduleItem> reservations = scheduler_.Reservations();
  return static_cast<size_t>(std::count_if(reservations.begin(), reservations.end(),
                                           [id](const ScheduleItem& item) { return item.rule_id == id; }));
}

bool RuleDesk::ReserveAnyway(const ReservationRule& rule, const GuideEvent& event) {
  RuleFiles::Hold files = files_.Take();
  RuleStore* rules = files.Rules(true);
  return rules != nullptr && pelkan::ReserveAnyway(rule, event, *rules, scheduler_, kLockWaitMs);
}

std::string RuleDesk::ServiceName(uint16_t service_id) const {
  for (const GuideService& s : services_) {
    if (s.service_id == service_id && !s.name.empty()) return BroadcastTextUtf8(s.name);
  }
  return {};
}

StaleFn RuleDesk::StaleNow() const {
  return [this, now = now_()](const GuideEvent& e) {
    const std::optional<GuideCoverage> coverage = ServiceCoverage(services_, e.key.service_id);
    return coverage && coverage->Stale(e.start, now);
  };
}

}  // namespace pelkan
