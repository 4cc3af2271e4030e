#include "guide/xmltv_guide_cache.h"

#include <utility>
#include <vector>

#include "guide/guide_store.h"
#include "guide/xmltv_document.h"

namespace pelkan {

XmltvGuideCache::XmltvGuideCache(std::string guide_path)
    : own_(std::make_unique<GuideReader>(std::move(guide_path))),
      borrow_([reader = own_.get()](const std::function<void(GuideReader&)>& use) { use(*reader); }) {}

XmltvGuideCache::XmltvGuideCache(Borrow borrow) : borrow_(std::move(borrow)) {}

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
    known_ = false;
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
  bool unchanged = false;
  bool read = false;
  std::vector<GuideService> services;
  std::vector<GuideEvent> events;
  uint64_t version = 0;
  uint64_t generation = 0;
  // Only the reading holds the connection; the document is made after.
  borrow_([&](GuideReader& reader) {
    GuideStore* store = reader.Store();
    if (store == nullptr) return;
    generation = reader.Generation();
    version = store->DataVersion();
    if (current && known_ && generation == generation_ && version == version_ &&
        store->LastErrorCode() == 0) {
      unchanged = true;
      return;
    }
    services = store->Services();
    events = store->Events(0, GuideTime{0x7FFFFFFF} * 86400, true);
    if (store->LastErrorCode() != 0) {
      reader.Forget();
      return;
    }
    read = true;
  });
  if (unchanged) return current;
  if (!read) {
    known_ = false;
    return nullptr;
  }
  // A start on MJD day 0 is no date: such an event has no place in a guide by time.
  std::erase_if(events, [](const GuideEvent& e) { return e.start < 86400; });
  auto document = std::make_shared<const std::string>(XmltvDocument(events, services, false));
  generation_ = generation;
  version_ = version;
  known_ = true;
  return document;
}

}  // namespace pelkan
