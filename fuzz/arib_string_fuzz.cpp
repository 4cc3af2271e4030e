// Fuzz target: DecodeAribString with random source bytes and a destination size taken from the input,
// and the broadcast-text reading of its result and of the raw bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/broadcast_text.h"
#include "ts/arib_string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t dest_size = data[0] % 200;
  // Exact-size copies so that the sanitizer sees any read or write past either buffer.
  std::unique_ptr<uint8_t[]> src(new uint8_t[size - 1]);
  if (size > 1) std::memcpy(src.get(), data + 1, size - 1);
  std::unique_ptr<char[]> dest(new char[dest_size == 0 ? 1 : dest_size]);
  pelkan::DecodeAribString(src.get(), static_cast<uint32_t>(size - 1), dest_size == 0 ? nullptr : dest.get(), dest_size);
  if (dest_size > 0) {
    const size_t len = strnlen(dest.get(), dest_size);
    // Always terminated inside the destination, with room left as the writing rule promises.
    // (Invalid kanji codes may yield a 0x00 byte, so the length is not always even.)
    if (len >= dest_size || (dest_size >= 2 && len > dest_size - 2)) __builtin_trap();
    // The text as shown, stored again unchanged, gives back the very same bytes.
    const std::string_view text(dest.get(), len);
    if (pelkan::platform::Utf8ToBroadcast(pelkan::platform::BroadcastToUtf8(text), text) != text) __builtin_trap();
    (void)pelkan::platform::BroadcastToPlainSjis(text);
  }
  // The same for raw bytes, which need not be what the decoder makes.
  const std::string_view raw(reinterpret_cast<const char*>(src.get()), size - 1);
  if (pelkan::platform::Utf8ToBroadcast(pelkan::platform::BroadcastToUtf8(raw), raw) != raw) __builtin_trap();
  (void)pelkan::platform::Utf8ToBroadcast(raw);
  return 0;
}
