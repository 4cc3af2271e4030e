#pragma once

#include <string>
#include <string_view>

namespace pelkan {

// A JSON string literal of UTF-8 text: quotes, backslashes and control characters escaped.
std::string JsonString(std::string_view utf8);

}  // namespace pelkan
