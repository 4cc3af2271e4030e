// Fuzz target: EncodeAribString with arbitrary (often invalid) UTF-8. What the receiver's decoder
// makes of the encoding must encode and decode to itself again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/broadcast_text.h"
#include "streamgen/arib_encoder.h"
#include "ts/arib_string.h"

namespace {

std::string Decode(const std::string& code) {
  std::vector<char> out(code.size() * 2 + 8);
  pelkan::DecodeAribString(reinterpret_cast<const uint8_t*>(code.data()), static_cast<uint32_t>(code.size()),
                           out.data(), static_cast<uint32_t>(out.size()));
  return std::string(out.data());
}

void CheckStable(std::string_view text) {
  const std::string first = Decode(pelkan::streamgen::EncodeAribString(text));
  const std::string again = Decode(pelkan::streamgen::EncodeAribString(pelkan::platform::BroadcastToUtf8(first)));
  if (again != first) __builtin_trap();
}

// Valid UTF-8 of characters from U+0020..U+9FFF and the full-width forms, two input bytes each.
std::string JapaneseText(const uint8_t* data, size_t size) {
  std::string s;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const unsigned v = data[i] << 8 | data[i + 1];
    const unsigned cp = v < 0x0400 ? 0x20 + v % 0x5F : v < 0x0800 ? 0xFF01 + v % 0x9E : 0x3000 + v % 0x7000;
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xC0 | cp >> 6);
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      s += static_cast<char>(0xE0 | cp >> 12);
      s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckStable(std::string_view(reinterpret_cast<const char*>(data), size));
  CheckStable(JapaneseText(data, size));
  return 0;
}
