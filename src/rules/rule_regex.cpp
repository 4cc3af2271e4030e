#include "rules/rule_regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <chrono>

namespace pelkan {
namespace {

std::string ErrorText(int code) {
  PCRE2_UCHAR buffer[256];
  if (pcre2_get_error_message(code, buffer, sizeof buffer) < 0) return "error " + std::to_string(code);
  return reinterpret_cast<const char*>(buffer);
}

}  // namespace

RuleRegex::RuleRegex(std::string_view pattern) {
  int code = 0;
  PCRE2_SIZE offset = 0;
  // Texts whose bytes are not UTF-8 are searched too: their bad sequences simply never match.
  code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                        PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &code, &offset, nullptr);
  if (code_ == nullptr) {
    error_ = ErrorText(code) + " at offset " + std::to_string(offset);
    return;
  }
  // The compiled machine code is quicker over a large guide; without it (no JIT on this machine,
  // or no memory for it) the interpreter does the same within the same limits.
  pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);
  context_ = pcre2_match_context_create(nullptr);
  data_ = pcre2_match_data_create_from_pattern(code_, nullptr);
  if (context_ == nullptr || data_ == nullptr) {
    stopped_ = "out of memory";
    return;
  }
  pcre2_set_match_limit(context_, kMatchLimit);
  pcre2_set_depth_limit(context_, kDepthLimit);
  pcre2_set_heap_limit(context_, kHeapLimitKiB);
}

RuleRegex::~RuleRegex() {
  pcre2_match_data_free(data_);
  pcre2_match_context_free(context_);
  pcre2_code_free(code_);
}

RuleRegex::Result RuleRegex::Search(std::string_view text) {
  if (code_ == nullptr || !stopped_.empty()) return Result::kStopped;
  if (spent_ns_ > uint64_t{kBudgetMs} * 1'000'000) {
    stopped_ = "took longer than " + std::to_string(kBudgetMs) + " ms over the guide";
    return Result::kStopped;
  }
  const auto begin = std::chrono::steady_clock::now();
  const auto subject = reinterpret_cast<PCRE2_SPTR>(text.data());
  int rc = pcre2_match(code_, subject, text.size(), 0, 0, data_, context_);
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    // The machine code's small stack is not a limit of the expression: the interpreter, which
    // keeps its backtracking on the heap within the heap limit, tries again.
    rc = pcre2_match(code_, subject, text.size(), 0, PCRE2_NO_JIT, data_, context_);
  }
  spent_ns_ += static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - begin).count());
  if (rc >= 0) return Result::kMatch;
  if (rc == PCRE2_ERROR_NOMATCH) return Result::kNoMatch;
  if (rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT || rc == PCRE2_ERROR_HEAPLIMIT ||
      rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    stopped_ = "too complex: " + ErrorText(rc);
  } else {
    stopped_ = ErrorText(rc);
  }
  return Result::kStopped;
}

}  // namespace pelkan
