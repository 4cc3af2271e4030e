#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "schedule/recording_writer.h"

namespace pelkan {

// RecordingWriter over a plain file: bytes are gathered into blocks of `block_size` and each full
// block is written at once; the rest is written when the writer is destroyed (which closes the
// file). A failed write is counted and the writer stops writing (the file keeps what it had).
class BlockFileWriter : public RecordingWriter {
 public:
  explicit BlockFileWriter(uint32_t block_size = 0x100000);
  ~BlockFileWriter() override;
  BlockFileWriter(const BlockFileWriter&) = delete;
  BlockFileWriter& operator=(const BlockFileWriter&) = delete;

  bool Open(const std::string& path) override;
  void Write(const uint8_t* data, uint32_t length) override;
  uint64_t BytesWritten() const override { return bytes_written_.load(std::memory_order_relaxed); }
  uint64_t FreeSpace() const override;
  // Number of failed writes (the writer stops after the first).
  uint32_t WriteErrors() const { return write_errors_.load(std::memory_order_relaxed); }

 private:
  void Flush();

  const uint32_t block_size_;
  int fd_ = -1;
  std::string path_;
  std::unique_ptr<uint8_t[]> block_;
  uint32_t used_ = 0;
  std::atomic<uint64_t> bytes_written_{0};
  std::atomic<uint32_t> write_errors_{0};
};

}  // namespace pelkan
