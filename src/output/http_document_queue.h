#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "output/http_reply.h"

struct MHD_Connection;

namespace pelkan {


// The HTTP server's requests for documents (the owner's pages, such as a guide of tens of
// thousands of programmes): each is suspended while a document thread of this queue makes its
// page, and resumed when it is made, so that the serving thread never waits for one. At most
// `builders` are made at once and at most `max_waiting` requests wait; more are refused.
// Start, Finish and Completed on the library's thread; Close on the server's owning thread.
class HttpDocumentQueue {
 public:
  using Make = std::function<HttpReply()>;

  // What a resumed request is answered with.
  struct Answer {
    bool made = false;  // false: the server stopped first (or there was no memory for it)
    HttpReply reply;
  };

  HttpDocumentQueue(size_t builders, size_t max_waiting);
  // Close.
  ~HttpDocumentQueue();
  HttpDocumentQueue(const HttpDocumentQueue&) = delete;
  HttpDocumentQueue& operator=(const HttpDocumentQueue&) = delete;

  // In the access handler's call for `connection`: suspends it and queues the making of its page
  // *req_cls receives the request's state. False (nothing suspended) when too many wait or the
  // queue is closed.
  bool Start(MHD_Connection* connection, void** req_cls, Make make);
  // In the access handler's call for a resumed request (its *req_cls set by Start): the answer.
  Answer Finish(void* req_cls);
  // In the library's completion callback: frees the request's state (nothing for other requests).
  void Completed(void** req_cls);
  // Lets the waiting requests go (they are resumed unmade), waits for those being made and ends
  // the threads; then waits, for at most two seconds, until the library has taken up every
  // resumed request. The queue takes nothing more.
  void Close();

 private:
  struct Request;
  void Work();
  // Hands a request its page (or none) and resumes it.
  void Resume(Request& request, HttpReply reply, bool made);

  const size_t max_waiting_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void(bool run)>> waiting_;
  bool closing_ = false;
  std::vector<std::thread> threads_;
  // Requests resumed that the library has not taken up since.
  std::atomic<size_t> resuming_{0};
};

}  // namespace pelkan
