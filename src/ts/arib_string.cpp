#include "ts/arib_string.h"

namespace pelkan {
namespace {

// Graphic sets a register can hold.
enum CharSet : uint8_t {
  kKanji = 0,
  kAlphanumeric = 1,
  kHiragana = 2,
  kKatakana = 3,
  kMosaicA = 4,
  kMosaicB = 5,
  kMosaicC = 6,
  kMosaicD = 7,
  kPropAlphanumeric = 8,
  kPropHiragana = 9,
  kPropKatakana = 10,
  kJisX0201Katakana = 11,
  kJisKanjiPlane1 = 12,
  kJisKanjiPlane2 = 13,
  kAdditionalSymbols = 14,
  kNoSet = 0xFF,
};

// The set selected by the final byte of a designation, or kNoSet (the register keeps its set).
CharSet SetFromFinal(uint8_t f) {
  switch (f) {
    case 0x42: return kKanji;
    case 0x4A: return kAlphanumeric;
    case 0x30: return kHiragana;
    case 0x31: return kKatakana;
    case 0x32: return kMosaicA;
    case 0x33: return kMosaicB;
    case 0x34: return kMosaicC;
    case 0x35: return kMosaicD;
    case 0x36: return kPropAlphanumeric;
    case 0x37: return kPropHiragana;
    case 0x38: return kPropKatakana;
    case 0x49: return kJisX0201Katakana;
    case 0x39: return kJisKanjiPlane1;
    case 0x3A: return kJisKanjiPlane2;
    case 0x3B: return kAdditionalSymbols;
    default: return kNoSet;
  }
}

// Shift-JIS codes of the one-byte sets, indexed by the 7-bit character code.
constexpr uint16_t kAlphanumericTable[128] = {
    0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140,
    0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140,
    0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140,
    0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140,
    0x8140, 0x8149, 0x8168, 0x8194, 0x8190, 0x8193, 0x8195, 0x8166,
    0x8169, 0x816A, 0x8196, 0x817B, 0x8143, 0x817C, 0x8144, 0x815E,
    0x824F, 0x8250, 0x8251, 0x8252, 0x8253, 0x8254, 0x8255, 0x8256,
    0x8257, 0x8258, 0x8146, 0x8147, 0x8183, 0x8181, 0x8184, 0x8148,
    0x8197, 0x8260, 0x8261, 0x8262, 0x8263, 0x8264, 0x8265, 0x8266,
    0x8267, 0x8268, 0x8269, 0x826A, 0x826B, 0x826C, 0x826D, 0x826E,
    0x826F, 0x8270, 0x8271, 0x8272, 0x8273, 0x8274, 0x8275, 0x8276,
    0x8277, 0x8278, 0x8279, 0x816D, 0x818F, 0x816E, 0x814F, 0x8151,
    0x8140, 0x8281, 0x8282, 0x8283, 0x8284, 0x8285, 0x8286, 0x8287,
    0x8288, 0x8289, 0x828A, 0x828B, 0x828C, 0x828D, 0x828E, 0x828F,
    0x8290, 0x8291, 0x8292, 0x8293, 0x8294, 0x8295, 0x8296, 0x8297,
    0x8298, 0x8299, 0x829A, 0x816F, 0x8162, 0x8170, 0x8150, 0x8140,
};
constexpr uint16_t kHiraganaTable[128] = {
    0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140,
    0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140,
    0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140,
    0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140,
    0x8140, 0x829F, 0x82A0, 0x82A1, 0x82A2, 0x82A3, 0x82A4, 0x82A5,
    0x82A6, 0x82A7, 0x82A8, 0x82A9, 0x82AA, 0x82AB, 0x82AC, 0x82AD,
    0x82AE, 0x82AF, 0x82B0, 0x82B1, 0x82B2, 0x82B3, 0x82B4, 0x82B5,
    0x82B6, 0x82B7, 0x82B8, 0x82B9, 0x82BA, 0x82BB, 0x82BC, 0x82BD,
    0x82BE, 0x82BF, 0x82C0, 0x82C1, 0x82C2, 0x82C3, 0x82C4, 0x82C5,
    0x82C6, 0x82C7, 0x82C8, 0x82C9, 0x82CA, 0x82CB, 0x82CC, 0x82CD,
    0x82CE, 0x82CF, 0x82D0, 0x82D1, 0x82D2, 0x82D3, 0x82D4, 0x82D5,
    0x82D6, 0x82D7, 0x82D8, 0x82D9, 0x82DA, 0x82DB, 0x82DC, 0x82DD,
    0x82DE, 0x82DF, 0x82E0, 0x82E1, 0x82E2, 0x82E3, 0x82E4, 0x82E5,
    0x82E6, 0x82E7, 0x82E8, 0x82E9, 0x82EA, 0x82EB, 0x82EC, 0x82ED,
    0x82EE, 0x82EF, 0x82F0, 0x82F1, 0x8140, 0x8140, 0x8140, 0x8154,
    0x8155, 0x815B, 0x8142, 0x8175, 0x8176, 0x8141, 0x8145, 0x8140,
};
constexpr uint16_t kKatakanaTable[128] = {
    0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140,
    0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140,
    0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140,
    0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140, 0x8140,
    0x8140, 0x8340, 0x8341, 0x8342, 0x8343, 0x8344, 0x8345, 0x8346,
    0x8347, 0x8348, 0x8349, 0x834A, 0x834B, 0x834C, 0x834D, 0x834E,
    0x834F, 0x8350, 0x8351, 0x8352, 0x8353, 0x8354, 0x8355, 0x8356,
    0x8357, 0x8358, 0x8359, 0x835A, 0x835B, 0x835C, 0x835D, 0x835E,
    0x835F, 0x8360, 0x8361, 0x8362, 0x8363, 0x8364, 0x8365, 0x8366,
    0x8367, 0x8368, 0x8369, 0x836A, 0x836B, 0x836C, 0x836D, 0x836E,
    0x836F, 0x8370, 0x8371, 0x8372, 0x8373, 0x8374, 0x8375, 0x8376,
    0x8377, 0x8378, 0x8379, 0x837A, 0x837B, 0x837C, 0x837D, 0x837E,
    0x8380, 0x8381, 0x8382, 0x8383, 0x8384, 0x8385, 0x8386, 0x8387,
    0x8388, 0x8389, 0x838A, 0x838B, 0x838C, 0x838D, 0x838E, 0x838F,
    0x8390, 0x8391, 0x8392, 0x8393, 0x8394, 0x8395, 0x8396, 0x8152,
    0x8153, 0x815B, 0x8142, 0x8175, 0x8176, 0x8141, 0x8145, 0x8140,
};

class Decoder {
 public:
  Decoder(const uint8_t* src, uint32_t length, char* dest, uint32_t dest_size)
      : src_(src), length_(length), dest_(dest), dest_size_(dest ? dest_size : 0) {}

  void Run() {
    uint32_t i = 0;
    while (i < length_ && src_[i] != 0x00) {
      const uint8_t b = src_[i];
      uint32_t used;
      if (b >= 0x21 && b <= 0x7E) {
        used = Character(g_[gl_], i, 0x00);
      } else if (b >= 0xA1) {
        used = Character(g_[gr_], i, 0x80);
      } else if (b >= 0x7F) {
        used = 1;  // DEL and C1 codes are not interpreted
      } else if (b == 0x0F) {
        gl_ = 0;
        used = 1;
      } else if (b == 0x0E) {
        gl_ = 1;
        used = 1;
      } else if (b == 0x19 || b == 0x1D) {
        // Single shift: the next character comes from G2 / G3, read as a GL code.
        const uint32_t n = i + 1 < length_ ? Character(g_[b == 0x19 ? 2 : 3], i + 1, 0x00) : 0;
        used = n == 0 ? 0 : 1 + n;
      } else if (b == 0x1B) {
        used = Escape(i);
      } else {
        used = 1;  // other C0 codes, SP included, produce nothing
      }
      if (used == 0) break;  // a sequence cut off by the end of the source ends the text
      i += used;
    }
    if (dest_size_ > 0) dest_[pos_ < dest_size_ ? pos_ : dest_size_ - 1] = '\0';
  }

 private:
  // Converts the character starting at src_[i] in set `set`; returns the bytes it takes, 0 when cut off.
  uint32_t Character(uint8_t set, uint32_t i, int offset) {
    switch (set) {
      case kKanji:
      case kJisKanjiPlane1:
      case kJisKanjiPlane2: {
        if (i + 1 >= length_) return 0;
        const int c1 = src_[i] - offset;
        const int c2 = src_[i + 1] - offset;
        const int lead = (c1 + 1) / 2 + (c1 < 0x5F ? 0x70 : 0xB0);
        int trail = c2 + ((c1 & 1) ? 0x1F : 0x7D);
        if (trail > 0x7E) ++trail;
        Write(static_cast<uint16_t>((lead & 0xFF) << 8 | (trail & 0xFF)));
        return 2;
      }
      case kAlphanumeric:
      case kHiragana:
      case kKatakana: {
        const int code = src_[i] - offset;
        // A single-shifted byte of 0x80 or above has no entry: it is consumed and produces nothing.
        if (code >= 0 && code < 128) {
          const uint16_t* table = set == kAlphanumeric ? kAlphanumericTable
                                  : set == kHiragana   ? kHiraganaTable
                                                       : kKatakanaTable;
          Write(table[code]);
        }
        return 1;
      }
      case kAdditionalSymbols:
        return i + 1 < length_ ? 2 : 0;
      default:
        return 1;
    }
  }

  // Handles the escape sequence at src_[i]; returns its length, 0 when cut off by the end.
  uint32_t Escape(uint32_t i) {
    const uint32_t left = length_ - i;  // bytes from ESC on
    auto at = [&](uint32_t k) { return src_[i + k]; };
    if (left < 2) return 0;
    const uint8_t s1 = at(1);
    switch (s1) {
      case 0x6E: gl_ = 2; return 2;
      case 0x6F: gl_ = 3; return 2;
      case 0x7E: gr_ = 1; return 2;
      case 0x7D: gr_ = 2; return 2;
      case 0x7C: gr_ = 3; return 2;
      default: break;
    }
    if (s1 >= 0x28 && s1 <= 0x2B) {
      if (left < 3) return 0;
      if (at(2) != 0x20) {
        Designate(s1 - 0x28, at(2));
        return 3;
      }
      if (left < 4) return 0;
      Designate(s1 - 0x28, at(3));
      return 4;
    }
    if (s1 == 0x24) {
      if (left < 3) return 0;
      const uint8_t s2 = at(2);
      if (s2 < 0x28 || s2 > 0x2B) {
        Designate(0, s2);
        return 3;
      }
      if (left < 4) return 0;
      const uint8_t s3 = at(3);
      if (s3 == 0x20) {
        if (left < 5) return 0;
        Designate(s2 - 0x28, at(4));
        return 5;
      }
      if (s2 == 0x28) return 2;  // only ESC 0x24 is taken; what follows is read as characters
      Designate(s2 - 0x28, s3);
      return 4;
    }
    return 2;  // any other escape is ignored
  }

  void Designate(int reg, uint8_t final_byte) {
    const CharSet set = SetFromFinal(final_byte);
    if (set != kNoSet) g_[reg] = set;
  }

  // Writes a two-byte character while it leaves room for the terminator; otherwise drops it.
  void Write(uint16_t sjis) {
    if (pos_ + 3 < dest_size_) {
      dest_[pos_] = static_cast<char>(sjis >> 8);
      dest_[pos_ + 1] = static_cast<char>(sjis & 0xFF);
      pos_ += 2;
    }
  }

  const uint8_t* src_;
  const uint32_t length_;
  char* dest_;
  const uint32_t dest_size_;
  uint8_t g_[4] = {kKanji, kAlphanumeric, kHiragana, kKatakana};
  int gl_ = 0;
  int gr_ = 2;
  uint32_t pos_ = 0;
};

}  // namespace

void DecodeAribString(const uint8_t* src, uint32_t src_length, char* dest, uint32_t dest_size) {
  if (src == nullptr) src_length = 0;
  Decoder(src, src_length, dest, dest_size).Run();
}

}  // namespace pelkan
