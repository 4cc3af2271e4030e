#pragma once

#include <cstdint>
#include <string>

#include "output/recording_file.h"

namespace pelkan {

class FileRecorder;

// The file of one recording, as its Recording sees it. Implementations: BlockFileWriter (the file
// recorder's block writing) or test fakes. Open, Finish and destruction run on the owner's thread
// (UI or main loop), Write on the processing thread; the owner keeps the two apart.
class RecordingWriter {
 public:
  virtual ~RecordingWriter() = default;
  // Creates the file at `path` (a file-system path, UTF-8); an existing recording of that name is
  // never replaced: the file then gets the next free name. True on success; on failure errno tells
  // why.
  virtual bool Open(const std::string& path) = 0;
  // What Open does with an existing regular file of the name.
  virtual ExistingFile Existing() const { return ExistingFile::kNextFreeName; }
  // The path actually created (UTF-8); "" means the path given to Open.
  virtual std::string OpenedPath() const { return std::string(); }
  // Appends bytes; failures are kept by the implementation (WriteError), never thrown.
  virtual void Write(const uint8_t* data, uint32_t length) = 0;
  // Appends `length` bytes of whole packets of `packet_size` bytes one after another: by default
  // each one Write, as it would come alone.
  virtual void WritePackets(const uint8_t* data, uint32_t length, uint32_t packet_size) {
    for (uint32_t at = 0; packet_size > 0 && at + packet_size <= length; at += packet_size) {
      Write(data + at, packet_size);
    }
  }
  // Processing thread: the stream breaks off after the bytes written so far (the tuner was away);
  // a checker restarts its continuity there. Returns the file offset of the break.
  virtual uint64_t MarkGap() { return BytesWritten(); }
  // Bytes written to the file so far.
  virtual uint64_t BytesWritten() const = 0;
  // Free bytes on the file's volume (0 when unknown).
  virtual uint64_t FreeSpace() const = 0;
  // errno of the free-space query of the file's folder (ENOENT when the folder was removed); 0 while
  // the folder can be reached.
  virtual int FolderError() const { return 0; }
  // errno of the first failed write (the writer writes nothing after it); 0 while none failed.
  virtual int WriteError() const { return 0; }
  // Writes what is still buffered and closes the file. False when a write failed (now or earlier).
  virtual bool Finish() { return WriteError() == 0; }
  // The recorder that writes the file and checks its packets (for the recording's report); null
  // when the writer has none (no report is made then).
  virtual const FileRecorder* Recorder() const { return nullptr; }
};

}  // namespace pelkan
