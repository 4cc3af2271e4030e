#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "platform/profile.h"
#include "schedule/schedule_item.h"

namespace pelkan {

// The names of the automatic reservation rules as the rules file (rules.sqlite) has them, read
// again whenever the file (or its write-ahead log) changed: a process may list after it changed the
// rules. One object per thread.
class RuleNames {
 public:
  explicit RuleNames(std::string rules_path) : path_(std::move(rules_path)) {}

  // "[ルール: NAME]" (UTF-8) for a reservation made by a rule ("[ルール: ルール不明(ID=N)]" when the
  // rules file no longer knows it); empty for one made by hand.
  std::string MarkText(const ScheduleItem& item);
  // The name of rule `rule_id` (UTF-8; "ルール不明(ID=N)" when the rules file does not know it).
  std::string Name(uint32_t rule_id);
  // The reservation list's 詳細 (UTF-8): the options (ItemDetailText), the margins and priority
  // when not the defaults (ItemMarginPriorityText), the rule's mark.
  std::string DetailText(const ScheduleItem& item);

 private:
  std::string path_;
  std::pair<platform::FileStamp, platform::FileStamp> read_at_{};
  bool read_ = false;
  std::map<uint32_t, std::string> names_;
};

}  // namespace pelkan
