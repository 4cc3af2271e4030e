#include "ts/loaded_decoder.h"

namespace pelkan {

LoadedDecoder::~LoadedDecoder() {
  Release();
}

LoadedDecoder::Failure LoadedDecoder::Load(const std::function<std::unique_ptr<B25Library>()>& make,
                                           std::string* error) {
  Release();
  library_ = make ? make() : nullptr;
  if (!library_ || !library_->Load()) {
    *error = std::string(B25Library::kFileName) + " not found" +
             (library_ && !library_->GetError().empty() ? ": " + library_->GetError() : "");
    Release();
    return Failure::kLibraryMissing;
  }
  Failure failure = Failure::kNone;
  CreateB25DecoderFn create = library_->GetFactory();
  if (create == nullptr) {
    *error = std::string(B25Library::kFactoryName) + " is not exported by the decoder library";
    failure = Failure::kOther;
  } else if ((decoder_ = create()) == nullptr) {
    *error = "the decoder library made no decoder";
    failure = Failure::kOther;
  } else if (decoder_->Initialize(4) == 0) {
    *error = "the decoder failed to initialise (card error)";
    failure = Failure::kCardError;
  }
  if (failure != Failure::kNone) Release();
  return failure;
}

void LoadedDecoder::Release() {
  if (decoder_ != nullptr) {
    decoder_->Release();
    decoder_ = nullptr;
  }
  if (library_) {
    library_->Unload();
    library_.reset();
  }
}

}  // namespace pelkan
