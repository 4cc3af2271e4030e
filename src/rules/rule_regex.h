#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct pcre2_real_code_8;
struct pcre2_real_match_context_8;
struct pcre2_real_match_data_8;

namespace pelkan {

struct Pcre2Library;

// A rule's regular expression (Perl-compatible, PCRE2, UTF-8) compiled once and tried on many
// texts within bounds: each search within a match limit, a depth limit and a heap limit, and all
// the searches of one object within a time budget. An expression that backtracks without end over
// a text (nested repeats such as "(.*)*x") hits a limit and is stopped, and so is one whose
// searches together outgrow the budget over a large guide; once stopped, nothing more is tried and
// stopped() says why. One object is used by one thread at a time.
class RuleRegex {
 public:
  // How far one search may go, and how long all the searches of one object may take together.
  static constexpr uint32_t kMatchLimit = 1'000'000;
  static constexpr uint32_t kDepthLimit = 10'000;
  static constexpr uint32_t kHeapLimitKiB = 16 * 1024;
  static constexpr uint32_t kBudgetMs = 3000;

  // Compiles `pattern` (UTF-8). When the engine refuses it, error() gives its reason and the
  // offset in the pattern ("missing closing parenthesis at offset 1"); without the engine's
  // library, error() says that it cannot be loaded.
  explicit RuleRegex(std::string_view pattern);
  ~RuleRegex();
  RuleRegex(const RuleRegex&) = delete;
  RuleRegex& operator=(const RuleRegex&) = delete;

  bool valid() const { return code_ != nullptr; }
  const std::string& error() const { return error_; }

  enum class Result { kMatch, kNoMatch, kStopped };
  // Looks for the expression in `text` (UTF-8; invalid sequences never match). kStopped when this
  // search or an earlier one hit a limit or the budget is spent, or the expression is invalid.
  Result Search(std::string_view text);
  // Why the searches were stopped (English: "too complex: ...", "took longer than 3000 ms over the
  // guide"), empty while they go on.
  const std::string& stopped() const { return stopped_; }

 private:
  const Pcre2Library* pcre2_ = nullptr;
  pcre2_real_code_8* code_ = nullptr;
  pcre2_real_match_context_8* context_ = nullptr;
  pcre2_real_match_data_8* data_ = nullptr;
  std::string error_;
  std::string stopped_;
  uint64_t spent_ns_ = 0;
};

}  // namespace pelkan
