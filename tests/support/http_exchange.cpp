#include "tests/support/http_exchange.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace pelkan::test {

int ConnectLoopback(uint16_t port, int receive_buffer) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (receive_buffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

HttpAnswer HttpExchange(uint16_t port, const std::string& request) {
  HttpAnswer answer;
  const int fd = ConnectLoopback(port);
  if (fd < 0) return answer;
  // The server may refuse at the header and close before a large body is sent whole.
  for (size_t at = 0; at < request.size();) {
    const ssize_t n = send(fd, request.data() + at, request.size() - at, MSG_NOSIGNAL);
    if (n <= 0) break;
    at += static_cast<size_t>(n);
  }
  std::string in;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  char buf[65536];
  for (;;) {
    const size_t split = in.find("\r\n\r\n");
    if (split != std::string::npos) {
      // A stream never ends: its head is enough.
      if (in.find("video/mp2t") < split) break;
      const size_t at = in.find("Content-Length: ");
      if (at != std::string::npos && at < split &&
          in.size() >= split + 4 + std::strtoul(in.c_str() + at + 16, nullptr, 10)) {
        break;
      }
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    in.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  const size_t split = in.find("\r\n\r\n");
  if (in.size() < 12 || split == std::string::npos) return answer;
  answer.status = std::atoi(in.c_str() + 9);
  answer.head = in.substr(0, split);
  answer.body = in.substr(split + 4);
  return answer;
}

std::string HttpRequestText(const std::string& method, const std::string& path, const std::string& host,
                            const std::string& headers, const std::string& body) {
  std::string out =
      method + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n" + headers;
  if (!body.empty()) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return out + "\r\n" + body;
}

}  // namespace pelkan::test
