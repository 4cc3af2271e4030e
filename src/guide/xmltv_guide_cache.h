#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "guide/guide_reader.h"

namespace pelkan {

// The XMLTV document of the programme guide's file (what the HTTP server's /guide.xml answers),
// made again only when the guide has changed since the last one (another connection committed, or
// the file was replaced). A request that comes while a document is being made waits for that one
// and shares it, so that at most one is made at a time and one is kept. Any thread.
class XmltvGuideCache {
 public:
  // Runs `use` with the guide's connection, which nobody else uses meanwhile.
  using Borrow = std::function<void(const std::function<void(GuideReader&)>& use)>;

  // With a connection of its own to the file at `guide_path`.
  explicit XmltvGuideCache(std::string guide_path);
  // With a connection its owner lends (the capture session's, shared with the rules).
  explicit XmltvGuideCache(Borrow borrow);
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

  std::unique_ptr<GuideReader> own_;
  Borrow borrow_;
  mutable std::mutex mutex_;
  std::condition_variable done_;
  bool making_ = false;
  uint64_t round_ = 0;  // counts the ends of making
  uint64_t made_ = 0;
  std::shared_ptr<const std::string> document_;

  // What the document was made from: the connection's generation and the guide's version; used by
  // the making thread only.
  bool known_ = false;
  uint64_t generation_ = 0;
  uint64_t version_ = 0;
};

}  // namespace pelkan
