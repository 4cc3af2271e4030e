#pragma once

#include <string>

#include "output/file_recorder.h"
#include "output/recording_writer.h"

namespace pelkan {

// RecordingWriter over the file recorder: bytes are gathered into blocks of `block_size` and each
// full block is written at once; the rest is written by Finish or destruction (which closes the
// file). An existing file of the name is treated as `existing` says: by default it is kept and the
// recording gets the next free name. After a failed write nothing more is written (the file keeps
// what it had) and WriteError tells why.
class BlockFileWriter : public RecordingWriter {
 public:
  explicit BlockFileWriter(uint32_t block_size = 0x100000, ExistingFile existing = ExistingFile::kNextFreeName);
  ~BlockFileWriter() override = default;
  BlockFileWriter(const BlockFileWriter&) = delete;
  BlockFileWriter& operator=(const BlockFileWriter&) = delete;

  bool Open(const std::string& path) override;
  ExistingFile Existing() const override { return existing_; }
  std::string OpenedPath() const override { return opened_path_; }
  void Write(const uint8_t* data, uint32_t length) override;
  void WritePackets(const uint8_t* data, uint32_t length, uint32_t packet_size) override {
    recorder_.WritePackets(data, length, packet_size);
  }
  uint64_t MarkGap() override { return recorder_.MarkGap(); }
  uint64_t BytesWritten() const override { return recorder_.GetBytesWritten(); }
  uint64_t FreeSpace() const override { return recorder_.GetFreeSpace(); }
  int FolderError() const override {
    int error = 0;
    recorder_.GetFreeSpace(&error);
    return error;
  }
  int WriteError() const override { return recorder_.GetWriteError(); }
  bool Finish() override { return recorder_.CloseFile(); }
  const FileRecorder* Recorder() const override { return &recorder_; }

  // Replaces the free-space query (statvfs by default); for tests.
  void SetFreeSpaceQuery(FileRecorder::FreeSpaceQuery query) {
    recorder_.SetFreeSpaceQuery(std::move(query));
  }
  // Replaces the millisecond tick of the check's time stamps (platform::TickCount by default).
  void SetTickSource(std::function<uint32_t()> tick) { recorder_.SetTickSource(std::move(tick)); }

 private:
  FileRecorder recorder_;
  const ExistingFile existing_;
  std::string opened_path_;
};

}  // namespace pelkan
