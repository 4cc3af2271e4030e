#pragma once

#include <cstdint>
#include <string>

#include "platform/text_codec.h"

namespace pelkan {

// Why a recording stopped on its own, manual or scheduled (Shift-JIS message texts).
namespace status_text {
inline const std::string kLowDiskStop = platform::Sjis("録画先ディスク容量が少ないので録画停止しました。");
inline const std::string kWriteErrorStop = platform::Sjis("録画ファイルに書き込めないので録画停止しました。");
}  // namespace status_text

// Free space at or below which a recording is stopped (200 MiB).
inline constexpr uint64_t kLowDiskLimit = 0xC800000;

}  // namespace pelkan
