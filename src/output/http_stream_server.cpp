#include "output/http_stream_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>

#include "output/http_client_queue.h"
#include "output/http_document_queue.h"
#include "output/http_file_stream.h"
#include "output/http_reply.h"
#include "output/http_request.h"
#include "output/http_stream_client.h"
#include "output/http_stream_ring.h"
#include "output/http_stream_sender.h"
#include "output/microhttpd_library.h"
#include "ts/service_filter.h"

namespace pelkan {

namespace {

// The library's functions; every call below runs once Start has loaded them.
const MicrohttpdLibrary& Mhd() {
  return *Microhttpd();
}

// Most bytes of one chunk of a response the library sends (a service's stream, a recording's file).
// The library builds each chunk in the connection's memory, so that memory is this much beyond the
// request header's (a smaller one makes each new connection cheaper, but a chasing client of a
// growing file then needs several sends a cycle, which costs more).
constexpr size_t kChunkBytes = 256u << 10;
// The library's waiting clients are resumed every kCycle, or as soon as a chunk's worth of whole packets
// has been handed on (at a terrestrial broadcast's rate the cycle comes first, with about
// 200 KiB): few wake-ups and few large writes, which is what the kernel's loopback and network
// paths cost least for, and a player hardly notices the delay. A client that hangs up is seen
// within a cycle.
constexpr uint32_t kWakeBytes = (kChunkBytes - 4096) / 188 * 188;
constexpr std::chrono::milliseconds kCycle{100};
// The whole stream's clients are written to straight, all in one wake-up of the pacing thread
// every kSendCycle (about 530 KB each at a terrestrial broadcast's rate: the kernel's loopback
// costs a third less for such sends than for those of 100 ms; a player buffers seconds), and at
// once when one comes, so that it starts without waiting.
constexpr std::chrono::milliseconds kSendCycle{250};
// How often the pacing thread looks in while the producer keeps the cycle itself.
constexpr std::chrono::milliseconds kLookIn{500};
// Packets gathered before they are handed to the clients (about 10 ms of a broadcast).
constexpr size_t kBatchPackets = 128;
// Room in the connection's memory for the library's own use besides the header and a chunk.
constexpr size_t kHeaderSlack = 4u << 10;
// Most packets kept of one table's last section.
constexpr size_t kTablePackets = 8;

uint16_t PidOf(const uint8_t* data, uint32_t length) {
  const uint32_t offset = length == 192 ? 4 : 0;
  return static_cast<uint16_t>((data[offset + 1] & 0x1F) << 8 | data[offset + 2]);
}

bool StartsUnit(const uint8_t* data, uint32_t length) {
  const uint32_t offset = length == 192 ? 4 : 0;
  return (data[offset + 1] & 0x40) != 0;
}

// An error answer after which the connection closes.
MHD_Result Refuse(MHD_Connection* connection, unsigned status, const char* text, const char* allow = nullptr) {
  return static_cast<MHD_Result>(QueueText(connection, status, text, true, allow));
}

}  // namespace

// An open connection, for the header time-out.
struct HttpStreamServer::Connection {
  int fd = -1;
  std::chrono::steady_clock::time_point began;
  bool header_done = false;
  bool dropped = false;
};

// The library's callbacks.
struct HttpCallbacks {
  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                              const char* version, const char* upload_data, size_t* upload_data_size,
                              void** req_cls) {
    auto* server = static_cast<HttpStreamServer*>(cls);
    // A request that waited for its answer, resumed.
    if (*req_cls != nullptr) return static_cast<MHD_Result>(server->FinishDocument(connection, *req_cls));
    // A change's body arriving.
    if (server->uploads_.count(connection) != 0) {
      return static_cast<MHD_Result>(server->Upload(connection, upload_data, upload_data_size, req_cls));
    }
    // Everything else is answered at the header: no other route takes a body, so none is ever
    // read (a client trickling one would hold its connection), and the connection of a refusal
    // closes.
    {
      std::lock_guard<std::mutex> lock(server->watch_mutex_);
      const auto it = server->connections_.find(connection);
      if (it != server->connections_.end()) it->second->header_done = true;
    }
    // The connection's memory also holds a chunk of a stream response, so the header is measured.
    if (HeaderBytes(connection, url, method, version) > HttpStreamServer::kHeaderMemory) {
      return Refuse(connection, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "request header too large");
    }
    // HTTP/1.1 requires the Host header (and the playlist's addresses come from it).
    if (std::strcmp(version, MHD_HTTP_VERSION_1_1) == 0 &&
        Mhd().MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST) == nullptr) {
      return Refuse(connection, MHD_HTTP_BAD_REQUEST, "no Host header");
    }
    const HttpRequestHead head = ReadRequestHead(connection, url, method);
    const HttpVerdict verdict = server->access_->Judge(head);
    if (verdict.status != 0) {
      return Refuse(connection, verdict.status, verdict.text,
                    verdict.status == MHD_HTTP_METHOD_NOT_ALLOWED ? MHD_HTTP_METHOD_GET : nullptr);
    }
    if (head.method != MHD_HTTP_METHOD_GET && head.method != MHD_HTTP_METHOD_HEAD) {
      // A change the rules let through: its body is taken (at most kMaxBody bytes), then answered.
      HttpRequest& request = server->uploads_[connection];
      request.method = head.method;
      request.path = head.path;
      return MHD_YES;
    }
    return static_cast<MHD_Result>(server->Answer(connection, url, req_cls));
  }

  static MHD_Result OnAccept(void* cls, const sockaddr* addr, socklen_t /*addrlen*/) {
    const HttpAccess* access = static_cast<HttpStreamServer*>(cls)->access_.get();
    return access != nullptr && access->PeerAllowed(addr) ? MHD_YES : MHD_NO;
  }

  static void OnCompleted(void* cls, MHD_Connection* connection, void** req_cls,
                          MHD_RequestTerminationCode /*code*/) {
    auto* server = static_cast<HttpStreamServer*>(cls);
    server->uploads_.erase(connection);
    server->documents_->Completed(req_cls);
  }

  static void OnConnection(void* cls, MHD_Connection* connection, void** /*socket_context*/,
                           MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<HttpStreamServer*>(cls);
    std::lock_guard<std::mutex> lock(server->watch_mutex_);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      server->connections_.erase(connection);
      return;
    }
    auto c = std::make_shared<HttpStreamServer::Connection>();
    const MHD_ConnectionInfo* info =
        Mhd().MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    c->fd = info != nullptr ? info->connect_fd : -1;
    c->began = std::chrono::steady_clock::now();
    server->connections_[connection] = std::move(c);
    server->watch_wake_.notify_one();
  }

  static ssize_t OnRead(void* cls, uint64_t /*pos*/, char* buf, size_t max) {
    auto* client = static_cast<HttpStreamServer::Client*>(cls);
    HttpStreamServer* server = client->server;
    if (client->pace.exchange(HttpStreamClient::kServing) == HttpStreamClient::kResuming) {
      server->resuming_.fetch_sub(1);
    }
    // A stream just ends with the server; a file not sent whole ends as cut short, which the client sees.
    const ssize_t stopped = client->file ? MHD_CONTENT_READER_END_WITH_ERROR : MHD_CONTENT_READER_END_OF_STREAM;
    if (server->stopping_.load(std::memory_order_relaxed)) return stopped;
    // A client of the whole stream: once its header is out, the sender writes the rest to its
    // socket while the library leaves the connection suspended; resumed, it ends.
    if (client->reader) {
      if (client->handed) return MHD_CONTENT_READER_END_WITH_ERROR;
      {
        std::lock_guard<std::mutex> lock(server->pace_mutex_);
        if (server->stopping_.load()) return stopped;
        Mhd().MHD_suspend_connection(client->connection);
        client->pace = HttpStreamClient::kSuspended;
        client->handed = true;
        server->sender_->Add(client->info.id, client->fd, client->reader.get(), &client->sent);
      }
      server->send_now_.store(true);
      server->watch_wake_.notify_one();
      return 0;
    }
    const ssize_t n = client->Take(reinterpret_cast<uint8_t*>(buf), max);
    if (n > 0) {
      client->sent.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
      return n;
    }
    if (n == HttpFileStream::kEnd) return MHD_CONTENT_READER_END_OF_STREAM;
    if (n == HttpFileStream::kFailed) return MHD_CONTENT_READER_END_WITH_ERROR;
    // Nothing waits: a client that has hung up is let go now rather than at the next data; any
    // other is suspended until the next cycle resumes it.
    if (HttpStreamSender::PeerGone(client->fd)) return MHD_CONTENT_READER_END_WITH_ERROR;
    std::lock_guard<std::mutex> lock(server->pace_mutex_);
    if (server->stopping_.load()) return stopped;
    Mhd().MHD_suspend_connection(client->connection);
    client->pace = HttpStreamClient::kSuspended;
    server->suspended_.push_back(client);
    return 0;
  }

  static void OnResponseFreed(void* cls) {
    std::shared_ptr<HttpStreamServer::Client> gone;
    auto* client = static_cast<HttpStreamServer::Client*>(cls);
    HttpStreamServer* server = client->server;
    // Resumed and ended before it was served again.
    if (client->pace.exchange(HttpStreamClient::kServing) == HttpStreamClient::kResuming) {
      server->resuming_.fetch_sub(1);
    }
    {
      std::lock_guard<std::mutex> lock(server->clients_mutex_);
      auto it = std::find_if(server->clients_.begin(), server->clients_.end(),
                             [client](const auto& c) { return c.get() == client; });
      if (it == server->clients_.end()) return;
      gone = *it;
      server->clients_.erase(it);
    }
    gone->Close();
    if (server->notice_) {
      HttpClientInfo info = gone->info;
      info.bytes_sent = gone->sent.load();
      info.bytes_lost = gone->lost();
      server->notice_(info, true);
    }
  }
};

HttpStreamServer::HttpStreamServer(HttpPages pages, ClientNotice notice)
    : pages_(std::move(pages)), notice_(std::move(notice)) {}

HttpStreamServer::~HttpStreamServer() {
  Stop();
}

bool HttpStreamServer::Start(const HttpServerConfig& config, std::string* error) {
  Stop();
  // A missing library fails this server alone, here, with the loader's reason.
  std::string missing;
  if (Microhttpd(&missing) == nullptr) {
    *error = "cannot start the HTTP server without libmicrohttpd: " + missing;
    return false;
  }
  config_ = config;
  config_.access.loopback = config.access.loopback && IsLoopbackAddress(config.address);
  access_ = std::make_unique<HttpAccess>(config_.access);
  sockaddr_storage address{};
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_ALLOW_SUSPEND_RESUME;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, config.address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(config.port);
  } else if (inet_pton(AF_INET6, config.address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(config.port);
    flags |= MHD_USE_IPv6;
  } else {
    *error = "not a numeric IPv4 or IPv6 address: " + config.address;
    return false;
  }
  stopping_.store(false);
  documents_ = std::make_unique<HttpDocumentQueue>(kDocumentBuilders, kDocumentsWaiting);
  {
    // The ring keeps what the clients may be behind and a batch more.
    std::lock_guard<std::mutex> batch(batch_mutex_);
    const size_t span = std::max<size_t>(config.queue_bytes, 188) + (kBatchPackets + 1) * 204;
    ring_ = std::make_unique<HttpStreamRing>(span);
    sender_ = std::make_unique<HttpStreamSender>(*ring_, std::chrono::seconds(config.idle_timeout_s));
  }
  daemon_ = Mhd().MHD_start_daemon(
      flags, config.port, &HttpCallbacks::OnAccept, this, &HttpCallbacks::OnRequest, this, MHD_OPTION_SOCK_ADDR,
      reinterpret_cast<sockaddr*>(&address), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<size_t>(kHeaderMemory + kChunkBytes + kHeaderSlack), MHD_OPTION_CONNECTION_LIMIT,
      static_cast<unsigned>(config.max_clients + kExtraConnections), MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(config.idle_timeout_s), MHD_OPTION_NOTIFY_CONNECTION,
      &HttpCallbacks::OnConnection, this, MHD_OPTION_NOTIFY_COMPLETED, &HttpCallbacks::OnCompleted, this,
      MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    {
      std::lock_guard<std::mutex> batch(batch_mutex_);
      sender_.reset();
      ring_.reset();
    }
    documents_.reset();
    *error = "cannot listen on " + config.address + ":" + std::to_string(config.port) + ": " +
             std::strerror(errno != 0 ? errno : EADDRINUSE);
    return false;
  }
  const MHD_DaemonInfo* info = Mhd().MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info != nullptr ? info->port : config.port;
  pacer_ = std::thread(&HttpStreamServer::Pace, this);
  return true;
}

void HttpStreamServer::Stop() {
  if (daemon_ == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(watch_mutex_);
    stopping_.store(true);
  }
  watch_wake_.notify_all();
  if (pacer_.joinable()) pacer_.join();
  {
    std::lock_guard<std::mutex> lock(clients_mutex_);
    for (const auto& c : clients_) c->Close();
  }
  // The requests waiting for a document are let go, those being made finish; each is resumed.
  documents_->Close();
  // The suspended clients end their responses once resumed; the library is stopped after it has
  // served them (a connection is never suspended again once stopping_ is set).
  ResumeWaiting();
  Resume(sender_->TakeAll());
  for (int i = 0; i < 200 && resuming_.load() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Mhd().MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  uploads_.clear();
  documents_.reset();
  {
    std::lock_guard<std::mutex> batch(batch_mutex_);
    sender_.reset();
    ring_.reset();  // its readers went with their responses
  }
  port_ = 0;
}

void HttpStreamServer::Pace() {
  std::unique_lock<std::mutex> lock(watch_mutex_);
  const auto limit = std::chrono::milliseconds(config_.header_timeout_ms);
  std::chrono::steady_clock::duration wait = kCycle;
  auto next_send = std::chrono::steady_clock::now();
  while (!stopping_.load()) {
    // With no connection there is nothing to pace: the thread sleeps until one comes.
    if (connections_.empty()) {
      watch_wake_.wait(lock, [this] { return stopping_.load() || !connections_.empty(); });
    } else {
      watch_wake_.wait_for(lock, wait);
    }
    if (stopping_.load()) break;
    lock.unlock();
    // While the producer writes, it resumes the clients each cycle itself and this thread only
    // looks in now and then; once it goes quiet, this thread hands on what is left and resumes
    // the clients each cycle (so a hang-up is still seen).
    bool due = false;
    {
      std::lock_guard<std::mutex> batch(batch_mutex_);
      if (std::chrono::steady_clock::now() - resumed_at_ >= kCycle) {
        HandOn();
        due = std::chrono::steady_clock::now() - resumed_at_ >= kCycle;
      }
      if (due) {
        handed_ = 0;
        resumed_at_ = std::chrono::steady_clock::now();
      }
    }
    if (due) ResumeWaiting();
    wait = due ? kCycle : kLookIn;
    if (!sender_->empty()) {
      auto now = std::chrono::steady_clock::now();
      if (send_now_.exchange(false) || now >= next_send) {
        {
          std::lock_guard<std::mutex> batch(batch_mutex_);
          HandOn();
        }
        Resume(sender_->Cycle(now));
        next_send = now + kSendCycle;
      }
      wait = std::min(wait, next_send - now);
    }
    lock.lock();
    const auto now = std::chrono::steady_clock::now();
    for (auto& [connection, c] : connections_) {
      if (!c->header_done && !c->dropped && c->fd >= 0 && now - c->began >= limit) {
        // The library sees the connection end and closes it (and tells OnConnection).
        shutdown(c->fd, SHUT_RDWR);
        c->dropped = true;
      }
    }
  }
}

void HttpStreamServer::ResumeWaiting() {
  std::lock_guard<std::mutex> lock(pace_mutex_);
  for (Client* client : suspended_) {
    client->pace = Client::kResuming;
    resuming_.fetch_add(1);
    Mhd().MHD_resume_connection(client->connection);
  }
  suspended_.clear();
}

void HttpStreamServer::Resume(const std::vector<uint64_t>& ids) {
  if (ids.empty()) return;
  std::vector<Client*> let_go;
  {
    std::lock_guard<std::mutex> lock(clients_mutex_);
    for (const auto& c : clients_) {
      if (std::find(ids.begin(), ids.end(), c->info.id) != ids.end()) let_go.push_back(c.get());
    }
  }
  std::lock_guard<std::mutex> lock(pace_mutex_);
  for (Client* client : let_go) {
    client->pace = Client::kResuming;
    resuming_.fetch_add(1);
    Mhd().MHD_resume_connection(client->connection);
  }
}

int HttpStreamServer::Answer(MHD_Connection* connection, const std::string& url, void** req_cls) {
  if (url == "/stream") return StartStream(connection, std::nullopt);
  if (const std::optional<uint16_t> service = ServiceOfPath(url)) return StartStream(connection, service);
  if (url == "/playlist.m3u" && pages_.playlist) {
    auto make = [playlist = pages_.playlist, base = BaseOf(connection), query = ViewQuery()] {
      return HttpReply{MHD_HTTP_OK, std::make_shared<const std::string>(playlist(base, query)),
                       "audio/x-mpegurl; charset=utf-8"};
    };
    return StartDocument(connection, req_cls, std::move(make));
  }
  if (url == "/guide.xml" && pages_.guide) {
    auto make = [guide = pages_.guide] {
      HttpDocument document = guide();
      if (!document) {
        return HttpReply{MHD_HTTP_NOT_FOUND, std::make_shared<const std::string>("no programme guide\n"),
                         "text/plain; charset=utf-8"};
      }
      return HttpReply{MHD_HTTP_OK, std::move(document), "application/xml; charset=utf-8"};
    };
    return StartDocument(connection, req_cls, std::move(make));
  }
  if (url == "/status" && pages_.status) {
    return QueueReply(connection, MHD_HTTP_OK, pages_.status() + "\n", "application/json");
  }
  if (pages_.site) {
    HttpRequest request;
    request.method = MHD_HTTP_METHOD_GET;
    request.path = url;
    request.query = ReadQuery(connection);
    request.base = BaseOf(connection);
    request.view_query = ViewQuery();
    return StartDocument(connection, req_cls, [site = pages_.site, request] { return site(request); });
  }
  return QueueText(connection, MHD_HTTP_NOT_FOUND, "not found");
}

int HttpStreamServer::Upload(MHD_Connection* connection, const char* data, size_t* size, void** req_cls) {
  const auto it = uploads_.find(connection);
  if (*size > 0) {
    // The length was checked at the header; a body longer than it said is cut there.
    const size_t room = HttpAccess::kMaxBody - std::min<size_t>(it->second.body.size(), HttpAccess::kMaxBody);
    it->second.body.append(data, std::min(*size, room));
    *size = 0;
    return MHD_YES;
  }
  HttpRequest request = std::move(it->second);
  uploads_.erase(it);
  return StartDocument(connection, req_cls, [site = pages_.site, request = std::move(request)] {
    if (!site) {
      return HttpReply{MHD_HTTP_NOT_FOUND, std::make_shared<const std::string>("not found\n"),
                       "text/plain; charset=utf-8"};
    }
    return site(request);
  });
}

int HttpStreamServer::StartDocument(MHD_Connection* connection, void** req_cls, HttpDocumentQueue::Make make) {
  if (stopping_.load() || !documents_->Start(connection, req_cls, std::move(make))) {
    return Refuse(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "too many requests");
  }
  return MHD_YES;
}

int HttpStreamServer::FinishDocument(MHD_Connection* connection, void* req_cls) {
  HttpDocumentQueue::Answer answer = documents_->Finish(req_cls);
  if (!answer.made) return Refuse(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "the server is busy or stopping");
  if (answer.reply.file) return StartFile(connection, *answer.reply.file);
  return QueueDocument(connection, std::move(answer.reply));
}

std::string HttpStreamServer::BaseOf(MHD_Connection* connection) const {
  // The Host has been accepted (this machine's name or address); without one (HTTP/1.0), the
  // address listened on.
  const char* host = Mhd().MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
  std::string base = "http://";
  if (host != nullptr && *host != '\0' && std::strpbrk(host, "\"\r\n /?#") == nullptr) return base.append(host);
  if (config_.address.find(':') != std::string::npos) {
    return base.append(1, '[').append(config_.address).append("]:").append(std::to_string(port_));
  }
  return base.append(config_.address).append(1, ':').append(std::to_string(port_));
}

std::string HttpStreamServer::ViewQuery() const {
  const std::string token = access_->PlaylistToken();
  return token.empty() ? std::string() : "?t=" + token;
}

std::shared_ptr<HttpStreamServer::Client> HttpStreamServer::NewClient(MHD_Connection* connection, std::string path) {
  auto client = std::make_shared<Client>();
  client->server = this;
  client->connection = connection;
  client->info.peer = PeerOf(connection);
  client->info.path = std::move(path);
  const MHD_ConnectionInfo* fd = Mhd().MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  client->fd = fd != nullptr ? fd->connect_fd : -1;
  return client;
}

int HttpStreamServer::StartFile(MHD_Connection* connection, const HttpFileSource& source) {
  const char* range = Mhd().MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_RANGE);
  HttpFileStream::Refusal refusal;
  std::unique_ptr<HttpFileStream> file = HttpFileStream::Open(source, range, &refusal);
  if (!file) return QueueFileRefusal(connection, refusal);
  std::shared_ptr<Client> client = NewClient(connection, source.name);
  client->file = std::move(file);
  {
    std::lock_guard<std::mutex> lock(clients_mutex_);
    if (clients_.size() >= config_.max_clients) return Refuse(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "too many clients");
    client->info.id = next_id_++;
    clients_.push_back(client);
  }
  return QueueClient(connection, *client);
}

int HttpStreamServer::QueueClient(MHD_Connection* connection, Client& client) {
  const uint64_t size = client.file && client.file->length() ? *client.file->length() : MHD_SIZE_UNKNOWN;
  MHD_Response* response = Mhd().MHD_create_response_from_callback(size, kChunkBytes, &HttpCallbacks::OnRead,
                                                                   &client, &HttpCallbacks::OnResponseFreed);
  if (response == nullptr) {
    HttpCallbacks::OnResponseFreed(&client);
    return MHD_NO;
  }
  if (client.file) {
    client.file->AddHeaders(response);
  } else {
    // The sender writes the whole stream's body itself: no chunks, and the connection closes at its end.
    if (client.reader) Mhd().MHD_set_response_options(response, MHD_RF_HTTP_1_0_COMPATIBLE_STRICT, MHD_RO_END);
    Mhd().MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "video/mp2t");
    Mhd().MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
  }
  if (notice_) notice_(client.info, false);
  const MHD_Result result =
      Mhd().MHD_queue_response(connection, client.file ? client.file->status() : MHD_HTTP_OK, response);
  Mhd().MHD_destroy_response(response);
  return result;
}

int HttpStreamServer::StartStream(MHD_Connection* connection, std::optional<uint16_t> service) {
  std::shared_ptr<Client> client =
      NewClient(connection, service ? "/service/" + std::to_string(*service) : "/stream");
  client->service = service;
  {
    // The client gets the packets written from now on: those gathered before go to the others.
    std::lock_guard<std::mutex> batch(batch_mutex_);
    HandOn();
    std::lock_guard<std::mutex> lock(clients_mutex_);
    if (clients_.size() >= config_.max_clients || ring_ == nullptr) {
      return Refuse(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "too many clients");
    }
    if (service) {
      if (!programs_.empty() && std::none_of(programs_.begin(), programs_.end(), [&](const ProgramListEntry& p) {
            return p.program_number == *service;
          })) {
        return QueueText(connection, MHD_HTTP_NOT_FOUND, "no such service in the stream");
      }
      const uint16_t kept[] = {*service};
      client->filter.Limit(kept, components_, programs_);
    }
    // The cycle decides when a client reads, so its queue wakes no one.
    if (service) client->queue = std::make_unique<HttpClientQueue>(config_.queue_bytes, 0);
    else client->reader = ring_->Attach(config_.queue_bytes, 0);
    client->info.id = next_id_++;
    Prime(*client);
    clients_.push_back(client);
  }
  return QueueClient(connection, *client);
}

void HttpStreamServer::Prime(Client& client) {
  std::vector<uint16_t> pids = {0};
  for (const ProgramListEntry& p : programs_) {
    if (!client.service || p.program_number == *client.service) pids.push_back(p.pmt_pid);
  }
  for (uint16_t pid : pids) {
    const auto it = tables_.find(pid);
    if (it == tables_.end()) continue;
    for (const std::vector<uint8_t>& packet : it->second) {
      const auto length = static_cast<uint32_t>(packet.size());
      const std::span<const uint8_t> out =
          client.service ? client.filter.Pass(packet.data(), length, programs_) : std::span<const uint8_t>(packet);
      for (size_t at = 0; at + length <= out.size(); at += length) client.Push(out.data() + at, length);
    }
  }
}

void HttpStreamServer::WritePackets(const uint8_t* data, uint32_t length, uint32_t packet_size) {
  if (data == nullptr || packet_size < 188 || packet_size > 204) return;
  std::lock_guard<std::mutex> lock(batch_mutex_);
  if (packet_size != batch_length_) HandOn();  // nothing when the batch is empty
  batch_length_ = packet_size;
  for (uint32_t at = 0, n = 0; at + packet_size <= length; at += n) {
    n = std::min<uint32_t>((length - at) / packet_size, kBatchPackets - batch_.size() / packet_size) * packet_size;
    batch_.insert(batch_.end(), data + at, data + at + n);
    if (batch_.size() >= kBatchPackets * packet_size) HandOn();
  }
}

void HttpStreamServer::HandOn() {
  if (batch_.empty()) return;
  const uint32_t length = batch_length_;
  const size_t count = batch_.size() / length;
  std::unique_lock<std::mutex> lock(clients_mutex_);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* data = batch_.data() + i * length;
    const uint16_t pid = PidOf(data, length);
    // The last section start of the PAT and of each PMT, for the clients still to come.
    const bool table = pid == 0 || std::any_of(programs_.begin(), programs_.end(),
                                               [pid](const ProgramListEntry& p) { return p.pmt_pid == pid; });
    if (table) {
      std::vector<std::vector<uint8_t>>& packets = tables_[pid];
      if (StartsUnit(data, length)) packets.clear();
      if (!packets.empty() || StartsUnit(data, length)) {
        if (packets.size() < kTablePackets) packets.emplace_back(data, data + length);
      }
    }
  }
  // The whole stream once for all its clients; each service's share for its client.
  if (ring_ != nullptr) ring_->Write(batch_.data(), count, length);
  for (const auto& client : clients_) {
    if (!client->service) continue;
    filtered_.clear();
    for (size_t i = 0; i < count; ++i) {
      const std::span<const uint8_t> out = client->filter.Pass(batch_.data() + i * length, length, programs_);
      filtered_.insert(filtered_.end(), out.begin(), out.end());
    }
    client->queue->Push(filtered_.data(), filtered_.size() / length, length);
  }
  lock.unlock();
  batch_.clear();
  // Resumed outside clients_mutex_: the library may hold its own lock when it frees a response.
  handed_ += count * length;
  const auto now = std::chrono::steady_clock::now();
  if (handed_ >= kWakeBytes || now - resumed_at_ >= kCycle) {
    handed_ = 0;
    resumed_at_ = now;
    ResumeWaiting();
  }
}

void HttpStreamServer::SetProgramList(std::span<const ProgramListEntry> programs) {
  std::lock_guard<std::mutex> batch(batch_mutex_);
  HandOn();  // the packets before the change go as they were
  std::lock_guard<std::mutex> lock(clients_mutex_);
  programs_.assign(programs.begin(), programs.end());
  Refilter();
}

void HttpStreamServer::SetComponents(uint16_t program_number, std::span<const ComponentEntry> components) {
  std::lock_guard<std::mutex> batch(batch_mutex_);
  HandOn();
  std::lock_guard<std::mutex> lock(clients_mutex_);
  components_[program_number].assign(components.begin(), components.end());
  Refilter();
}

void HttpStreamServer::Refilter() {
  for (const auto& client : clients_) {
    if (!client->service) continue;
    const uint16_t kept[] = {*client->service};
    client->filter.Limit(kept, components_, programs_);
  }
}

void HttpStreamServer::ResetStream() {
  std::lock_guard<std::mutex> batch(batch_mutex_);
  HandOn();
  std::lock_guard<std::mutex> lock(clients_mutex_);
  programs_.clear();
  components_.clear();
  tables_.clear();
}

std::vector<HttpClientInfo> HttpStreamServer::Clients() const {
  std::lock_guard<std::mutex> lock(clients_mutex_);
  std::vector<HttpClientInfo> out;
  for (const auto& c : clients_) {
    HttpClientInfo info = c->info;
    info.bytes_sent = c->sent.load(std::memory_order_relaxed);
    info.bytes_lost = c->lost();
    out.push_back(info);
  }
  return out;
}

}  // namespace pelkan
