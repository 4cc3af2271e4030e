#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pelkan::streamgen {

// Coded content of the generated elementary streams. The pictures and audio frames are real,
// decodable data (a flat grey picture, silence), so that any reader that looks inside finds valid
// syntax; they are built once per stream and repeated.

// One MPEG-2 video picture (Main profile, 4:2:0, 29.97 Hz interlaced frame pictures): a flat grey
// I picture preceded by a sequence header, sequence extension and closed GOP header, or a P picture
// whose macroblocks all repeat the previous picture. `bit_rate` goes into the sequence header.
std::vector<uint8_t> BuildMpeg2Picture(int width, int height, uint32_t bit_rate, bool intra,
                                       int temporal_reference);

// One ADTS frame of MPEG-2 AAC LC, 48 kHz stereo, carrying silence and fill elements so that the
// frame is `target_size` bytes long (at least the minimum frame of 13 bytes).
std::vector<uint8_t> BuildAdtsSilence(size_t target_size);

// CRC-16 of ARIB caption data groups (x^16 + x^12 + x^5 + 1, initial value 0).
uint16_t Crc16Ccitt(const uint8_t* data, size_t size);

// PES_data_packet of an ARIB caption stream holding caption management data (one language,
// Japanese, 8-unit code).
std::vector<uint8_t> BuildCaptionManagement();
// PES_data_packet of an ARIB caption stream holding one caption statement with `text` (UTF-8).
std::vector<uint8_t> BuildCaptionStatement(const std::string& text);

}  // namespace pelkan::streamgen
