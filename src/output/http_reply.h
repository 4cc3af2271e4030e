#pragma once

#include <memory>
#include <string>

struct MHD_Connection;

namespace pelkan {

// A page's body, shared by whoever holds it (the owner's cache, the responses sending it): a
// request never copies it.
using HttpDocument = std::shared_ptr<const std::string>;

// An answer: its status, body and content type.
struct HttpReply {
  unsigned status = 200;
  HttpDocument body;
  std::string type;
};

// A reply of `status` with `body` (copied) and `type`, never cached; `allow` the Allow header's
// value (nullptr: none). With `close` the connection ends after it: what the client may still send
// (a body, further requests) is never read. The library's MHD_Result.
int QueueReply(MHD_Connection* connection, unsigned status, const std::string& body, const char* type,
               const char* allow = nullptr, bool close = false);
// A plain text reply of `text` and a line end.
int QueueText(MHD_Connection* connection, unsigned status, const char* text, bool close = false,
              const char* allow = nullptr);
// `reply`, its body sent in pieces as the client takes them, never copied (none: an empty body).
int QueueDocument(MHD_Connection* connection, HttpReply reply);

}  // namespace pelkan
