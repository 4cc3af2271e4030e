#pragma once

#include <cstdint>
#include <string>

namespace pelkan {

// The file of one scheduled recording, as the scheduler sees it. Implementations: BlockFileWriter
// (plain file written in large blocks) or an adapter over the application's file recorder.
// Called by the scheduler under its lock: Open and destruction on the UI thread, Write on the
// processing thread.
class RecordingWriter {
 public:
  virtual ~RecordingWriter() = default;
  // Creates or truncates the file at `path` (a file-system path, UTF-8). True on success.
  virtual bool Open(const std::string& path) = 0;
  // Appends bytes; failures are counted by the implementation, never thrown.
  virtual void Write(const uint8_t* data, uint32_t length) = 0;
  // Bytes accepted by Write so far.
  virtual uint64_t BytesWritten() const = 0;
  // Free bytes on the file's volume (0 when unknown).
  virtual uint64_t FreeSpace() const = 0;
};

}  // namespace pelkan
