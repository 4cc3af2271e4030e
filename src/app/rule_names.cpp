#include "app/rule_names.h"

#include "platform/text_codec.h"
#include "rules/rule_evaluation.h"
#include "rules/rule_store.h"
#include "schedule/schedule_texts.h"

namespace pelkan {

std::string RuleNames::MarkText(const ScheduleItem& item) {
  return item.rule_id == 0 ? std::string() : "[ルール: " + Name(item.rule_id) + "]";
}

std::string RuleNames::Name(uint32_t rule_id) {
  const auto stamps = std::make_pair(platform::StampOf(path_), platform::StampOf(path_ + "-wal"));
  if (!read_ || stamps != read_at_) {
    read_ = true;
    read_at_ = stamps;
    names_.clear();
    if (stamps.first.exists) {
      if (auto store = RuleStore::Open(path_, nullptr, nullptr)) {
        for (const ReservationRule& r : store->Rules()) names_[r.id] = r.name;
      }
    }
  }
  const auto it = names_.find(rule_id);
  return it != names_.end() ? it->second : kUnknownRuleText + std::string("(ID=") + std::to_string(rule_id) + ")";
}

std::string RuleNames::DetailText(const ScheduleItem& item) {
  return platform::SjisToUtf8(ItemDetailText(item) + ItemMarginPriorityText(item)) + MarkText(item);
}

}  // namespace pelkan
