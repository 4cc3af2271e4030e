#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "output/http_stream_ring.h"

namespace pelkan {

// Sends the whole stream straight to the sockets of its clients, once a cycle for all of them, on
// one thread (the server's pacing thread): what the ring has new is copied out once, and every
// client that stands at it is sent those same bytes, in one large send; a client elsewhere (its
// first tables, a packet sent in part, fallen behind) takes its own bytes from its reader. Nothing
// waits on a socket: a client that cannot take what is sent keeps it for the next cycle and loses
// its oldest packets at its reader's bound, counted, as any client of the ring does.
//
// A client is let go (Cycle names it) when its peer hangs up, its socket fails, or it has taken
// nothing for the idle time while there was something to send. The socket stays the caller's: the
// sender only writes to it between Add and the cycle that lets it go (or TakeAll).
class HttpStreamSender {
 public:
  // Most bytes sent to one client in one send: more than a cycle of a broadcast brings.
  static constexpr size_t kMostBytes = 2u << 20;

  HttpStreamSender(HttpStreamRing& ring, std::chrono::seconds idle_timeout);
  HttpStreamSender(const HttpStreamSender&) = delete;
  HttpStreamSender& operator=(const HttpStreamSender&) = delete;

  // A client from now on (any thread): its non-blocking socket, its reader, and where the bytes sent
  // to it are counted; `id` names it. The first bytes go at the next cycle.
  void Add(uint64_t id, int fd, HttpStreamRing::Reader* reader, std::atomic<uint64_t>* sent);
  // One cycle (the sending thread): each client is sent what waits for it. Returns the ids of the
  // clients let go; the sender no longer touches their sockets.
  std::vector<uint64_t> Cycle(std::chrono::steady_clock::time_point now);
  // Lets every client go (once the sending thread has stopped); returns their ids.
  std::vector<uint64_t> TakeAll();
  // Whether the peer of a connected socket has closed or reset it (a client sends nothing after its
  // request, so anything else there is no hang-up).
  static bool PeerGone(int fd);
  // Whether there is any client (any thread).
  bool empty() const { return count_.load() == 0; }

 private:
  struct Target {
    uint64_t id = 0;
    int fd = -1;
    HttpStreamRing::Reader* reader = nullptr;
    std::atomic<uint64_t>* sent = nullptr;
    // Bytes the client took from its reader and the socket has not taken yet (from pending_at).
    std::unique_ptr<uint8_t[]> pending;  // kMostBytes, made when first needed
    size_t pending_size = 0;
    size_t pending_at = 0;
    std::chrono::steady_clock::time_point progress;  // when it last took a byte (or came)
  };
  // Sends what waits for `target`; false when it is to be let go.
  bool Serve(Target& target, std::chrono::steady_clock::time_point now);
  // Sends `size` bytes; the bytes the socket took (0 when full), or -1 when the client is gone.
  ssize_t Send(Target& target, const uint8_t* bytes, size_t size);

  HttpStreamRing& ring_;
  const std::chrono::seconds idle_timeout_;
  // Clients added since the last cycle (under mutex_), and those the sending thread serves.
  std::mutex mutex_;
  std::vector<std::unique_ptr<Target>> incoming_;
  std::vector<std::unique_ptr<Target>> targets_;
  std::atomic<size_t> count_{0};
  // The newest bytes copied out of the ring, from shared_from_ (sending thread).
  std::vector<uint8_t> shared_;
  uint64_t shared_from_ = 0;
  bool copied_ = false;
};

}  // namespace pelkan
