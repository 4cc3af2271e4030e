#pragma once

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <string>

namespace pelkan {

// The PCRE2 functions (of 8-bit code units) the rules' expressions call, in one list: the table's
// members are named after the library's symbols.
#define PELKAN_PCRE2_FUNCTIONS(X)           \
  X(pcre2_compile_8)                        \
  X(pcre2_code_free_8)                      \
  X(pcre2_get_error_message_8)              \
  X(pcre2_jit_compile_8)                    \
  X(pcre2_match_8)                          \
  X(pcre2_match_context_create_8)           \
  X(pcre2_match_context_free_8)             \
  X(pcre2_match_data_create_from_pattern_8) \
  X(pcre2_match_data_free_8)                \
  X(pcre2_set_match_limit_8)                \
  X(pcre2_set_depth_limit_8)                \
  X(pcre2_set_heap_limit_8)

// libpcre2-8, taken from the library when a rule's expression is first compiled rather than
// linked, so that a program that never runs one does not pay for it at start. The types and
// constants are the header's own.
struct Pcre2Library {
#define PELKAN_PCRE2_MEMBER(name) decltype(&::name) name = nullptr;
  PELKAN_PCRE2_FUNCTIONS(PELKAN_PCRE2_MEMBER)
#undef PELKAN_PCRE2_MEMBER
};

// The table, loaded on the first call (any thread); nullptr when libpcre2-8 or one of its
// functions is missing, `*error` (if given) then saying why.
const Pcre2Library* Pcre2(std::string* error = nullptr);

}  // namespace pelkan
