#include "guide/broadcast_text.h"

#include "platform/broadcast_text.h"

namespace pelkan {

std::string BroadcastTextUtf8(std::string_view sjis, bool plain_symbols) {
  return platform::BroadcastToUtf8(sjis, plain_symbols ? platform::SymbolForm::kPlain : platform::SymbolForm::kSymbols);
}

}  // namespace pelkan
