#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "usb/ts_source.h"

namespace pelkan::testing {

// Collects what the data callback receives (on the receive thread).
struct Sink {
  std::vector<uint8_t> bytes;
  std::atomic<uint64_t> size{0};
  uint64_t last_total = 0;
  bool bad_total = false;
  int zero_length_calls = 0;
  uint64_t cap = 1ull << 62;

  static void Callback(const uint8_t* data, uint32_t length, uint32_t low, uint32_t high, void* user) {
    auto* s = static_cast<Sink*>(user);
    if (length == 0) ++s->zero_length_calls;
    const uint64_t total = (static_cast<uint64_t>(high) << 32) | low;
    if (total != s->last_total + length) s->bad_total = true;
    s->last_total = total;
    if (s->bytes.size() < s->cap) s->bytes.insert(s->bytes.end(), data, data + length);
    s->size.fetch_add(length);
  }

  // Waits until at least `n` bytes arrived (at most 10 s). True when they did.
  bool WaitFor(uint64_t n) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (size.load() < n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  // Index of the first byte that differs from the pattern stream, or -1.
  int64_t FirstMismatch() const {
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] != usb::PatternTsSource::ByteAt(i)) return static_cast<int64_t>(i);
    }
    return -1;
  }
};

}  // namespace pelkan::testing
