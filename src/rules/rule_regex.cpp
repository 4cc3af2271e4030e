#include "rules/rule_regex.h"

#include <chrono>

#include "rules/pcre2_library.h"

namespace pelkan {
namespace {

std::string ErrorText(const Pcre2Library& pcre2, int code) {
  PCRE2_UCHAR buffer[256];
  if (pcre2.pcre2_get_error_message_8(code, buffer, sizeof buffer) < 0) return "error " + std::to_string(code);
  return reinterpret_cast<const char*>(buffer);
}

}  // namespace

RuleRegex::RuleRegex(std::string_view pattern) {
  pcre2_ = Pcre2(&error_);
  if (pcre2_ == nullptr) return;
  const Pcre2Library& pcre2 = *pcre2_;
  int code = 0;
  PCRE2_SIZE offset = 0;
  // Texts whose bytes are not UTF-8 are searched too: their bad sequences simply never match.
  code_ = pcre2.pcre2_compile_8(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &code, &offset, nullptr);
  if (code_ == nullptr) {
    error_ = ErrorText(pcre2, code) + " at offset " + std::to_string(offset);
    return;
  }
  // The compiled machine code is quicker over a large guide; without it (no JIT on this machine,
  // or no memory for it) the interpreter does the same within the same limits.
  pcre2.pcre2_jit_compile_8(code_, PCRE2_JIT_COMPLETE);
  context_ = pcre2.pcre2_match_context_create_8(nullptr);
  data_ = pcre2.pcre2_match_data_create_from_pattern_8(code_, nullptr);
  if (context_ == nullptr || data_ == nullptr) {
    stopped_ = "out of memory";
    return;
  }
  pcre2.pcre2_set_match_limit_8(context_, kMatchLimit);
  pcre2.pcre2_set_depth_limit_8(context_, kDepthLimit);
  pcre2.pcre2_set_heap_limit_8(context_, kHeapLimitKiB);
}

RuleRegex::~RuleRegex() {
  if (pcre2_ == nullptr) return;
  pcre2_->pcre2_match_data_free_8(data_);
  pcre2_->pcre2_match_context_free_8(context_);
  pcre2_->pcre2_code_free_8(code_);
}

RuleRegex::Result RuleRegex::Search(std::string_view text) {
  if (code_ == nullptr || !stopped_.empty()) return Result::kStopped;
  if (spent_ns_ > uint64_t{kBudgetMs} * 1'000'000) {
    stopped_ = "took longer than " + std::to_string(kBudgetMs) + " ms over the guide";
    return Result::kStopped;
  }
  const auto begin = std::chrono::steady_clock::now();
  const auto subject = reinterpret_cast<PCRE2_SPTR>(text.data());
  int rc = pcre2_->pcre2_match_8(code_, subject, text.size(), 0, 0, data_, context_);
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    // The machine code's small stack is not a limit of the expression: the interpreter, which
    // keeps its backtracking on the heap within the heap limit, tries again.
    rc = pcre2_->pcre2_match_8(code_, subject, text.size(), 0, PCRE2_NO_JIT, data_, context_);
  }
  spent_ns_ += static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - begin).count());
  if (rc >= 0) return Result::kMatch;
  if (rc == PCRE2_ERROR_NOMATCH) return Result::kNoMatch;
  if (rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT || rc == PCRE2_ERROR_HEAPLIMIT ||
      rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    stopped_ = "too complex: " + ErrorText(*pcre2_, rc);
  } else {
    stopped_ = ErrorText(*pcre2_, rc);
  }
  return Result::kStopped;
}

}  // namespace pelkan
