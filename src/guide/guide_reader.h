#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace pelkan {

class GuideStore;

// A reading connection to the guide's file, opened when first wanted and again when the file was
// replaced (renamed aside and made anew: another inode) or forgotten after a failed read. Never
// repairs: the capture's collector owns the file. One thread at a time.
class GuideReader {
 public:
  explicit GuideReader(std::string path);
  ~GuideReader();
  GuideReader(const GuideReader&) = delete;
  GuideReader& operator=(const GuideReader&) = delete;

  // The guide as the file is now; null when there is none or it cannot be opened.
  GuideStore* Store();
  // The connection as it is, without looking at the file (null when none is open).
  GuideStore* Opened() { return store_.get(); }
  // Drops the connection: the next Store() opens the file again.
  void Forget();
  // Counts the connections opened: another number is another file, or the file read anew.
  uint64_t Generation() const { return generation_; }

 private:
  const std::string path_;
  std::unique_ptr<GuideStore> store_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  uint64_t generation_ = 0;
};

}  // namespace pelkan
