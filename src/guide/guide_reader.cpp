#include "guide/guide_reader.h"

#include <sys/stat.h>

#include <utility>

#include "guide/guide_store.h"

namespace pelkan {

GuideReader::GuideReader(std::string path) : path_(std::move(path)) {}

GuideReader::~GuideReader() = default;

void GuideReader::Forget() {
  store_.reset();
}

GuideStore* GuideReader::Store() {
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) {
    store_.reset();
    return nullptr;
  }
  // A file renamed aside and made anew is another guide.
  if (store_ && (st.st_dev != device_ || st.st_ino != inode_)) store_.reset();
  if (!store_) {
    std::string notice, error;
    store_ = GuideStore::Open(path_, GuideStore::Access::kRead, false, &notice, &error);
    device_ = st.st_dev;
    inode_ = st.st_ino;
    ++generation_;
  }
  return store_.get();
}

}  // namespace pelkan
