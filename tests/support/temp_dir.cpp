#include "tests/support/temp_dir.h"

#include <stdlib.h>

#include <filesystem>

namespace pelkan::test {

TempDir::TempDir() {
  char pattern[] = "/tmp/pelkan-test-XXXXXX";
  if (::mkdtemp(pattern) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

}  // namespace pelkan::test
