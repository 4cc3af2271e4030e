#include "platform/text_codec.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace pelkan::platform {
namespace {

// One direction's iconv converter of a thread, opened at its first use and kept: opening one
// costs more than converting a programme's texts.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t cd() const { return cd_; }

 private:
  iconv_t cd_;
};

// Converts with iconv; at a sequence that does not convert, appends `replacement` and skips
// `skip` bytes of input (the length of one input character, as far as it can be told).
template <typename SkipFn>
std::string Convert(const Converter& converter, std::string_view in, std::string_view replacement, SkipFn skip) {
  std::string out;
  iconv_t cd = converter.cd();
  if (!converter.ok()) {
    // Without the converter, keep plain ASCII and mark everything else.
    for (unsigned char c : in) out += c < 0x80 ? std::string(1, static_cast<char>(c)) : std::string(replacement);
    return out;
  }
  out.reserve(in.size() * 3 / 2 + 4);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char buf[1024];
  char* src = const_cast<char*>(in.data());
  size_t left = in.size();
  while (left > 0) {
    char* dst = buf;
    size_t room = sizeof(buf);
    const size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buf, static_cast<size_t>(dst - buf));
    if (r != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL (cut off at the end): replace one character and go on after it.
    out += replacement;
    const size_t n = skip(reinterpret_cast<const unsigned char*>(src), left);
    src += n;
    left -= n;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

}  // namespace

std::string SjisToUtf8(std::string_view sjis) {
  thread_local const Converter converter("UTF-8", "CP932");
  return Convert(converter, sjis, "\xEF\xBF\xBD", [](const unsigned char* p, size_t left) -> size_t {
    // A lead byte with a trail byte is one character even when CP932 has none there: going on
    // after the lead byte alone would read the trail byte as the start of another character.
    return SjisCharLength(std::string_view(reinterpret_cast<const char*>(p), left), 0);
  });
}

size_t SjisCharLength(std::string_view sjis, size_t i) {
  if (i + 1 >= sjis.size()) return 1;
  const auto lead = static_cast<unsigned char>(sjis[i]);
  const auto trail = static_cast<unsigned char>(sjis[i + 1]);
  const bool is_lead = (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC);
  return is_lead && trail >= 0x40 && trail <= 0xFC && trail != 0x7F ? 2 : 1;
}

std::string Utf8ToSjis(std::string_view utf8) {
  thread_local const Converter converter("CP932", "UTF-8");
  return Convert(converter, utf8, "?", [](const unsigned char* p, size_t left) -> size_t {
    // Skip one whole UTF-8 character when its lead byte tells its length and it is all there.
    size_t n = 1;
    if ((p[0] & 0xE0) == 0xC0) n = 2;
    else if ((p[0] & 0xF0) == 0xE0) n = 3;
    else if ((p[0] & 0xF8) == 0xF0) n = 4;
    if (n > left) return 1;
    for (size_t i = 1; i < n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return 1;
    }
    return n;
  });
}

std::optional<std::string> Utf8ToSjisExact(std::string_view utf8) {
  std::string sjis = Utf8ToSjis(utf8);
  if (SjisToUtf8(sjis) != utf8) return std::nullopt;
  return sjis;
}

}  // namespace pelkan::platform
