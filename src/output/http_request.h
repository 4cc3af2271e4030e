#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "output/http_access.h"

struct MHD_Connection;

namespace pelkan {

// A request that the owner's site answers (HttpPages::site).
struct HttpRequest {
  std::string method;                        // GET, POST, PUT or DELETE
  std::string path;                          // as decoded, "/..." (never with a query)
  std::map<std::string, std::string> query;  // the arguments after "?", the token `t` left out
  std::string body;                          // a change's JSON (at most HttpAccess::kMaxBody bytes)
  // "http://HOST:PORT" as the client addressed the server (its Host, which the server accepted)
  // and what each URL to it carries ("?t=VIEW" beyond loopback, else ""), for links in a page.
  std::string base{};
  std::string view_query{};
};

// What the access rules look at of the request on `connection` (`url` and `method` as the library
// gave them). Other fields (X-Forwarded-For, a method in the query) are never read.
HttpRequestHead ReadRequestHead(MHD_Connection* connection, const char* url, const char* method);
// The request's query arguments but the token `t` (the first of a repeated name).
std::map<std::string, std::string> ReadQuery(MHD_Connection* connection);
// The bytes of the request's header on `connection`: its request line and fields with their separators.
size_t HeaderBytes(MHD_Connection* connection, const char* url, const char* method, const char* version);
// The service id of a path "/service/ID" (decimal, 1..65535); nothing for any other path.
std::optional<uint16_t> ServiceOfPath(const std::string& url);
// "ADDRESS:PORT" (IPv6 in brackets) of the peer of `connection`; "?" when unknown.
std::string PeerOf(MHD_Connection* connection);

}  // namespace pelkan
