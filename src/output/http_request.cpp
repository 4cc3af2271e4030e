#include "output/http_request.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>
#include <optional>

#include "output/microhttpd_library.h"

namespace pelkan {

namespace {

MHD_Result AddArgument(void* cls, MHD_ValueKind /*kind*/, const char* key, const char* value) {
  auto& query = *static_cast<std::map<std::string, std::string>*>(cls);
  if (key != nullptr) query.emplace(key, value != nullptr ? value : "");
  return MHD_YES;
}

MHD_Result AddFieldBytes(void* cls, MHD_ValueKind /*kind*/, const char* key, const char* value) {
  *static_cast<size_t*>(cls) += std::strlen(key) + 2 + (value != nullptr ? std::strlen(value) : 0) + 2;
  return MHD_YES;
}

}  // namespace

size_t HeaderBytes(MHD_Connection* connection, const char* url, const char* method, const char* version) {
  size_t bytes = std::strlen(method) + 1 + std::strlen(url) + 1 + std::strlen(version) + 2 + 2;
  Microhttpd()->MHD_get_connection_values(connection, MHD_HEADER_KIND, &AddFieldBytes, &bytes);
  return bytes;
}

std::optional<uint16_t> ServiceOfPath(const std::string& url) {
  constexpr std::string_view kPrefix = "/service/";
  if (url.compare(0, kPrefix.size(), kPrefix) != 0) return std::nullopt;
  const char* first = url.data() + kPrefix.size();
  const char* last = url.data() + url.size();
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || end != last || first == last || value == 0 || value > 0xFFFF) return std::nullopt;
  return static_cast<uint16_t>(value);
}

HttpRequestHead ReadRequestHead(MHD_Connection* connection, const char* url, const char* method) {
  auto field = [connection](MHD_ValueKind kind, const char* name) {
    const char* value = Microhttpd()->MHD_lookup_connection_value(connection, kind, name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
  };
  HttpRequestHead head;
  head.method = method;
  head.path = url;
  head.host = field(MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST).value_or("");
  head.origin = field(MHD_HEADER_KIND, MHD_HTTP_HEADER_ORIGIN);
  head.authorization = field(MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION).value_or("");
  head.content_type = field(MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE).value_or("");
  head.query_token = field(MHD_GET_ARGUMENT_KIND, "t").value_or("");
  head.chunked = field(MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING).has_value();
  // The library has refused a length that is no number.
  if (const auto length = field(MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH)) {
    uint64_t value = 0;
    std::from_chars(length->data(), length->data() + length->size(), value);
    head.content_length = value;
  }
  return head;
}

std::map<std::string, std::string> ReadQuery(MHD_Connection* connection) {
  std::map<std::string, std::string> query;
  Microhttpd()->MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &AddArgument, &query);
  query.erase("t");
  return query;
}

std::string PeerOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      Microhttpd()->MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return "?";
  char text[INET6_ADDRSTRLEN] = "?";
  uint16_t port = 0;
  if (info->client_addr->sa_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(info->client_addr);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    port = ntohs(a->sin_port);
    return std::string(text) + ":" + std::to_string(port);
  }
  const auto* a = reinterpret_cast<const sockaddr_in6*>(info->client_addr);
  inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
  std::string peer(1, '[');
  peer.append(text).append("]:").append(std::to_string(ntohs(a->sin6_port)));
  return peer;
}

}  // namespace pelkan
