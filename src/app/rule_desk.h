#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/rule_files.h"
#include "app/rule_window_rules.h"
#include "guide/guide_event.h"
#include "rules/reservation_rule.h"
#include "rules/rule_evaluation.h"

namespace pelkan {

class GuideStore;
class RecordingScheduler;
class RuleStore;

// The automatic reservation rules as the windows work on them: the rules file (made when the
// first rule is stored, so that no file exists until then), the guide's coming programmes read
// once and kept, what each rule matches in them now, and the changes a window makes (store,
// remove with or without the rule's unstarted reservations, "この回も録画"). It uses the program's
// shared files (RuleFiles) on the UI thread, each time for one step; nothing here waits for the
// capture, and a run of the rules at most for that run's hold on the files.
class RuleDesk {
 public:
  // Broadcast time now (JST).
  using NowFn = std::function<GuideTime()>;

  // `files` outlives the desk.
  RuleDesk(RecordingScheduler& scheduler, RuleFiles& files, NowFn now);
  ~RuleDesk();
  RuleDesk(const RuleDesk&) = delete;
  RuleDesk& operator=(const RuleDesk&) = delete;

  // Reads the guide's services and coming programmes again when the guide or the rules file
  // changed since the last read (or `force`). True when something was read or the reservations
  // changed: what the rules match, or its verdicts, may differ.
  bool Refresh(bool force = false);

  std::vector<ReservationRule> Rules();
  // Stores the rule (a new one when its id is 0); its id, 0 on failure.
  uint32_t Save(const ReservationRule& rule);
  // Removes rule `id`, and first its reservations that have not started when `reservations`.
  // False when the reservation file's lock was not had or the rule could not be removed.
  bool Remove(uint32_t id, bool reservations);

  // What `rule` matches now in the guide's coming programmes, with the verdict of each. The
  // matches point into the programmes this object keeps, valid until the next Refresh.
  std::vector<RuleMatch> Test(const ReservationRule& rule);
  // The reservations rule `id` made.
  size_t ReservationsOf(uint32_t id);
  // Reserves `event` for `rule` whatever its verdict; false when refused (lock, reserved already).
  bool ReserveAnyway(const ReservationRule& rule, const GuideEvent& event);

  const std::vector<GuideService>& services() const { return services_; }
  // The name of a service of the guide (UTF-8), empty when unknown.
  std::string ServiceName(uint16_t service_id) const;
  ServiceNameFn NameFn() const {
    return [this](uint16_t id) { return ServiceName(id); };
  }
  // Whether the guide's knowledge of a programme is old now (its service's coverage as last read).
  StaleFn StaleNow() const;

  // How long a change waits for the reservation file's lock, ms.
  static constexpr uint32_t kLockWaitMs = 2000;

 private:
  RecordingScheduler& scheduler_;
  RuleFiles& files_;
  RuleFiles::Seen seen_;
  NowFn now_;
  std::vector<GuideService> services_;
  std::vector<GuideEvent> events_;
  std::vector<std::pair<uint64_t, uint32_t>> reserved_;  // each reservation's event and rule
};

}  // namespace pelkan
