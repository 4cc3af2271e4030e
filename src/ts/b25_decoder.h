#pragma once

#include <cstdint>

namespace pelkan {

// The outside stream decoder: an object created by the `CreateB25Decoder` export of the plugin
// B25Decoder.so. The processor passes every aligned packet through Decode and processes what comes
// back instead. Initialize runs on the UI thread at connect; every other call comes from the
// processing thread, one at a time. The order of the virtual functions is part of the plugin ABI.
class B25Decoder {
 public:
  // Prepares the decoder (the program passes 4). Returns non-zero when ready.
  virtual int Initialize(int param) = 0;
  // Ends the object's use; it may free itself.
  virtual void Release() = 0;
  // Takes one packet; when it returns non-zero, *out/*out_length hold bytes to process now (whole
  // packets of the input's size, possibly none). The bytes stay valid until the next call.
  virtual int Decode(const uint8_t* data, int length, uint8_t** out, int* out_length) = 0;
  // Returns the bytes still held back, as Decode does.
  virtual int Flush(uint8_t** out, int* out_length) = 0;
  // Forgets all state (a new transport stream begins).
  virtual void Reset() = 0;

 protected:
  ~B25Decoder() = default;
};

// Signature of the plugin's factory export `CreateB25Decoder`: a new object, or null on failure.
using CreateB25DecoderFn = B25Decoder* (*)();

}  // namespace pelkan
