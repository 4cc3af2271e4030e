#include "output/http_stream_ring.h"

#include <algorithm>
#include <cstring>

namespace pelkan {

namespace {
constexpr uint32_t kPacket = 188;
constexpr uint32_t kLargestPacket = 204;
}  // namespace

HttpStreamRing::HttpStreamRing(size_t span) : ring_(std::max<size_t>(span, kLargestPacket)) {}

const HttpStreamRing::Segment& HttpStreamRing::SegmentAt(uint64_t at) const {
  for (auto it = segments_.rbegin(); it != segments_.rend(); ++it) {
    if (it->start <= at) return *it;
  }
  return segments_.front();
}

uint64_t HttpStreamRing::SegmentEnd(uint64_t at) const {
  for (auto it = segments_.begin(); it != segments_.end(); ++it) {
    if (it->start > at) return it->start;
  }
  return written_;
}

uint64_t HttpStreamRing::Boundary(uint64_t at) const {
  if (at >= written_) return written_;
  const Segment& s = SegmentAt(at);
  if (at <= s.start) return s.start;
  // A segment holds whole packets, so the boundary lies within it or at its end.
  return s.start + (at - s.start + s.length - 1) / s.length * s.length;
}

size_t HttpStreamRing::WholeBytes(uint64_t at, uint64_t end, size_t max) const {
  size_t bytes = 0;
  while (at < end) {
    const uint32_t length = SegmentAt(at).length;
    const uint64_t available = std::min(SegmentEnd(at), end) - at;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(available, max - bytes)) / length * length;
    if (take == 0) break;
    bytes += take;
    at += take;
    if (take < available) break;  // no room for more
  }
  return bytes;
}

void HttpStreamRing::CopyOut(uint64_t at, size_t length, uint8_t* out) const {
  const size_t place = static_cast<size_t>(at % ring_.size());
  const size_t first = std::min(length, ring_.size() - place);
  std::memcpy(out, ring_.data() + place, first);
  std::memcpy(out + first, ring_.data(), length - first);
}

void HttpStreamRing::Write(const uint8_t* packets, size_t count, uint32_t length) {
  if (length == 0 || length > kLargestPacket || count == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (readers_.empty()) return;
  const size_t bytes = count * length;
  if (segments_.empty() || segments_.back().length != length) segments_.push_back({written_, length});
  // More than the ring holds at once: only its newest part can still be read.
  const size_t skip = bytes > ring_.size() ? (bytes - ring_.size()) : 0;
  const size_t place = static_cast<size_t>((written_ + skip) % ring_.size());
  const size_t first = std::min(bytes - skip, ring_.size() - place);
  std::memcpy(ring_.data() + place, packets + skip, first);
  std::memcpy(ring_.data(), packets + skip + first, bytes - skip - first);
  written_ += bytes;
  // The segments wholly older than what the ring holds are forgotten.
  const uint64_t oldest = written_ > ring_.size() ? written_ - ring_.size() : 0;
  while (segments_.size() > 1 && segments_[1].start <= oldest) segments_.pop_front();
  for (Reader* reader : readers_) {
    if (reader->waiting_ && std::min<uint64_t>(reader->Waiting(), reader->bound_) >= reader->wake_bytes_) {
      reader->waiting_ = false;
      reader->wake_.notify_one();
    }
  }
}

uint64_t HttpStreamRing::written() {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

uint64_t HttpStreamRing::Copy(uint64_t from, std::vector<uint8_t>* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t oldest = written_ > ring_.size() ? Boundary(written_ - ring_.size()) : 0;
  const uint64_t start = std::min(std::max(from, oldest), written_);
  out->resize(static_cast<size_t>(written_ - start));
  if (!out->empty()) CopyOut(start, out->size(), out->data());
  return start;
}

std::unique_ptr<HttpStreamRing::Reader> HttpStreamRing::Attach(uint32_t bound, uint32_t wake_bytes) {
  std::unique_ptr<Reader> reader(new Reader(*this, bound, wake_bytes));
  std::lock_guard<std::mutex> lock(mutex_);
  reader->cursor_ = written_;
  readers_.push_back(reader.get());
  return reader;
}

HttpStreamRing::Reader::Reader(HttpStreamRing& ring, uint32_t bound, uint32_t wake_bytes)
    : ring_(ring),
      // Never more than the ring keeps, so what a reader has not lost is still there.
      bound_(static_cast<uint32_t>(std::min<size_t>(std::max<uint32_t>(bound / kPacket, 1) * kPacket,
                                                    ring.ring_.size() / kPacket * kPacket))),
      wake_bytes_(wake_bytes) {}

HttpStreamRing::Reader::~Reader() {
  std::lock_guard<std::mutex> lock(ring_.mutex_);
  std::erase(ring_.readers_, this);
}

uint64_t HttpStreamRing::Reader::End() const {
  return closed_ ? closed_at_ : ring_.written_;
}

uint64_t HttpStreamRing::Reader::Waiting() const {
  return own_bytes_ + (End() - cursor_);
}

void HttpStreamRing::Reader::Trim() {
  if (held_) return;
  const uint64_t end = End();
  const uint64_t shared = end - cursor_;
  // What is past the bound and (for a closed reader) what the ring has overwritten since.
  const uint64_t size = ring_.ring_.size();
  const uint64_t oldest = ring_.written_ > size ? ring_.written_ - size : 0;
  const uint64_t from = std::min(std::max(end - std::min<uint64_t>(shared, bound_), oldest), end);
  if (from > cursor_) {
    // Everything of its own goes, and the shared packets that start before `from`.
    lost_ += own_bytes_;
    own_.clear();
    own_bytes_ = 0;
    uint64_t to = from >= end ? end : ring_.Boundary(from);
    // The newest packet stays even when it alone is over the bound, unless it is overwritten.
    if (to == end && end > cursor_ && end - ring_.SegmentAt(end - 1).length >= oldest) {
      to = end - ring_.SegmentAt(end - 1).length;
    }
    lost_ += to - cursor_;
    cursor_ = to;
    return;
  }
  while (own_.size() > (shared == 0 ? 1u : 0u) && own_bytes_ + shared > bound_) {
    lost_ += own_.front().size();
    own_bytes_ -= own_.front().size();
    own_.pop_front();
  }
}

void HttpStreamRing::Reader::Lead(const uint8_t* packet, uint32_t length) {
  if (length == 0 || length > kLargestPacket) return;
  std::lock_guard<std::mutex> lock(ring_.mutex_);
  if (closed_) return;
  own_.emplace_back(packet, packet + length);
  own_bytes_ += length;
  Trim();
}

size_t HttpStreamRing::Reader::Take(uint8_t* out, size_t max, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(ring_.mutex_);
  if (partial_at_ < partial_.size()) {
    const size_t n = std::min(max, partial_.size() - partial_at_);
    std::memcpy(out, partial_.data() + partial_at_, n);
    partial_at_ += n;
    return n;
  }
  Trim();
  if (std::min<uint64_t>(Waiting(), bound_) < wake_bytes_ && !closed_) {
    waiting_ = true;
    wake_.wait_for(lock, wait, [this] { return !waiting_ || closed_; });
    waiting_ = false;
    Trim();
  }
  // Hands out a packet larger than the room left in pieces (it leaves the reader whole).
  const auto in_pieces = [&](const uint8_t* packet, size_t length) {
    partial_.assign(packet, packet + length);
    partial_at_ = max;
    std::memcpy(out, partial_.data(), max);
    return max;
  };
  size_t copied = 0;
  while (!own_.empty()) {
    std::vector<uint8_t> packet = std::move(own_.front());
    if (copied + packet.size() > max && copied > 0) {
      own_.front() = std::move(packet);
      return copied;
    }
    own_.pop_front();
    own_bytes_ -= packet.size();
    if (packet.size() > max) return in_pieces(packet.data(), packet.size());
    std::memcpy(out + copied, packet.data(), packet.size());
    copied += packet.size();
  }
  const uint64_t end = End();
  if (cursor_ >= end) return copied;
  const size_t whole = ring_.WholeBytes(cursor_, end, max - copied);
  if (whole == 0) {
    if (copied > 0) return copied;
    uint8_t packet[kLargestPacket];
    const uint32_t length = ring_.SegmentAt(cursor_).length;
    ring_.CopyOut(cursor_, length, packet);
    cursor_ += length;
    return in_pieces(packet, length);
  }
  ring_.CopyOut(cursor_, whole, out + copied);
  cursor_ += whole;
  return copied + whole;
}

HttpStreamRing::Reader::Stand HttpStreamRing::Reader::StandAt(uint64_t from, size_t size, size_t* offset) {
  std::lock_guard<std::mutex> lock(ring_.mutex_);
  Trim();
  if (!own_.empty() || partial_at_ < partial_.size() || closed_ || cursor_ < from) return Stand::kAside;
  if (cursor_ > from + size) return Stand::kAhead;
  *offset = static_cast<size_t>(cursor_ - from);
  held_ = true;
  return Stand::kAt;
}

void HttpStreamRing::Reader::Sent(const uint8_t* bytes, size_t size, size_t sent) {
  std::lock_guard<std::mutex> lock(ring_.mutex_);
  held_ = false;
  if (sent == 0) return;
  // The copy ends at a packet's end, so the packet sent in part ends within it.
  const uint64_t to = cursor_ + sent;
  const uint64_t boundary = std::min(ring_.Boundary(to), cursor_ + size);
  if (boundary > to) {
    partial_.assign(bytes + sent, bytes + (boundary - cursor_));
    partial_at_ = 0;
  }
  cursor_ = boundary;
}

void HttpStreamRing::Reader::Close() {
  std::lock_guard<std::mutex> lock(ring_.mutex_);
  if (!closed_) closed_at_ = ring_.written_;
  closed_ = true;
  wake_.notify_all();
}

uint64_t HttpStreamRing::Reader::bytes_lost() {
  std::lock_guard<std::mutex> lock(ring_.mutex_);
  Trim();
  return lost_;
}

}  // namespace pelkan
