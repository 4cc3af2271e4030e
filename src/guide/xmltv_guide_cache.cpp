#include "guide/xmltv_guide_cache.h"

#include <sys/stat.h>

#include <utility>
#include <vector>

#include "guide/guide_store.h"
#include "guide/xmltv_document.h"

namespace pelkan {

XmltvGuideCache::XmltvGuideCache(std::string guide_path) : path_(std::move(guide_path)) {}

XmltvGuideCache::~XmltvGuideCache() = default;

std::shared_ptr<const std::string> XmltvGuideCache::Get() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (making_) {
    const uint64_t round = round_;
    done_.wait(lock, [&] { return round_ != round; });
    return document_;
  }
  making_ = true;
  const std::shared_ptr<const std::string> current = document_;
  lock.unlock();
  std::shared_ptr<const std::string> document;
  try {
    document = Make(current);
  } catch (...) {
    // Out of memory for a document: the waiting requests get none, the next one tries again.
    store_.reset();
  }
  lock.lock();
  if (document && document != current) ++made_;
  document_ = document;
  making_ = false;
  ++round_;
  done_.notify_all();
  return document;
}

uint64_t XmltvGuideCache::made() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return made_;
}

std::shared_ptr<const std::string> XmltvGuideCache::Make(const std::shared_ptr<const std::string>& current) {
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) {
    store_.reset();
    return nullptr;
  }
  // A file renamed aside and made anew is another guide.
  if (store_ && (st.st_dev != device_ || st.st_ino != inode_)) store_.reset();
  if (!store_) {
    std::string notice, error;
    // Read only and never repaired from here: the capture's collector owns the file.
    store_ = GuideStore::Open(path_, GuideStore::Access::kRead, false, &notice, &error);
    if (!store_) return nullptr;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    known_ = false;
  }
  const uint64_t version = store_->DataVersion();
  if (current && known_ && version == version_ && store_->LastErrorCode() == 0) return current;
  const std::vector<GuideService> services = store_->Services();
  std::vector<GuideEvent> events = store_->Events(0, GuideTime{0x7FFFFFFF} * 86400, true);
  if (store_->LastErrorCode() != 0) {
    store_.reset();
    return nullptr;
  }
  // A start on MJD day 0 is no date: such an event has no place in a guide by time.
  std::erase_if(events, [](const GuideEvent& e) { return e.start < 86400; });
  auto document = std::make_shared<const std::string>(XmltvDocument(events, services, false));
  version_ = version;
  known_ = true;
  return document;
}

}  // namespace pelkan
