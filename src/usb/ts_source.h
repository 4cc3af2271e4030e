#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/mjd_time.h"
#include "base/programme_change.h"

namespace pelkan::usb {

// An endless transport stream that the virtual tuner delivers. Read is called from one thread at a
// time.
class TsSource {
 public:
  virtual ~TsSource() = default;
  // Fills `dst` with the next `len` bytes of the stream. Returns the bytes written: `len`, or fewer
  // only when the source has failed (0 then means nothing more will come).
  virtual size_t Read(uint8_t* dst, size_t len) = 0;
};

// Makes the synthetic broadcast the virtual tuner plays when no file is named: at `bit_rate` bit/s
// (0: the maker's own rate), its clock starting at `start` (JST; none: now), with `changes` made to
// its programmes. The device layer does not build the broadcast itself; the program that puts the
// device set together passes this.
using BroadcastSourceMaker = std::function<std::unique_ptr<TsSource>(
    uint64_t bit_rate, std::optional<MjdTime> start, const std::vector<ProgrammeChange>& changes)>;

// A .ts file played in a loop, read from disk straight into the caller's buffer as it is asked
// for: memory use does not depend on the file's size. At the end of the file it starts again at
// the beginning.
class FileTsSource : public TsSource {
 public:
  // Null when the file cannot be opened, is not a regular file, or is empty; *problem (if given)
  // then says which, in English, to follow the file's name ("is a folder").
  static std::unique_ptr<FileTsSource> Open(const std::string& path, std::string* problem = nullptr);
  ~FileTsSource() override;
  FileTsSource(const FileTsSource&) = delete;
  FileTsSource& operator=(const FileTsSource&) = delete;
  // Fewer than `len` bytes only when reading fails or the file has become empty.
  size_t Read(uint8_t* dst, size_t len) override;

 private:
  explicit FileTsSource(int fd) : fd_(fd) {}
  int fd_;
};

// A stream of null packets whose every byte is a function of its position, so that a reader can
// check that nothing was lost, repeated or reordered: see ByteAt.
class PatternTsSource : public TsSource {
 public:
  explicit PatternTsSource(uint32_t packet_size = 188) : packet_size_(packet_size < 4 ? 188 : packet_size) {}
  size_t Read(uint8_t* dst, size_t len) override;
  // The byte at stream position `pos`.
  static uint8_t ByteAt(uint64_t pos, uint32_t packet_size = 188);

 private:
  uint32_t packet_size_;
  uint64_t pos_ = 0;
};

}  // namespace pelkan::usb
