#include "output/http_stream_sender.h"

#include <sys/socket.h>

#include <cerrno>

namespace pelkan {

bool HttpStreamSender::PeerGone(int fd) {
  char byte;
  if (fd < 0) return false;
  const ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

HttpStreamSender::HttpStreamSender(HttpStreamRing& ring, std::chrono::seconds idle_timeout)
    : ring_(ring), idle_timeout_(idle_timeout) {}

void HttpStreamSender::Add(uint64_t id, int fd, HttpStreamRing::Reader* reader, std::atomic<uint64_t>* sent) {
  auto target = std::make_unique<Target>();
  target->id = id;
  target->fd = fd;
  target->reader = reader;
  target->sent = sent;
  target->progress = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  incoming_.push_back(std::move(target));
  count_.fetch_add(1);
}

std::vector<uint64_t> HttpStreamSender::Cycle(std::chrono::steady_clock::time_point now) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& target : incoming_) targets_.push_back(std::move(target));
    incoming_.clear();
  }
  std::vector<uint64_t> gone;
  if (targets_.empty()) {
    copied_ = false;
    shared_.clear();
    return gone;
  }
  // What came since the last copy, copied once for every client that stands at it.
  shared_from_ = ring_.Copy(copied_ ? shared_from_ + shared_.size() : ring_.written(), &shared_);
  copied_ = true;
  for (auto it = targets_.begin(); it != targets_.end();) {
    if (Serve(**it, now)) {
      ++it;
      continue;
    }
    gone.push_back((*it)->id);
    it = targets_.erase(it);
    count_.fetch_sub(1);
  }
  return gone;
}

std::vector<uint64_t> HttpStreamSender::TakeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& target : incoming_) targets_.push_back(std::move(target));
  incoming_.clear();
  std::vector<uint64_t> ids;
  for (const auto& target : targets_) ids.push_back(target->id);
  targets_.clear();
  count_.store(0);
  return ids;
}

ssize_t HttpStreamSender::Send(Target& target, const uint8_t* bytes, size_t size) {
  const ssize_t n = send(target.fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n >= 0) {
    target.sent->fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    return n;
  }
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

bool HttpStreamSender::Serve(Target& target, std::chrono::steady_clock::time_point now) {
  size_t wanted = 0, took = 0;
  // Bytes it has taken first; while the socket is full, nothing more is taken from the reader.
  if (target.pending_at < target.pending_size) {
    const size_t left = target.pending_size - target.pending_at;
    const ssize_t n = Send(target, target.pending.get() + target.pending_at, left);
    if (n < 0) return false;
    target.pending_at += static_cast<size_t>(n);
    wanted += left;
    took += static_cast<size_t>(n);
  }
  if (target.pending_at >= target.pending_size) {
    target.pending_at = target.pending_size = 0;
    size_t offset = 0;
    switch (target.reader->StandAt(shared_from_, shared_.size(), &offset)) {
      case HttpStreamRing::Reader::Stand::kAt: {
        const size_t left = shared_.size() - offset;
        const ssize_t n = left > 0 ? Send(target, shared_.data() + offset, left) : 0;
        target.reader->Sent(shared_.data() + offset, left, n > 0 ? static_cast<size_t>(n) : 0);
        if (n < 0) return false;
        wanted += left;
        took += static_cast<size_t>(n);
        break;
      }
      case HttpStreamRing::Reader::Stand::kAhead:
        break;
      case HttpStreamRing::Reader::Stand::kAside: {
        if (!target.pending) target.pending = std::make_unique_for_overwrite<uint8_t[]>(kMostBytes);
        size_t got = 0;
        for (size_t n = 1; got < kMostBytes && n > 0; got += n) {
          n = target.reader->Take(target.pending.get() + got, kMostBytes - got, std::chrono::milliseconds(0));
        }
        if (got == 0) break;
        const ssize_t n = Send(target, target.pending.get(), got);
        if (n < 0) return false;
        target.pending_size = got;
        target.pending_at = static_cast<size_t>(n);
        wanted += got;
        took += static_cast<size_t>(n);
        break;
      }
    }
  }
  if (took > 0) target.progress = now;
  else if (wanted > 0 && now - target.progress >= idle_timeout_) return false;
  // One that took all it was sent is there; otherwise a hang-up is looked for.
  return (wanted > 0 && took == wanted) || !PeerGone(target.fd);
}

}  // namespace pelkan
