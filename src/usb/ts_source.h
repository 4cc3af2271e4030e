#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

// A .ts file played in a loop. The whole file is read into memory at Open (files of broadcast
// captures used for demos are a few hundred megabytes at most).
class FileTsSource : public TsSource {
 public:
  // Null when the file cannot be read or is empty.
  static std::unique_ptr<FileTsSource> Open(const std::string& path);
  size_t Read(uint8_t* dst, size_t len) override;

 private:
  std::vector<uint8_t> data_;
  size_t pos_ = 0;
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
