#include "info/broadcast_text.h"

#include "platform/text_codec.h"

namespace pelkan {

std::string BroadcastTextUtf8(std::string_view sjis, bool /*plain_symbols*/) {
  return platform::SjisToUtf8(sjis);
}

}  // namespace pelkan
