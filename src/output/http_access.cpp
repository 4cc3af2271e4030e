#include "output/http_access.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace pelkan {

namespace {

bool EqualsFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool StartsFolded(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsFolded(text.substr(0, prefix.size()), prefix);
}

// The address of `peer` as family and bytes; a v4-mapped IPv6 address as IPv4.
bool PeerBytes(const sockaddr* peer, int* family, uint8_t bytes[16]) {
  if (peer == nullptr) return false;
  if (peer->sa_family == AF_INET) {
    *family = AF_INET;
    std::memcpy(bytes, &reinterpret_cast<const sockaddr_in*>(peer)->sin_addr, 4);
    return true;
  }
  if (peer->sa_family != AF_INET6) return false;
  const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr;
  if (IN6_IS_ADDR_V4MAPPED(&a)) {
    *family = AF_INET;
    std::memcpy(bytes, a.s6_addr + 12, 4);
  } else {
    *family = AF_INET6;
    std::memcpy(bytes, a.s6_addr, 16);
  }
  return true;
}

bool InNetwork(const HttpNetwork& n, int family, const uint8_t* bytes) {
  if (n.family != family) return false;
  const unsigned whole = n.prefix / 8, rest = n.prefix % 8;
  if (std::memcmp(n.bytes, bytes, whole) != 0) return false;
  if (rest == 0) return true;
  const auto mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (n.bytes[whole] & mask) == (bytes[whole] & mask);
}

// The host part of a Host header: "name", "name:port", "[v6]", "[v6]:port"; nullopt when malformed.
std::optional<std::string> HostName(std::string_view host) {
  if (host.empty()) return std::nullopt;
  std::string_view name;
  std::string_view port;
  if (host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    name = host.substr(1, close - 1);
    const std::string_view after = host.substr(close + 1);
    if (!after.empty() && after.front() != ':') return std::nullopt;
    if (!after.empty()) port = after.substr(1);
  } else {
    const size_t colon = host.find(':');
    name = host.substr(0, colon);
    if (colon != std::string_view::npos) port = host.substr(colon + 1);
    if (port.find(':') != std::string_view::npos) return std::nullopt;
  }
  for (char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  if (name.empty()) return std::nullopt;
  std::string out(name);
  // A fully qualified name's final dot names the same host.
  if (out.size() > 1 && out.back() == '.') out.pop_back();
  return out;
}

// The numeric form of an address literal as inet_ntop writes it; nullopt when `text` is none.
std::optional<std::string> CanonicalAddress(const std::string& text) {
  uint8_t bytes[16];
  char out[INET6_ADDRSTRLEN] = "";
  if (inet_pton(AF_INET, text.c_str(), bytes) == 1)
    return std::string(inet_ntop(AF_INET, bytes, out, sizeof out));
  if (inet_pton(AF_INET6, text.c_str(), bytes) == 1)
    return std::string(inet_ntop(AF_INET6, bytes, out, sizeof out));
  return std::nullopt;
}

std::string_view BearerOf(std::string_view authorization) {
  constexpr std::string_view kBearer = "Bearer ";
  if (!StartsFolded(authorization, kBearer)) return {};
  std::string_view token = authorization.substr(kBearer.size());
  while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
  while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
  return token;
}

bool IsJson(std::string_view content_type) {
  constexpr std::string_view kJson = "application/json";
  if (!StartsFolded(content_type, kJson)) return false;
  const std::string_view rest = content_type.substr(kJson.size());
  return rest.empty() || rest.front() == ';' || rest.front() == ' ';
}

}  // namespace

std::vector<std::string> MachineAddresses() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr) continue;
    char text[INET6_ADDRSTRLEN] = "";
    if (a->ifa_addr->sa_family == AF_INET) {
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
    } else if (a->ifa_addr->sa_family == AF_INET6) {
      inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a->ifa_addr)->sin6_addr, text, sizeof text);
    } else {
      continue;
    }
    out.emplace_back(text);
  }
  freeifaddrs(list);
  return out;
}

bool ParseHttpNetworks(std::string_view text, std::vector<HttpNetwork>* out, std::string* error) {
  out->clear();
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find_first_of(", ", at), text.size());
    const std::string entry(text.substr(at, end - at));
    at = end + 1;
    if (entry.empty()) continue;
    const size_t slash = entry.find('/');
    const std::string address = entry.substr(0, slash);
    HttpNetwork n;
    unsigned most = 0;
    if (inet_pton(AF_INET, address.c_str(), n.bytes) == 1) {
      n.family = AF_INET;
      most = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), n.bytes) == 1) {
      n.family = AF_INET6;
      most = 128;
    } else {
      *error = "not a network: " + entry;
      return false;
    }
    n.prefix = most;
    if (slash != std::string::npos) {
      const char* first = entry.data() + slash + 1;
      const char* last = entry.data() + entry.size();
      const auto [ptr, ec] = std::from_chars(first, last, n.prefix);
      if (ec != std::errc() || ptr != last || first == last || n.prefix > most) {
        *error = "not a network: " + entry;
        return false;
      }
    }
    out->push_back(n);
  }
  return true;
}

bool SecretEquals(std::string_view given, std::string_view expected) {
  // Every byte of the longer one is looked at whatever the contents.
  const size_t n = std::max(given.size(), expected.size());
  unsigned char differ = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < n; ++i) {
    const auto a = static_cast<unsigned char>(i < given.size() ? given[i] : 0);
    const auto b = static_cast<unsigned char>(i < expected.size() ? expected[i] : 0);
    differ |= static_cast<unsigned char>(a ^ b);
  }
  return differ == 0 && !expected.empty();
}

HttpAccess::HttpAccess(HttpAccessConfig config)
    : config_(std::move(config)), addresses_(MachineAddresses()) {}

bool HttpAccess::PeerAllowed(const sockaddr* peer) const {
  int family = 0;
  uint8_t bytes[16] = {};
  if (!PeerBytes(peer, &family, bytes)) return false;
  const bool loopback =
      family == AF_INET ? bytes[0] == 127 : IN6_IS_ADDR_LOOPBACK(reinterpret_cast<const in6_addr*>(bytes));
  if (loopback || config_.allow.empty()) return true;
  return std::any_of(config_.allow.begin(), config_.allow.end(),
                     [&](const HttpNetwork& n) { return InNetwork(n, family, bytes); });
}

bool HttpAccess::IsMachineAddress(const std::string& literal) const {
  std::lock_guard<std::mutex> lock(addresses_mutex_);
  if (std::find(addresses_.begin(), addresses_.end(), literal) != addresses_.end()) return true;
  // An address given since the server started (a new lease) is looked up once more.
  addresses_ = MachineAddresses();
  return std::find(addresses_.begin(), addresses_.end(), literal) != addresses_.end();
}

bool HttpAccess::HostAllowed(std::string_view host) const {
  const std::optional<std::string> name = HostName(host);
  if (!name) return false;
  if (EqualsFolded(*name, "localhost")) return true;
  if (const std::optional<std::string> literal = CanonicalAddress(*name)) return IsMachineAddress(*literal);
  return std::any_of(config_.hosts.begin(), config_.hosts.end(),
                     [&](const std::string& h) { return EqualsFolded(*name, h); });
}

bool HttpAccess::NeedsViewToken(std::string_view path) {
  constexpr std::string_view kExact[] = {"/stream", "/playlist.m3u", "/guide.xml", "/status", "/recordings",
                                         "/recordings.m3u", "/recordings.json"};
  constexpr std::string_view kUnder[] = {"/service/", "/recordings/", "/api/"};
  return std::any_of(std::begin(kExact), std::end(kExact), [&](std::string_view p) { return path == p; }) ||
         std::any_of(std::begin(kUnder), std::end(kUnder),
                     [&](std::string_view p) { return path.starts_with(p); });
}

bool HttpAccess::HasControlToken(const HttpRequestHead& head) const {
  return SecretEquals(BearerOf(head.authorization), config_.control_token);
}

HttpVerdict HttpAccess::Judge(const HttpRequestHead& head) const {
  if (!head.host.empty() && !HostAllowed(head.host)) return {421, "this server is not that host"};
  const bool has_body = head.chunked || head.content_length.value_or(0) > 0;
  if (head.method == "GET" || head.method == "HEAD") {
    if (has_body) return {413, "a request body is not taken"};
    if (config_.loopback || !NeedsViewToken(head.path)) return {};
    const std::string_view bearer = BearerOf(head.authorization);
    for (std::string_view token : {std::string_view(head.query_token), bearer}) {
      if (SecretEquals(token, config_.view_token) || SecretEquals(token, config_.control_token)) return {};
    }
    return {401, "a token is needed"};
  }
  const bool change = head.method == "POST" || head.method == "PUT" || head.method == "DELETE";
  if (!change || !head.path.starts_with("/api/")) return {405, "method not allowed"};
  if (!HasControlToken(head)) return {401, "the control token is needed"};
  if (head.origin && *head.origin != "http://" + head.host) return {403, "not from this server's page"};
  if (!IsJson(head.content_type)) return {415, "a change is sent as application/json"};
  if (head.chunked) return {411, "a body is sent with its length"};
  if (head.content_length.value_or(0) > kMaxBody) return {413, "the body is too large"};
  return {};
}

bool IsLoopbackAddress(const std::string& address) {
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, address.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  // An IPv4 loopback address in IPv6 form.
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

}  // namespace pelkan
