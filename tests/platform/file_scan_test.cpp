#include "platform/file_scan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace pelkan::platform {
namespace {

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return v;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

// Every byte arrives once and in order, mapped (a regular file, larger than one window, and an
// empty one) or read (a pipe), and also what a file grows by while it is scanned.
TEST(ScanFile, HandsOnEveryByteInOrder) {
  test::TempDir dir;
  const std::vector<uint8_t> big = Pattern((size_t{8} << 20) * 2 + 12345);
  struct Case {
    const char* name;
    size_t size;
    bool pipe;
  } cases[] = {{"two windows and a part", big.size(), false}, {"empty", 0, false}, {"pipe", 300000, true}};
  for (const Case& c : cases) {
    const std::vector<uint8_t> bytes(big.begin(), big.begin() + static_cast<std::ptrdiff_t>(c.size));
    int fd = -1;
    std::thread writer;
    if (c.pipe) {
      int ends[2];
      ASSERT_EQ(::pipe(ends), 0);
      fd = ends[0];
      writer = std::thread([&bytes, out = ends[1]] {
        for (size_t done = 0; done < bytes.size();) {
          const ssize_t n = ::write(out, bytes.data() + done, std::min<size_t>(4000, bytes.size() - done));
          if (n <= 0) break;
          done += static_cast<size_t>(n);
        }
        ::close(out);
      });
    } else {
      WriteFile(dir.File("f.ts"), bytes);
      fd = ::open(dir.File("f.ts").c_str(), O_RDONLY);
    }
    ASSERT_GE(fd, 0) << c.name;
    std::vector<uint8_t> got;
    std::string error;
    EXPECT_TRUE(ScanFile(fd, [&](const uint8_t* p, size_t n) { got.insert(got.end(), p, p + n); }, &error))
        << c.name << ": " << error;
    if (writer.joinable()) writer.join();
    ::close(fd);
    EXPECT_TRUE(got == bytes) << c.name << ": " << got.size() << " of " << bytes.size() << " bytes";
  }

  // A recording still being written: what it grew by after the scan began is read too.
  WriteFile(dir.File("growing.ts"), Pattern(5000));
  const int fd = ::open(dir.File("growing.ts").c_str(), O_RDWR);
  size_t total = 0;
  bool grown = false;
  std::string error;
  EXPECT_TRUE(ScanFile(
      fd,
      [&](const uint8_t*, size_t n) {
        total += n;
        if (!grown) {
          grown = true;
          ASSERT_EQ(::pwrite(fd, big.data(), 3000, 5000), 3000);
        }
      },
      &error));
  ::close(fd);
  EXPECT_EQ(total, 8000u);
}

// Another program cutting the file shorter while it is mapped makes the reading fault (SIGBUS):
// the scan ends with an error instead of the process, and the bytes before the cut were handed on.
TEST(ScanFile, AFileCutShorterWhileMappedIsAnErrorNotACrash) {
  test::TempDir dir;
  const std::vector<uint8_t> bytes = Pattern(5 * 4096);
  WriteFile(dir.File("cut.ts"), bytes);
  const int fd = ::open(dir.File("cut.ts").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  // Kept in memory at every step: the fault leaves the loop in the middle.
  volatile uint64_t sum = 0;
  volatile size_t read = 0;
  std::string error;
  const bool ok = ScanFile(
      fd,
      [&](const uint8_t* p, size_t n) {
        ASSERT_EQ(::ftruncate(fd, 4096), 0);
        for (size_t i = 0; i < n; ++i) {
          sum = sum + p[i];
          read = i + 1;
        }
      },
      &error);
  ::close(fd);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, "the file was cut shorter while it was read");
  EXPECT_EQ(static_cast<size_t>(read), 4096u);
  uint64_t expected = 0;
  for (size_t i = 0; i < 4096; ++i) expected += bytes[i];
  EXPECT_EQ(static_cast<uint64_t>(sum), expected);

  // A read that fails (a folder) tells why.
  const int folder = ::open(dir.path().c_str(), O_RDONLY);
  EXPECT_FALSE(ScanFile(folder, [](const uint8_t*, size_t) {}, &error));
  EXPECT_EQ(error, "Is a directory");
  ::close(folder);
}

}  // namespace
}  // namespace pelkan::platform
