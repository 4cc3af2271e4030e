#include "usb/ts_source.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "usb/usb_device.h"
#include "usb/virtual_tuner.h"

namespace pelkan::usb {
namespace {

// A file in the test's temporary folder, removed when the test ends however it ends.
struct TempFile {
  explicit TempFile(const std::string& name) : path(::testing::TempDir() + name) {
    std::remove(path.c_str());
  }
  ~TempFile() { std::remove(path.c_str()); }
  std::string path;
};

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
long StatusKib(const std::string& field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// Starts a new peak of resident memory; false where the kernel does not offer it.
bool ResetPeakResident() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return out.good();
}

TEST(FileTsSource, RefusesWhatCannotBePlayedAndSaysWhy) {
  TempFile empty("ts_source_empty.ts");
  WriteFile(empty.path, {});
  std::string problem;
  EXPECT_EQ(FileTsSource::Open(empty.path, &problem), nullptr);
  EXPECT_EQ(problem, "is empty");
  EXPECT_EQ(FileTsSource::Open(empty.path + ".missing", &problem), nullptr);
  EXPECT_EQ(problem, "cannot be opened: No such file or directory");
  EXPECT_EQ(FileTsSource::Open(::testing::TempDir(), &problem), nullptr);
  EXPECT_EQ(problem, "is a folder");
  EXPECT_EQ(FileTsSource::Open("/dev/zero", &problem), nullptr);
  EXPECT_EQ(problem.substr(0, 25), "is not a regular file (a ");
}

TEST(FileTsSource, LoopsInPiecesOfAnySize) {
  TempFile file("ts_source_loop.ts");
  std::vector<uint8_t> bytes(1000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  WriteFile(file.path, bytes);
  auto src = FileTsSource::Open(file.path);
  ASSERT_NE(src, nullptr);
  uint64_t pos = 0;
  for (size_t piece : {1u, 999u, 1000u, 1001u, 4321u, 7u}) {
    std::vector<uint8_t> got(piece);
    ASSERT_EQ(src->Read(got.data(), piece), piece);
    for (size_t i = 0; i < piece; ++i, ++pos) ASSERT_EQ(got[i], bytes[pos % 1000]) << pos;
  }
}

TEST(FileTsSource, FileEmptiedWhilePlayingEndsTheStream) {
  TempFile file("ts_source_truncated.ts");
  WriteFile(file.path, std::vector<uint8_t>(500, 0x47));
  auto src = FileTsSource::Open(file.path);
  ASSERT_NE(src, nullptr);
  std::vector<uint8_t> got(300);
  ASSERT_EQ(src->Read(got.data(), got.size()), 300u);
  ASSERT_EQ(::truncate(file.path.c_str(), 0), 0);
  EXPECT_EQ(src->Read(got.data(), got.size()), 0u);  // no endless loop on an empty file
}

// A 1 GiB file played through the virtual tuner in the capture's transfer size: resident memory
// stays flat, and the stream goes on from the file's start after its last byte. The file is
// sparse (only its first and last packets are written), so it takes no disk space.
TEST(FileTsSource, GibibyteFileStreamsThroughTheVirtualTunerInFlatMemory) {
  constexpr uint64_t kFileSize = uint64_t{1} << 30;
  constexpr uint32_t kTransfer = 0x8000;
  TempFile file("ts_source_1gib.ts");
  std::vector<uint8_t> first(188, 0x11), last(188, 0x22);
  first[0] = last[0] = 0x47;
  {
    const int fd = ::open(file.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kFileSize)), 0);
    ASSERT_EQ(::pwrite(fd, first.data(), first.size(), 0), 188);
    ASSERT_EQ(::pwrite(fd, last.data(), last.size(), static_cast<off_t>(kFileSize - 188)), 188);
    ::close(fd);
  }

  DriverConfig config;
  config.use_libusb = false;
  config.virtual_tuner_file = file.path;
  config.virtual_bit_rate = 0;
  UsbDevice dev(std::make_shared<VirtualTunerDriver>(VirtualTunerOptionsFromConfig(config, {})), true);
  ASSERT_TRUE(dev.IsOpen());
  std::vector<uint8_t> buf(kTransfer);
  const long rss_before = StatusKib("VmRSS");
  const bool peak_known = ResetPeakResident();

  // One transfer more than the file holds: the last one begins again with the first packet.
  constexpr uint64_t kTransfers = kFileSize / kTransfer + 1;
  for (uint64_t i = 0; i < kTransfers; ++i) {
    uint32_t len = kTransfer;
    ASSERT_TRUE(dev.bulk_in()->XferData(buf.data(), &len)) << i;
    ASSERT_EQ(len, kTransfer) << i;
    if (i == 0 || i == kTransfers - 1) {
      ASSERT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 188), first) << i;
    } else if (i == kTransfers - 2) {
      ASSERT_EQ(std::vector<uint8_t>(buf.end() - 188, buf.end()), last);
    }
  }

  const long grown_kib = (peak_known ? StatusKib("VmHWM") : StatusKib("VmRSS")) - rss_before;
  EXPECT_LT(grown_kib, 32 * 1024) << "resident memory grew by " << grown_kib << " KiB";
}

}  // namespace
}  // namespace pelkan::usb
