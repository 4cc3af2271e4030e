#include "ts/packet_aligner.h"

namespace pelkan {

uint32_t PacketAligner::FindSync(const uint8_t* w, uint32_t* offset) {
  for (uint32_t i = 0; i < kSearchSpan; ++i) {
    if (w[i] != kSyncByte) continue;
    uint32_t size = 0;
    if (w[i + 188] == kSyncByte && w[i + 376] == kSyncByte) {
      size = 188;
    } else if (w[i + 192] == kSyncByte && w[i + 384] == kSyncByte) {
      size = 192;
    } else if (w[i + 204] == kSyncByte && w[i + 408] == kSyncByte) {
      size = 204;
    }
    if (size) {
      *offset = i;
      return size;
    }
  }
  return 0;
}

}  // namespace pelkan
