#include "app/rule_files.h"

#include <sys/stat.h>

#include "guide/guide_store.h"
#include "rules/rule_store.h"

namespace pelkan {

RuleFiles::RuleFiles(std::string rules_path, std::string guide_path)
    : rules_path_(std::move(rules_path)), guide_(std::move(guide_path)) {}

RuleFiles::~RuleFiles() = default;

RuleStore* RuleFiles::Hold::Rules(bool create, std::string* notice) {
  std::unique_ptr<RuleStore>& rules = files_.rules_;
  if (rules) return rules.get();
  // No rules file, no rules: none is made until a rule is added.
  struct stat st {};
  if (!create && ::stat(files_.rules_path_.c_str(), &st) != 0) return nullptr;
  std::string error;
  rules = RuleStore::Open(files_.rules_path_, notice, &error);
  return rules.get();
}

RuleFiles::Versions RuleFiles::Hold::Now() {
  GuideStore* guide = files_.guide_.Opened();
  return {guide ? guide->DataVersion() : 0, files_.rules_ ? files_.rules_->DataVersion() : 0};
}

}  // namespace pelkan
