#pragma once

#include <memory>
#include <string>

struct MHD_Connection;
struct MHD_Response;

namespace pelkan {

// A page's body, shared by whoever holds it (the owner's cache, the responses sending it): a
// request never copies it.
using HttpDocument = std::shared_ptr<const std::string>;

struct HttpFileSource;

// An answer: its status, body and content type; or a recording's file, which the server sends
// itself (its ranges, its growth) instead of a body.
struct HttpReply {
  unsigned status = 200;
  HttpDocument body;
  std::string type;
  std::shared_ptr<const HttpFileSource> file = nullptr;
};

// Headers every answer carries: the type, no caching, and nothing the browser should guess at.
void AddCommonHeaders(MHD_Response* response, const char* type);

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
