#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelkan {

// One network of an allow-list ("192.168.0.0/16", "fd00::/8", or one address).
struct HttpNetwork {
  int family = 0;  // AF_INET or AF_INET6
  uint8_t bytes[16] = {};
  unsigned prefix = 0;  // bits
};

// The networks of a comma- or space-separated list. False, with *error (English) naming the first
// entry that is no network, when one is not.
bool ParseHttpNetworks(std::string_view text, std::vector<HttpNetwork>* out, std::string* error);

// This machine's addresses, in inet_ntop form (loopback ones included).
std::vector<std::string> MachineAddresses();

// Whether `address` (numeric) is a loopback address, which only programs on this computer reach.
bool IsLoopbackAddress(const std::string& address);

// Whether two secrets are equal, in a time that depends only on their lengths (not on where they
// first differ).
bool SecretEquals(std::string_view given, std::string_view expected);

// Who may use the HTTP server and for what.
struct HttpAccessConfig {
  // Peers beyond these networks are refused at accept; an empty list refuses none. Loopback
  // peers are always let in.
  std::vector<HttpNetwork> allow;
  // Names the Host header may give besides localhost and this machine's address literals.
  std::vector<std::string> hosts;
  // The view token (`?t=`, or as Bearer), required when the server listens beyond loopback on
  // the stream, the playlist, the guide, the recordings and the API's reading; and the control
  // token (Bearer) every change needs. Empty: none matches.
  std::string view_token;
  std::string control_token;
  // The server listens on a loopback address: only this machine reaches it (the server clears it
  // for any other address; clearing it asks for the tokens on loopback too).
  bool loopback = true;
};

// What the server knows of a request at its header.
struct HttpRequestHead {
  std::string method;
  std::string path;  // as the library decoded it
  std::string host;  // the Host header ("" when absent)
  std::optional<std::string> origin;
  std::string authorization;  // the Authorization header
  std::string content_type;
  std::string query_token;                 // ?t=
  std::optional<uint64_t> content_length;  // nullopt: none given
  bool chunked = false;
};

// The refusal of a request: its status and text; status 0 lets it through.
struct HttpVerdict {
  unsigned status = 0;
  const char* text = "";
};

// The server's rules of access, checked before any route sees a request:
//   a peer outside the allow-list is refused at accept;
//   a Host other than localhost, an address literal of this machine or a configured name: 421
//   (defeats DNS rebinding);
//   GET reads (a token where said above: 401); POST, PUT and DELETE change, under /api/ only,
//   with `Content-Type: application/json`, the control token as Bearer, an allowed Origin when
//   one is sent, and a body of at most kMaxBody bytes announced by its length;
//   everything else: 405. Headers such as X-Forwarded-For and query overrides of the method are
//   never read.
// Any thread (the machine's addresses are looked up again, under a lock, when a Host names an
// address not seen before).
class HttpAccess {
 public:
  static constexpr uint64_t kMaxBody = 64u << 10;

  explicit HttpAccess(HttpAccessConfig config);

  // Whether the peer of a new connection may stay.
  bool PeerAllowed(const sockaddr* peer) const;
  // Whether `host` (a Host header: "name", "name:port", "[v6]:port") names this server.
  bool HostAllowed(std::string_view host) const;
  // The verdict on a request at its header.
  HttpVerdict Judge(const HttpRequestHead& head) const;
  // Whether the request carries the control token as Bearer.
  bool HasControlToken(const HttpRequestHead& head) const;
  // Whether `path` is read only with the view token when the server listens beyond loopback.
  static bool NeedsViewToken(std::string_view path);
  // The view token the playlist's URLs carry ("" while the server stays on loopback).
  std::string PlaylistToken() const { return config_.loopback ? std::string() : config_.view_token; }

 private:
  bool IsMachineAddress(const std::string& literal) const;

  const HttpAccessConfig config_;
  mutable std::mutex addresses_mutex_;
  mutable std::vector<std::string> addresses_;  // this machine's, in inet_ntop form
};

}  // namespace pelkan
