#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "output/http_client_queue.h"
#include "output/http_file_stream.h"
#include "output/http_stream_ring.h"
#include "output/http_stream_server.h"
#include "ts/service_filter.h"

struct MHD_Connection;

namespace pelkan {

// One stream client of HttpStreamServer: what it reads (a reader of the shared ring for the whole
// stream, a queue of its own for a service, a recording's file), its filter (a service's), its
// connection (suspended while there is nothing to send; a client of the whole stream for good once
// its header is out, the server's HttpStreamSender writing to its socket) and its socket (to see a
// hang-up while the stream is quiet).
struct HttpStreamClient {
  enum Pace { kServing, kSuspended, kResuming };

  HttpStreamServer* server = nullptr;
  MHD_Connection* connection = nullptr;
  HttpClientInfo info;
  std::optional<uint16_t> service;
  ServiceFilter filter;  // producer side, under clients_mutex_
  std::unique_ptr<HttpStreamRing::Reader> reader;
  std::unique_ptr<HttpClientQueue> queue;
  std::unique_ptr<HttpFileStream> file;
  int fd = -1;
  std::atomic<uint64_t> sent{0};     // written by the library's thread
  std::atomic<Pace> pace{kServing};  // changed to kSuspended and kResuming under the server's pace_mutex_
  bool handed = false;               // to the sender (the library's thread)

  void Push(const uint8_t* packet, uint32_t length) {
    if (reader) reader->Lead(packet, length);
    else queue->Push(packet, length);
  }
  // Bytes, or what HttpFileStream::Take says (0: nothing yet).
  ssize_t Take(uint8_t* out, size_t max) {
    if (file) return file->Take(out, max);
    const std::chrono::milliseconds now(0);
    return static_cast<ssize_t>(reader ? reader->Take(out, max, now) : queue->Take(out, max, now));
  }
  void Close() {
    if (reader) reader->Close();
    else if (queue) queue->Close();
  }
  uint64_t lost() const { return reader ? reader->bytes_lost() : queue ? queue->bytes_lost() : 0; }
};

}  // namespace pelkan
