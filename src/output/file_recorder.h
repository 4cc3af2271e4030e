#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "output/recording_file.h"
#include "ts/pid_checker.h"

namespace pelkan {

// Writes transport-stream packets to one file. Packets are collected in a buffer of twice the
// block size (at least 1 MiB) and written in whole blocks of `block size` bytes; the buffered tail is written
// when the file is closed, so the file holds every byte that WritePacket accepted. WritePacket runs on the
// processing thread; the other operations run on the thread that owns the recorder. The byte counter and
// the write error may be read from any thread.
//
// An existing recording is never truncated unless the caller asks for it: by default the file gets
// the next free name (GetPath tells which). After the first failed write (disk full, I/O error, the
// folder removed) the recorder writes nothing more, so the file never has a hole, cuts the file back
// to the end of its last whole packet (a write that stopped part-way leaves no torn packet), and
// GetWriteError reports the failure until the next OpenFile.
//
// Every packet (each WritePacket call of 188 bytes or more is taken as one) is checked by a
// PidChecker as its bytes reach the file, so the check covers exactly what the file holds; a
// packet cut off by a failed write is not checked. The events are time-stamped with the tick at
// which their bytes were taken, as near as the block writes tell.
class FileRecorder {
 public:
  // Free space query: fills *bytes with the bytes available to the user on the volume that holds
  // `directory` and returns true, or returns false when the platform cannot tell.
  using FreeSpaceQuery = std::function<bool(const std::string& directory, uint64_t* bytes)>;

  // A closed recorder writing blocks of `block_size` bytes (at least 1).
  explicit FileRecorder(uint32_t block_size);
  // Closes the file (writing the buffered tail).
  ~FileRecorder();
  FileRecorder(const FileRecorder&) = delete;
  FileRecorder& operator=(const FileRecorder&) = delete;

  // Creates the file at `path` (a file-system path, UTF-8) after closing any open file; an existing
  // regular file is handled as `existing` says. Returns 1 on success, 0 when the file could not be
  // created (errno tells why).
  int OpenFile(const std::string& path, ExistingFile existing = ExistingFile::kNextFreeName);
  // The path of the open file, as created (possibly a numbered name); "" when closed.
  const std::string& GetPath() const { return path_; }
  // 1 while a file is open.
  int IsRecording() const { return fd_ >= 0 ? 1 : 0; }
  // Milliseconds since OpenFile (wrapping with the 32-bit tick); 0 when closed.
  uint32_t GetElapsedMs() const;
  // Bytes available to the user on the file's volume; 0 when closed or when the query fails, and
  // then *error (if given) receives the query's errno (ENOENT: the folder was removed), else 0.
  uint64_t GetFreeSpace(int* error = nullptr) const;
  // Buffers `length` bytes and writes one block when more than a block is buffered. Returns 1 when
  // the bytes were taken (and any write succeeded), 0 when no file is open, the buffer could not
  // take them all (the part it took stays buffered), a block write failed or an earlier one had
  // failed (nothing is taken then). *written (if given) receives the bytes written to the file by
  // this call.
  int WritePacket(const uint8_t* data, uint32_t length, uint32_t* written = nullptr);
  // The same for `length` bytes of whole packets of `packet_size` bytes one after another: each is
  // taken and checked as a packet, as though it came alone, but in one copy.
  int WritePackets(const uint8_t* data, uint32_t length, uint32_t packet_size, uint32_t* written = nullptr);
  // The stream breaks off after the bytes taken so far (the tuner was away): the check restarts its
  // continuity at the next packet taken. Returns the file offset of the break. Processing thread.
  uint64_t MarkGap();
  // Writes the buffered tail and closes the file; nothing when closed. False when a write of the
  // file failed (now or earlier): the file lacks data that WritePacket took.
  bool CloseFile();
  // errno of the first failed write since OpenFile (ENOSPC, EIO, ...); 0 while none failed.
  int GetWriteError() const { return write_error_.load(std::memory_order_relaxed); }
  // Sum of the bytes the file system reported written. Safe from any thread.
  uint64_t GetBytesWritten() const { return bytes_written_.load(std::memory_order_relaxed); }
  // The directory part of the open file's path ("" when closed).
  const std::string& GetDirectory() const { return directory_; }
  // The check of the packets in the file, from OpenFile until the next OpenFile (also after
  // CloseFile); null before the first OpenFile. Read it on the thread that writes, or once the
  // writing thread no longer sees the recorder.
  const PidChecker* GetChecker() const { return checker_.get(); }
  // Ticks when the file was opened and closed (0 before), kept until the next OpenFile.
  uint32_t GetOpenTick() const { return start_tick_; }
  uint32_t GetCloseTick() const { return close_tick_; }

  // Replaces the free-space query (statvfs by default); for tests.
  void SetFreeSpaceQuery(FreeSpaceQuery query) { free_space_ = std::move(query); }
  // Replaces the millisecond tick source (platform::TickCount by default); for tests.
  void SetTickSource(std::function<uint32_t()> tick) { tick_ = std::move(tick); }

  // The default free-space query: statvfs on `directory` ("." when empty), f_bavail x f_frsize.
  static bool QueryFreeSpace(const std::string& directory, uint64_t* bytes);

 private:
  // Writes the first min(max, buffered) bytes and removes them from the buffer (they are gone
  // even when the write fails). Returns false on a write error.
  bool WriteBuffered(uint32_t max, uint32_t* written);
  // Remembers that the next `count` x `length` bytes taken are packets of `length` bytes.
  void NotePackets(uint32_t length, uint64_t count);
  // Writes blocks while more than a block is buffered; false when a write failed.
  bool WriteFullBlocks(uint32_t* written);
  // The end of the last whole packet at or before file offset `size`.
  uint64_t LastPacketEnd(uint64_t size) const;

  // The packets taken since OpenFile as runs of equal lengths (one run while the packet size
  // stays), so that a failed write can cut the file back to a packet boundary. Runs wholly in
  // the file are forgotten.
  struct PacketRun {
    uint64_t start = 0;  // file offset of its first packet
    uint32_t length = 0;
    uint64_t count = 0;
    uint64_t end() const { return start + uint64_t{length} * count; }
  };
  std::deque<PacketRun> runs_;
  uint64_t taken_ = 0;  // bytes taken since OpenFile
  std::deque<uint64_t> gaps_;  // offsets of breaks not yet reached by the check
  // Checks the next `n` bytes that reached the file (data[0] at file offset checked_).
  void CheckWritten(const uint8_t* data, uint32_t n);
  // The length of the packet taken at file offset `offset` (0 when unknown).
  uint32_t PacketLengthAt(uint64_t offset) const;

  const uint32_t block_size_;
  const uint32_t capacity_;
  // The buffered bytes are buffer_[0, buffered_); allocated at the first OpenFile.
  std::vector<uint8_t> buffer_;
  uint32_t buffered_ = 0;
  std::string directory_;
  std::string path_;
  int fd_ = -1;
  std::atomic<int> write_error_{0};
  uint32_t start_tick_ = 0;
  uint32_t close_tick_ = 0;
  std::atomic<uint64_t> bytes_written_{0};
  // The check: the bytes of the file checked so far, the head of a packet whose rest is still to
  // be written, and the tick of the last check.
  std::unique_ptr<PidChecker> checker_;
  uint64_t checked_ = 0;
  std::vector<uint8_t> carry_;
  uint32_t carry_length_ = 0;
  uint32_t checked_tick_ = 0;
  FreeSpaceQuery free_space_;
  std::function<uint32_t()> tick_;
};

}  // namespace pelkan
