#include "streamgen/elementary_streams.h"

#include <algorithm>

#include "streamgen/arib_encoder.h"
#include "streamgen/bit_writer.h"

namespace pelkan::streamgen {
namespace {

void StartCode(BitWriter& w, uint8_t code) {
  w.AlignZero();
  w.Put(0x000001, 24);
  w.Put(code, 8);
}

// macroblock_address_increment codes 1..33 (ISO/IEC 13818-2 table B-1): {code, length}.
constexpr uint16_t kMbaCode[34][2] = {
    {0, 0},      {0x1, 1},    {0x3, 3},    {0x2, 3},    {0x3, 4},    {0x2, 4},    {0x3, 5},
    {0x2, 5},    {0x7, 7},    {0x6, 7},    {0xB, 8},    {0xA, 8},    {0x9, 8},    {0x8, 8},
    {0x7, 8},    {0x6, 8},    {0x17, 10},  {0x16, 10},  {0x15, 10},  {0x14, 10},  {0x13, 10},
    {0x12, 10},  {0x23, 11},  {0x22, 11},  {0x21, 11},  {0x20, 11},  {0x1F, 11},  {0x1E, 11},
    {0x1D, 11},  {0x1C, 11},  {0x1B, 11},  {0x1A, 11},  {0x19, 11},  {0x18, 11},
};

void PutAddressIncrement(BitWriter& w, int increment) {
  while (increment > 33) {
    w.Put(0x008, 11);  // macroblock_escape: +33
    increment -= 33;
  }
  w.Put(kMbaCode[increment][0], kMbaCode[increment][1]);
}

}  // namespace

std::vector<uint8_t> BuildMpeg2Picture(int width, int height, uint32_t bit_rate, bool intra,
                                       int temporal_reference) {
  BitWriter w;
  const int mb_width = (width + 15) / 16;
  const int mb_height = (height + 15) / 16;
  if (intra) {
    StartCode(w, 0xB3);  // sequence_header
    w.Put(static_cast<uint32_t>(width), 12);
    w.Put(static_cast<uint32_t>(height), 12);
    w.Put(3, 4);  // aspect_ratio_information 16:9
    w.Put(4, 4);  // frame_rate_code 30000/1001
    const uint32_t rate_units = std::min<uint32_t>((bit_rate + 399) / 400, 0x3FFFF);
    w.Put(rate_units, 18);
    w.Put(1, 1);    // marker_bit
    w.Put(448, 10); // vbv_buffer_size_value (x 16 kbit)
    w.Put(0, 1);    // constrained_parameters_flag
    w.Put(0, 1);    // load_intra_quantiser_matrix
    w.Put(0, 1);    // load_non_intra_quantiser_matrix
    StartCode(w, 0xB5);  // sequence_extension
    w.Put(1, 4);
    w.Put(0x46, 8);  // Main profile, High-1440 level
    w.Put(0, 1);     // progressive_sequence
    w.Put(1, 2);     // chroma_format 4:2:0
    w.Put(0, 2);
    w.Put(0, 2);
    w.Put(0, 12);    // bit_rate_extension
    w.Put(1, 1);
    w.Put(0, 8);     // vbv_buffer_size_extension
    w.Put(0, 1);     // low_delay
    w.Put(0, 2);
    w.Put(0, 5);
    StartCode(w, 0xB8);  // group_of_pictures_header
    w.Put(0, 1);         // drop_frame_flag
    w.Put(0, 5);
    w.Put(0, 6);
    w.Put(1, 1);         // marker_bit
    w.Put(0, 6);
    w.Put(0, 6);
    w.Put(1, 1);         // closed_gop
    w.Put(0, 1);         // broken_link
  }
  StartCode(w, 0x00);  // picture_header
  w.Put(static_cast<uint32_t>(temporal_reference) & 0x3FF, 10);
  w.Put(intra ? 1 : 2, 3);
  w.Put(0xFFFF, 16);  // vbv_delay: not given
  if (!intra) {
    w.Put(0, 1);  // full_pel_forward_vector
    w.Put(7, 3);  // forward_f_code
  }
  w.Put(0, 1);  // extra_bit_picture
  StartCode(w, 0xB5);  // picture_coding_extension
  w.Put(8, 4);
  w.Put(intra ? 0xF : 1, 4);
  w.Put(intra ? 0xF : 1, 4);
  w.Put(0xF, 4);
  w.Put(0xF, 4);
  w.Put(0, 2);  // intra_dc_precision 8 bits
  w.Put(3, 2);  // frame picture
  w.Put(1, 1);  // top_field_first
  w.Put(1, 1);  // frame_pred_frame_dct
  w.Put(0, 1);  // concealment_motion_vectors
  w.Put(0, 1);  // q_scale_type
  w.Put(0, 1);  // intra_vlc_format
  w.Put(0, 1);  // alternate_scan
  w.Put(0, 1);  // repeat_first_field
  w.Put(0, 1);  // chroma_420_type
  w.Put(0, 1);  // progressive_frame
  w.Put(0, 1);  // composite_display_flag
  for (int row = 0; row < mb_height; ++row) {
    StartCode(w, static_cast<uint8_t>(row + 1));  // slice
    w.Put(8, 5);  // quantiser_scale_code
    w.Put(0, 1);  // extra_bit_slice
    if (intra) {
      // Every macroblock intra with DC = the predictor's reset value (mid grey), no AC.
      for (int mb = 0; mb < mb_width; ++mb) {
        w.Put(1, 1);  // address increment 1
        w.Put(1, 1);  // macroblock_type: intra
        for (int b = 0; b < 4; ++b) {
          w.Put(0x4, 3);  // dct_dc_size_luminance 0
          w.Put(0x2, 2);  // end of block
        }
        for (int b = 0; b < 2; ++b) {
          w.Put(0x0, 2);  // dct_dc_size_chrominance 0
          w.Put(0x2, 2);  // end of block
        }
      }
    } else {
      // First and last macroblock: forward prediction with a zero vector and no residual; the
      // macroblocks between are skipped (copied from the reference).
      auto copy_macroblock = [&w] {
        w.Put(1, 3);  // macroblock_type: MC, not coded
        w.Put(1, 1);  // motion_code 0 (horizontal)
        w.Put(1, 1);  // motion_code 0 (vertical)
      };
      PutAddressIncrement(w, 1);
      copy_macroblock();
      if (mb_width > 1) {
        PutAddressIncrement(w, mb_width - 1);
        copy_macroblock();
      }
    }
  }
  w.AlignZero();
  return w.Take();
}

std::vector<uint8_t> BuildAdtsSilence(size_t target_size) {
  BitWriter raw;
  // channel_pair_element with a common window, no scale factor bands: silence.
  raw.Put(1, 3);    // ID_CPE
  raw.Put(0, 4);    // element_instance_tag
  raw.Put(1, 1);    // common_window
  raw.Put(0, 1);    // ics_reserved_bit
  raw.Put(0, 2);    // ONLY_LONG_SEQUENCE
  raw.Put(0, 1);    // window_shape
  raw.Put(0, 6);    // max_sfb
  raw.Put(0, 1);    // predictor_data_present
  raw.Put(0, 2);    // ms_mask_present
  for (int ch = 0; ch < 2; ++ch) {
    raw.Put(100, 8);  // global_gain
    raw.Put(0, 1);    // pulse_data_present
    raw.Put(0, 1);    // tns_data_present
    raw.Put(0, 1);    // gain_control_data_present
  }
  // Fill elements up to the requested size.
  const size_t target_bits = target_size > 7 ? (target_size - 7) * 8 : 0;
  while (true) {
    const size_t used = raw.BitCount() + 3;  // + ID_END
    if (target_bits < used + 7 + 8 * 2) break;
    size_t room = (target_bits - used - 7) / 8;  // bytes available for one element's payload
    size_t count = std::min<size_t>(room, 269);
    bool escape = count >= 15;
    if (escape && target_bits < used + 15 + 8 * count) count = (target_bits - used - 15) / 8;
    escape = count >= 15;
    if (count < 1) break;
    raw.Put(6, 3);  // ID_FIL
    if (escape) {
      raw.Put(15, 4);
      raw.Put(static_cast<uint32_t>(count - 15 + 1), 8);
    } else {
      raw.Put(static_cast<uint32_t>(count), 4);
    }
    raw.Put(0, 4);  // extension_type EXT_FILL
    raw.Put(0, 4);  // fill_nibble
    for (size_t i = 1; i < count; ++i) raw.Put(0xA5, 8);
  }
  raw.Put(7, 3);  // ID_END
  raw.AlignZero();

  const size_t frame_length = 7 + raw.ByteCount();
  BitWriter w;
  w.Put(0xFFF, 12);  // syncword
  w.Put(1, 1);       // ID: MPEG-2
  w.Put(0, 2);       // layer
  w.Put(1, 1);       // protection_absent
  w.Put(1, 2);       // profile: LC
  w.Put(3, 4);       // sampling_frequency_index: 48 kHz
  w.Put(0, 1);       // private_bit
  w.Put(2, 3);       // channel_configuration: stereo
  w.Put(0, 1);       // original_copy
  w.Put(0, 1);       // home
  w.Put(0, 1);       // copyright_identification_bit
  w.Put(0, 1);       // copyright_identification_start
  w.Put(static_cast<uint32_t>(frame_length), 13);
  w.Put(0x7FF, 11);  // adts_buffer_fullness: variable rate
  w.Put(0, 2);       // one raw_data_block
  w.PutBytes(raw.bytes().data(), raw.ByteCount());
  return w.Take();
}

uint16_t Crc16Ccitt(const uint8_t* data, size_t size) {
  uint16_t crc = 0;
  for (size_t i = 0; i < size; ++i) {
    crc ^= static_cast<uint16_t>(data[i] << 8);
    for (int b = 0; b < 8; ++b) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

namespace {

// Wraps caption data (management or statement) into a data group and a PES_data_packet.
std::vector<uint8_t> CaptionPesData(uint8_t data_group_id, const std::vector<uint8_t>& group_data) {
  BitWriter w;
  w.Put(0x80, 8);  // data_identifier: synchronised PES
  w.Put(0xFF, 8);  // private_stream_id
  w.Put(0xF0, 8);  // PES_data_packet_header_length 0
  w.Put(static_cast<uint32_t>(data_group_id) << 2, 8);  // data_group_version 0
  w.Put(0, 8);     // data_group_link_number
  w.Put(0, 8);     // last_data_group_link_number
  w.Put(static_cast<uint32_t>(group_data.size()), 16);
  w.PutBytes(group_data.data(), group_data.size());
  const uint16_t crc = Crc16Ccitt(w.bytes().data() + 3, w.ByteCount() - 3);
  w.Put(crc, 16);
  return w.Take();
}

}  // namespace

std::vector<uint8_t> BuildCaptionManagement() {
  const std::vector<uint8_t> data = {
      0x3F,              // TMD free
      0x01,              // num_languages
      0x00 | 0x10 | 0x0, // language_tag 0, DMF: shown automatically on reception
      'j',  'p', 'n',
      0x80,              // format: horizontal 960x540, 8-unit code, no roll-up
      0x00, 0x00, 0x00,  // no data units
  };
  return CaptionPesData(0x00, data);
}

std::vector<uint8_t> BuildCaptionStatement(const std::string& text) {
  const std::string code = EncodeAribString(text);
  const size_t unit_size = code.size();
  const size_t loop = 5 + unit_size;
  std::vector<uint8_t> data = {
      0x3F,  // TMD free
      static_cast<uint8_t>(loop >> 16), static_cast<uint8_t>(loop >> 8), static_cast<uint8_t>(loop),
      0x1F,  // unit_separator
      0x20,  // data_unit_parameter: statement body
      static_cast<uint8_t>(unit_size >> 16), static_cast<uint8_t>(unit_size >> 8),
      static_cast<uint8_t>(unit_size),
  };
  data.insert(data.end(), code.begin(), code.end());
  return CaptionPesData(0x01, data);
}

}  // namespace pelkan::streamgen
