#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ts/b25_decoder.h"
#include "ts/b25_loader.h"

namespace pelkan {

// A descrambler made by the outside decoder library (B25Decoder.so), held with the library it came
// from: the object is released before its library is unloaded, whoever ends it and whenever.
class LoadedDecoder {
 public:
  // What kept a load from giving a decoder.
  enum class Failure {
    kNone,
    kLibraryMissing,  // no library could be loaded
    kCardError,       // the decoder did not initialise
    kOther,           // no factory export, or it made no decoder
  };

  LoadedDecoder() = default;
  // Release().
  ~LoadedDecoder();
  LoadedDecoder(const LoadedDecoder&) = delete;
  LoadedDecoder& operator=(const LoadedDecoder&) = delete;

  // Loads the library that `make` gives (none when it is empty), makes the decoder and initialises
  // it. On a failure nothing stays loaded and `error` tells why (English, with the dynamic linker's
  // message where there is one).
  Failure Load(const std::function<std::unique_ptr<B25Library>()>& make, std::string* error);
  // Releases the decoder object, then unloads its library.
  void Release();
  // The decoder (null until a load succeeded). The processing thread uses it.
  B25Decoder* decoder() const { return decoder_; }

 private:
  std::unique_ptr<B25Library> library_;
  B25Decoder* decoder_ = nullptr;
};

}  // namespace pelkan
