#include "output/file_recorder.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/clock.h"

namespace pelkan {

namespace {

uint32_t BufferCapacity(uint32_t block_size) {
  const uint64_t twice = 2ull * block_size;
  if (twice > 0xFFFFF) return twice > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(twice);
  return 0x100000;
}

// Writes all `length` bytes unless the file system fails; returns the bytes it accepted and sets
// *error to the failure's errno (0 when all were written).
uint64_t WriteAll(int fd, const uint8_t* data, uint32_t length, int* error) {
  uint64_t done = 0;
  *error = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, data + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno != 0 ? errno : EIO;
      break;
    }
    if (n == 0) {
      *error = ENOSPC;
      break;
    }
    done += static_cast<uint64_t>(n);
  }
  return done;
}

}  // namespace

FileRecorder::FileRecorder(uint32_t block_size)
    : block_size_(block_size == 0 ? 1 : block_size),
      capacity_(BufferCapacity(block_size_)),
      free_space_(&FileRecorder::QueryFreeSpace),
      tick_(&platform::TickCount) {}

FileRecorder::~FileRecorder() {
  CloseFile();
}

int FileRecorder::OpenFile(const std::string& path, ExistingFile existing) {
  if (fd_ >= 0) CloseFile();
  if (buffer_.size() != capacity_) {
    try {
      buffer_.resize(capacity_);
    } catch (const std::bad_alloc&) {
      errno = ENOMEM;
      return 0;
    }
  }
  const CreatedFile file = CreateRecordingFile(path, existing);
  if (file.fd < 0) {
    errno = file.error;
    return 0;
  }
  ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  path_ = file.path;
  const size_t slash = path_.find_last_of('/');
  if (slash == std::string::npos) {
    directory_.clear();
  } else {
    directory_ = path_.substr(0, slash == 0 ? 1 : slash);
  }
  buffered_ = 0;
  runs_.clear();
  taken_ = 0;
  gaps_.clear();
  bytes_written_.store(0, std::memory_order_relaxed);
  write_error_.store(0, std::memory_order_relaxed);
  fd_ = file.fd;
  start_tick_ = tick_();
  close_tick_ = 0;
  checker_ = std::make_unique<PidChecker>();
  checked_ = 0;
  carry_length_ = 0;
  checked_tick_ = start_tick_;
  return 1;
}

uint32_t FileRecorder::GetElapsedMs() const {
  if (fd_ < 0) return 0;
  return tick_() - start_tick_;
}

uint64_t FileRecorder::GetFreeSpace(int* error) const {
  if (error) *error = 0;
  if (fd_ < 0 || !free_space_) return 0;
  uint64_t bytes = 0;
  errno = 0;
  if (!free_space_(directory_, &bytes)) {
    if (error) *error = errno != 0 ? errno : EIO;
    return 0;
  }
  return bytes;
}

bool FileRecorder::QueryFreeSpace(const std::string& directory, uint64_t* bytes) {
  struct statvfs st {};
  if (::statvfs(directory.empty() ? "." : directory.c_str(), &st) != 0) return false;
  *bytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
  return true;
}

bool FileRecorder::WriteBuffered(uint32_t max, uint32_t* written) {
  const uint32_t n = std::min(max, buffered_);
  if (n == 0) return true;
  int error = 0;
  const uint64_t done = WriteAll(fd_, buffer_.data(), n, &error);
  // Only what the file system took counts as written.
  const uint64_t size = bytes_written_.fetch_add(done, std::memory_order_relaxed) + done;
  *written += static_cast<uint32_t>(done);
  CheckWritten(buffer_.data(), static_cast<uint32_t>(done));
  if (error != 0) {
    // Nothing more is written: later blocks after a lost one would leave a hole in the file. A
    // write that stopped inside a packet (the disk filled) leaves no torn packet at the end.
    write_error_.store(error, std::memory_order_relaxed);
    buffered_ = 0;
    const uint64_t keep = LastPacketEnd(size);
    if (keep < size && ::ftruncate(fd_, static_cast<off_t>(keep)) == 0) {
      bytes_written_.store(keep, std::memory_order_relaxed);
    }
    return false;
  }
  while (!runs_.empty() && runs_.front().end() <= size) runs_.pop_front();
  // What follows the block is less than a packet while packets are shorter than a block.
  buffered_ -= n;
  if (buffered_ > 0) std::memmove(buffer_.data(), buffer_.data() + n, buffered_);
  return true;
}

void FileRecorder::NotePackets(uint32_t length, uint64_t count) {
  if (length == 0 || count == 0) return;
  if (!runs_.empty() && runs_.back().length == length && runs_.back().end() == taken_) {
    runs_.back().count += count;
  } else {
    runs_.push_back(PacketRun{taken_, length, count});
  }
  taken_ += uint64_t{length} * count;
}

uint64_t FileRecorder::LastPacketEnd(uint64_t size) const {
  // Runs follow each other without gaps, and the first one starts at or before what the file holds.
  uint64_t boundary = runs_.empty() ? size : runs_.front().start;
  for (const PacketRun& r : runs_) {
    if (size >= r.end()) {
      boundary = r.end();
      continue;
    }
    if (size >= r.start) boundary = r.start + (size - r.start) / r.length * r.length;
    break;
  }
  return std::min(boundary, size);
}

int FileRecorder::WritePacket(const uint8_t* data, uint32_t length, uint32_t* written) {
  uint32_t out = 0;
  if (written) *written = 0;
  if (fd_ < 0 || GetWriteError() != 0) return 0;
  const uint32_t room = capacity_ - buffered_;
  const uint32_t taken = std::min(room, length);
  if (taken > 0) std::memcpy(buffer_.data() + buffered_, data, taken);
  buffered_ += taken;
  NotePackets(taken, 1);
  if (taken < length) return 0;
  const bool ok = WriteFullBlocks(&out);
  if (written) *written = out;
  return ok ? 1 : 0;
}

bool FileRecorder::WriteFullBlocks(uint32_t* written) {
  // One block per packet is enough while packets are shorter than a block; the loop only matters
  // for blocks smaller than a packet, where a single write per call would let the buffer overflow.
  while (buffered_ > block_size_) {
    if (!WriteBuffered(block_size_, written)) return false;
  }
  return true;
}

int FileRecorder::WritePackets(const uint8_t* data, uint32_t length, uint32_t packet_size, uint32_t* written) {
  uint32_t out = 0;
  int result = 1;
  uint32_t at = 0;
  while (result != 0 && at < length) {
    if (fd_ < 0 || GetWriteError() != 0) {
      result = 0;
      break;
    }
    // Whole packets up to the buffer's room, then the full blocks out; what is no whole packet, or
    // a buffer with no room for one, goes as WritePacket takes it.
    const uint32_t room = capacity_ - buffered_;
    const uint32_t n = packet_size == 0 ? 0 : std::min(length - at, room) / packet_size * packet_size;
    if (n == 0) {
      uint32_t one = 0;
      const uint32_t piece = packet_size == 0 ? length - at : std::min(packet_size, length - at);
      result = WritePacket(data + at, piece, &one);
      out += one;
      at += piece;
      continue;
    }
    std::memcpy(buffer_.data() + buffered_, data + at, n);
    buffered_ += n;
    NotePackets(packet_size, n / packet_size);
    at += n;
    if (!WriteFullBlocks(&out)) result = 0;
  }
  if (written) *written = out;
  return result;
}

uint32_t FileRecorder::PacketLengthAt(uint64_t offset) const {
  for (const PacketRun& r : runs_) {
    if (offset < r.end()) return offset >= r.start ? r.length : 0;
  }
  return 0;
}

uint64_t FileRecorder::MarkGap() {
  if (gaps_.empty() || gaps_.back() != taken_) gaps_.push_back(taken_);
  return taken_;
}

void FileRecorder::CheckWritten(const uint8_t* data, uint32_t n) {
  if (!checker_ || n == 0 || runs_.empty()) return;
  const size_t first_event = checker_->events().size();
  const uint64_t from = checked_;
  while (n > 0) {
    // The packet at hand starts at checked_ - carry_length_.
    const uint64_t start = checked_ - carry_length_;
    const uint32_t size = PacketLengthAt(start);
    if (size == 0) break;
    const uint8_t* packet = data;
    if (carry_length_ == 0 && n >= size) {
      data += size;
      n -= size;
      checked_ += size;
    } else {
      // A packet split by a block boundary: its head waits here for its rest.
      const uint32_t take = std::min(size - carry_length_, n);
      if (carry_.size() < size) carry_.resize(size);
      std::memcpy(carry_.data() + carry_length_, data, take);
      carry_length_ += take;
      data += take;
      n -= take;
      checked_ += take;
      if (carry_length_ < size) break;
      carry_length_ = 0;
      packet = carry_.data();
    }
    // Shorter pieces are no packets (a caller writing other data).
    while (!gaps_.empty() && gaps_.front() <= start) {
      checker_->RestartContinuity();
      gaps_.pop_front();
    }
    if (size >= 188) checker_->Check(packet, start);
  }
  const uint32_t now = tick_();
  checker_->StampEvents(first_event, from, checked_tick_, checked_, now);
  checked_tick_ = now;
}

bool FileRecorder::CloseFile() {
  if (fd_ < 0) return GetWriteError() == 0;
  uint32_t ignored = 0;
  while (buffered_ > 0 && GetWriteError() == 0) {
    if (!WriteBuffered(block_size_, &ignored)) break;
  }
  buffered_ = 0;
  // A file system that reports its failure only at close (e.g. a full network volume).
  if (::close(fd_) != 0 && errno != EINTR && GetWriteError() == 0) {
    write_error_.store(errno, std::memory_order_relaxed);
  }
  fd_ = -1;
  close_tick_ = tick_();
  directory_.clear();
  path_.clear();
  return GetWriteError() == 0;
}

}  // namespace pelkan
