#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace pelkan {

class GuideStore;

// The XMLTV document of the programme guide's file (what the HTTP server's /guide.xml answers),
// made again only when the guide has changed since the last one (another connection committed, or
// the file was replaced). A request that comes while a document is being made waits for that one
// and shares it, so that at most one is made at a time and one is kept. Any thread.
class XmltvGuideCache {
 public:
  explicit XmltvGuideCache(std::string guide_path);
  ~XmltvGuideCache();
  XmltvGuideCache(const XmltvGuideCache&) = delete;
  XmltvGuideCache& operator=(const XmltvGuideCache&) = delete;

  // The document (every programme with a date, as `pelkan-cli epg --xmltv` prints it); null when
  // the file cannot be read.
  std::shared_ptr<const std::string> Get();
  // How many documents were made so far.
  uint64_t made() const;

 private:
  // The document of the guide as it is now: `current` when the guide has not changed. Only the
  // one thread that makes a document calls it.
  std::shared_ptr<const std::string> Make(const std::shared_ptr<const std::string>& current);

  const std::string path_;
  mutable std::mutex mutex_;
  std::condition_variable done_;
  bool making_ = false;
  uint64_t round_ = 0;  // counts the ends of making
  uint64_t made_ = 0;
  std::shared_ptr<const std::string> document_;

  // The reading connection and what the document was made from; used by the making thread only.
  std::unique_ptr<GuideStore> store_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool known_ = false;
  uint64_t version_ = 0;
};

}  // namespace pelkan
