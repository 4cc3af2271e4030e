#include "app/rule_files.h"

#include <sys/stat.h>

#include "guide/guide_store.h"
#include "rules/rule_store.h"

namespace pelkan {

RuleFiles::RuleFiles(std::string rules_path, std::string guide_path)
    : rules_path_(std::move(rules_path)), guide_path_(std::move(guide_path)) {}

RuleFiles::~RuleFiles() = default;

RuleStore* RuleFiles::Rules(bool create, std::string* notice) {
  if (rules_) return rules_.get();
  // No rules file, no rules: none is made until a rule is added.
  struct stat st {};
  if (!create && ::stat(rules_path_.c_str(), &st) != 0) return nullptr;
  std::string error;
  rules_ = RuleStore::Open(rules_path_, notice, &error);
  return rules_.get();
}

GuideStore* RuleFiles::Guide() {
  if (!guide_) guide_ = GuideStore::Open(guide_path_, GuideStore::Access::kRead, false, nullptr, nullptr);
  return guide_.get();
}

void RuleFiles::ForgetGuide() {
  guide_.reset();
}

RuleFiles::Versions RuleFiles::Now() {
  return {guide_ ? guide_->DataVersion() : 0, rules_ ? rules_->DataVersion() : 0};
}

}  // namespace pelkan
