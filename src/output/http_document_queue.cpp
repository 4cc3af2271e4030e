#include "output/http_document_queue.h"

#include <chrono>
#include <exception>
#include <utility>

#include "output/microhttpd_library.h"

namespace pelkan {

struct HttpDocumentQueue::Request {
  MHD_Connection* connection = nullptr;
  // Set by the document thread under mutex_ before it resumes the request.
  HttpReply reply;
  bool made = false;
  // Resumed and not taken up since (counted in resuming_).
  std::atomic<bool> resume_pending{false};
};

HttpDocumentQueue::HttpDocumentQueue(size_t builders, size_t max_waiting) : max_waiting_(max_waiting) {
  for (size_t i = 0; i < builders; ++i) threads_.emplace_back(&HttpDocumentQueue::Work, this);
}

HttpDocumentQueue::~HttpDocumentQueue() {
  Close();
}

bool HttpDocumentQueue::Start(MHD_Connection* connection, void** req_cls, Make make) {
  auto request = std::make_unique<Request>();
  request->connection = connection;
  Request* r = request.get();
  auto job = [this, r, make = std::move(make)](bool run) {
    HttpReply reply;
    if (run) {
      try {
        reply = make();
      } catch (const std::exception&) {
        run = false;  // no memory for it: answered as a busy server
      }
    }
    Resume(*r, std::move(reply), run);
  };
  // The request is suspended before its job may finish: the job resumes it under the same lock.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_ || waiting_.size() >= max_waiting_) return false;
    waiting_.push_back(std::move(job));
    *req_cls = request.release();
    Microhttpd()->MHD_suspend_connection(connection);
  }
  wake_.notify_one();
  return true;
}

void HttpDocumentQueue::Resume(Request& request, HttpReply reply, bool made) {
  std::lock_guard<std::mutex> lock(mutex_);
  request.reply = std::move(reply);
  request.made = made;
  request.resume_pending = true;
  resuming_.fetch_add(1);
  Microhttpd()->MHD_resume_connection(request.connection);
}

HttpDocumentQueue::Answer HttpDocumentQueue::Finish(void* req_cls) {
  auto& request = *static_cast<Request*>(req_cls);
  if (request.resume_pending.exchange(false)) resuming_.fetch_sub(1);
  std::lock_guard<std::mutex> lock(mutex_);
  Answer answer;
  answer.made = request.made;
  answer.reply = std::move(request.reply);
  return answer;
}

void HttpDocumentQueue::Completed(void** req_cls) {
  auto* request = static_cast<Request*>(*req_cls);
  if (request == nullptr) return;
  *req_cls = nullptr;
  // Resumed and closed before it was taken up.
  if (request->resume_pending.exchange(false)) resuming_.fetch_sub(1);
  delete request;
}

void HttpDocumentQueue::Close() {
  std::deque<std::function<void(bool run)>> cancelled;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    cancelled.swap(waiting_);
  }
  wake_.notify_all();
  for (auto& job : cancelled) job(false);
  for (std::thread& t : threads_) {
    if (t.joinable()) t.join();
  }
  threads_.clear();
  for (int i = 0; i < 200 && resuming_.load() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void HttpDocumentQueue::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return closing_ || !waiting_.empty(); });
    if (closing_) return;
    auto job = std::move(waiting_.front());
    waiting_.pop_front();
    lock.unlock();
    job(true);
    lock.lock();
  }
}

}  // namespace pelkan
