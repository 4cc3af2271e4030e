#include "output/block_file_writer.h"

namespace pelkan {

BlockFileWriter::BlockFileWriter(uint32_t block_size, ExistingFile existing)
    : recorder_(block_size), existing_(existing) {}

bool BlockFileWriter::Open(const std::string& path) {
  if (recorder_.IsRecording() || recorder_.OpenFile(path, existing_) == 0) return false;
  opened_path_ = recorder_.GetPath();
  return true;
}

void BlockFileWriter::Write(const uint8_t* data, uint32_t length) {
  recorder_.WritePacket(data, length);
}

}  // namespace pelkan
