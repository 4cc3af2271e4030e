// Sample outside decoder plugin, built as B25Decoder.so. It hands every packet back unchanged,
// except packets carrying the stream generator's test scrambling, which it descrambles. It keeps
// no packets back, so Flush has nothing to return.
#include <cstring>

#include "streamgen/test_scrambler.h"
#include "ts/b25_decoder.h"

namespace {

class SampleDecoder final : public pelkan::B25Decoder {
 public:
  int Initialize(int) override { return 1; }
  void Release() override { delete this; }
  int Decode(const uint8_t* data, int length, uint8_t** out, int* out_length) override {
    if (data == nullptr || length <= 0 || length > static_cast<int>(sizeof packet_)) return 0;
    std::memcpy(packet_, data, static_cast<size_t>(length));
    pelkan::streamgen::RemoveTestScrambling(packet_, static_cast<size_t>(length));
    *out = packet_;
    *out_length = length;
    return 1;
  }
  int Flush(uint8_t** out, int* out_length) override {
    *out = nullptr;
    *out_length = 0;
    return 1;
  }
  void Reset() override {}

 private:
  uint8_t packet_[204];
};

}  // namespace

extern "C" __attribute__((visibility("default"))) pelkan::B25Decoder* CreateB25Decoder() {
  return new SampleDecoder();
}
