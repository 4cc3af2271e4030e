#pragma once

#include <cstdint>
#include <string>

namespace pelkan::test {

// A TCP connection to 127.0.0.1:`port` (its receive buffer set first when `receive_buffer` > 0);
// -1 when it fails.
int ConnectLoopback(uint16_t port, int receive_buffer = 0);

// One HTTP exchange over loopback: `request` sent whole (as far as the server takes it), the
// answer read until the server closes or its announced length has come (at most 5 s); of a
// stream, its head.
struct HttpAnswer {
  int status = 0;  // 0: no answer
  std::string head;
  std::string body;
};
HttpAnswer HttpExchange(uint16_t port, const std::string& request);

// A request of `method` for `path` with Host `host`, `headers` (each ending in CRLF) and `body`
// (its Content-Length given when not empty).
std::string HttpRequestText(const std::string& method, const std::string& path, const std::string& host,
                            const std::string& headers = "", const std::string& body = "");

}  // namespace pelkan::test
