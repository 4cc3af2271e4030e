#pragma once

#include <string>

#include "output/http_request.h"

namespace pelkan::test {

// The request the server hands the site for `method` `path` ("/api/...?name=value", one argument)
// with `body`.
inline HttpRequest ApiRequest(const std::string& method, const std::string& path, const std::string& body = "") {
  HttpRequest request;
  request.method = method;
  const size_t q = path.find('?');
  request.path = path.substr(0, q);
  if (q != std::string::npos) {
    const std::string query = path.substr(q + 1);
    const size_t eq = query.find('=');
    request.query[query.substr(0, eq)] = query.substr(eq + 1);
  }
  request.body = body;
  return request;
}

}  // namespace pelkan::test
