#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "output/http_access.h"
#include "output/http_document_queue.h"
#include "output/http_file_stream.h"
#include "output/http_request.h"
#include "ts/stream_listener.h"
#include "ts/ts_events.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace pelkan {

class HttpClientQueue;
struct HttpStreamClient;
class HttpStreamRing;
class HttpStreamSender;

// Where and how the HTTP server listens.
struct HttpServerConfig {
  // A numeric IPv4 or IPv6 address; the loopback address unless the user opens it to the network.
  std::string address = "127.0.0.1";
  uint16_t port = 0;  // 0: a free port (the tests' choice; see HttpStreamServer::port)
  // Stream clients at once; the next one gets 503.
  uint32_t max_clients = 8;
  // What each stream client may have waiting: about two seconds of a terrestrial broadcast.
  uint32_t queue_bytes = 4u << 20;
  // A client whose request header has not arrived whole by then is dropped (slow senders).
  uint32_t header_timeout_ms = 10000;
  // A client that takes nothing for this long is dropped.
  uint32_t idle_timeout_s = 30;
  // Who may use the server (its `loopback` follows from `address`).
  HttpAccessConfig access;
};

// One stream client as the status and the command line show it.
struct HttpClientInfo {
  uint64_t id = 0;
  std::string peer;  // "ADDRESS:PORT"
  std::string path;  // "/stream" or "/service/ID"
  uint64_t bytes_sent = 0;
  uint64_t bytes_lost = 0;  // dropped as oldest because the client did not keep up
};

// The pages that are not the stream, made by the owner on request.
struct HttpPages {
  // The M3U playlist; `base` is "http://HOST:PORT" as the client addressed the server (its Host,
  // which the server has accepted), `query` what each of its URLs carries ("?t=VIEW" when the
  // server listens beyond loopback, else ""). Made on a document thread (it may wait for the
  // guide's file).
  std::function<std::string(const std::string& base, const std::string& query)> playlist;
  // The XMLTV guide; null when there is none (404). Made on a document thread: it may take long,
  // and the owner may hand every request the same document while the guide has not changed.
  std::function<HttpDocument()> guide;
  // The status as one JSON object, on the serving thread: it must be quick.
  std::function<std::string()> status;
  // Every other path: the web page's files and the API under /api/. Made on a document thread;
  // the request has passed the access rules (a change carried the control token).
  std::function<HttpReply(const HttpRequest& request)> site;
};

// Serves the capture over HTTP (libmicrohttpd, one thread for every connection):
//   GET /stream        the whole transport stream, as the capture receives it;
//   GET /service/ID    one service: its PAT rewritten to it, the other services' PIDs dropped;
//   GET /playlist.m3u, /guide.xml, /status   the owner's pages (HttpPages);
//   a recording's file (the site answers with an HttpFileSource): its byte ranges, and while the
//   recorder writes it, the response follows it as it grows (a client caught up with it waits,
//   suspended, as a stream client does, and is resumed by the same cycle) until the recorder lets
//   it go; HEAD as GET;
//   anything else: the owner's site, the only route that takes changes (POST, PUT, DELETE under
//   /api/, each with its JSON body).
// Before any route, the access rules (HttpAccess) judge the request.
// A stream response is video/mp2t (a service's chunked; the whole stream's without chunks, ending
// with its connection) and starts at a packet boundary with the last PAT and the PMTs seen (for a
// service, its own), so a player starts at once. Each stream client has its own bounded queue
// (HttpClientQueue): a client that cannot keep up loses its oldest data, counted, and never slows
// the capture or the other clients. The clients of the whole stream share one ring of it
// (HttpStreamRing), each with its own cursor and the same bound. Unknown
// paths get 404, methods other than GET 405 (but a change the access rules let through), a GET
// with a body 413 (both at once, at the header: such a body is never read, and the connection
// closes), requests libmicrohttpd cannot parse
// or whose header is too large 400/431. A 503 closes its connection too.
//
// The playlist and the guide are made on document threads (HttpDocumentQueue: a few at once, a
// bounded number waiting, 503 beyond), the request suspended meanwhile; the answer is sent from
// the owner's document in pieces as the client takes it, so neither a large guide nor a slow
// reader of it holds up the serving thread or the stream clients.
//
// The sockets are non-blocking and served by the library's one thread, so a client that does not
// read holds up no other. A stream client with nothing to send is suspended; the producer resumes
// all the waiting ones together every 100 ms (sooner once it has handed on a chunk's worth), and
// a pacing thread does while the producer is quiet: one wake-up of the library's thread and one
// large send per client per cycle, whatever their number. The whole stream's clients are not the
// library's once their header is out: the pacing thread writes to their sockets itself every
// 250 ms (HttpStreamSender: the new bytes copied once for all, one send each), the connection
// left suspended until the client goes or the server stops.
//
// Threads: Start and Stop on the owning thread; WritePacket, SetProgramList, SetComponents and
// ResetStream on the one producer (the processing thread); Clients from any thread.
class HttpStreamServer : public StreamListener {
 public:
  // Told of each stream client's arrival (`left` false) and departure, on the library's thread.
  using ClientNotice = std::function<void(const HttpClientInfo& client, bool left)>;

  // Largest request header accepted: its request line and fields, each with its separators.
  static constexpr uint32_t kHeaderMemory = 16u << 10;
  // Connections at once beyond the stream clients (pages, clients that get 503).
  static constexpr uint32_t kExtraConnections = 8;
  // Documents made at once, and requests that may wait for one (the next gets 503).
  static constexpr size_t kDocumentBuilders = 2;
  static constexpr size_t kDocumentsWaiting = 16;

  HttpStreamServer(HttpPages pages, ClientNotice notice = nullptr);
  // Stop.
  ~HttpStreamServer() override;
  HttpStreamServer(const HttpStreamServer&) = delete;
  HttpStreamServer& operator=(const HttpStreamServer&) = delete;

  // Listens as `config` says. False, with *error (English) set, when the address is not numeric or
  // the port cannot be bound.
  bool Start(const HttpServerConfig& config, std::string* error);
  // Ends every response and the listening; nothing when not started.
  void Stop();
  bool running() const { return daemon_ != nullptr; }
  // The port listened on (the chosen one when the configuration said 0); 0 when not running.
  uint16_t port() const { return port_; }

  // Producer: one packet of the stream to every client (each through its own filter). The
  // packets are gathered and handed on to the clients a batch at a time (a batch of a
  // broadcast's rate fills in about 10 ms; once the producer is quiet the pacing thread hands on
  // what is left).
  void WritePacket(const uint8_t* data, uint32_t length) { WritePackets(data, length, length); }
  // Producer: `length` bytes of whole packets of `packet_size` bytes, each as WritePacket takes it
  // (copied into the batch as many at a time as it still takes).
  void WritePackets(const uint8_t* data, uint32_t length, uint32_t packet_size);
  // Producer: the stream's PAT and the components of one programme (from its PMT).
  void SetProgramList(std::span<const ProgramListEntry> programs);
  void SetComponents(uint16_t program_number, std::span<const ComponentEntry> components);
  // Producer: a new transport stream; what was known of the old one is forgotten.
  void ResetStream();

  // As a capture's consumer: the whole stream (output 1) and its tables, on the processing thread.
  void OnPacket(uint16_t output, const uint8_t* packet, uint32_t length) override {
    if (output == kWholeStreamOutput) WritePacket(packet, length);
  }
  void OnPackets(uint16_t output, const uint8_t* packets, uint32_t length, uint32_t packet_size) override {
    if (output == kWholeStreamOutput) WritePackets(packets, length, packet_size);
  }
  void OnStreamReset(uint16_t) override { ResetStream(); }
  void OnProgramList(std::span<const ProgramListEntry> programs) override { SetProgramList(programs); }
  void OnComponents(uint16_t program_number, std::span<const ComponentEntry> components) override {
    if (components.data() != nullptr) SetComponents(program_number, components);
  }

  // The stream clients now, in the order they came.
  std::vector<HttpClientInfo> Clients() const;

 private:
  using Client = HttpStreamClient;
  struct Connection;
  // The library's callbacks (in the source file), which call the members below.
  friend struct HttpCallbacks;

  int Answer(MHD_Connection* connection, const std::string& url, void** req_cls);
  // A change's body arriving (`size` bytes at `data`; 0 once whole), then its answer.
  int Upload(MHD_Connection* connection, const char* data, size_t* size, void** req_cls);
  int StartStream(MHD_Connection* connection, std::optional<uint16_t> service);
  // Sends a recording's file the site named (its range, its growth: HttpFileStream).
  int StartFile(MHD_Connection* connection, const HttpFileSource& source);
  std::shared_ptr<Client> NewClient(MHD_Connection* connection, std::string path);
  // Queues the response of a client that is in clients_ (or lets it go).
  int QueueClient(MHD_Connection* connection, Client& client);
  // "http://HOST:PORT" as the client addressed the server; the "?t=VIEW" its URLs carry ("" on loopback).
  std::string BaseOf(MHD_Connection* connection) const;
  std::string ViewQuery() const;
  // Suspends the request and has its answer made on a document thread. 503 when too many wait.
  int StartDocument(MHD_Connection* connection, void** req_cls, HttpDocumentQueue::Make make);
  // Answers a request resumed with its page made (or the server stopping); `req_cls` its state.
  int FinishDocument(MHD_Connection* connection, void* req_cls);
  // The packets a new client starts with: the last PAT (rewritten for a service) and PMTs.
  void Prime(Client& client);
  // Each service client's filter after a change of the PAT or a PMT. Under clients_mutex_.
  void Refilter();
  // Keeps the cycle while the producer is quiet (hands on what it gathered and resumes the waiting
  // clients), cycles the sender of the whole stream, and drops the connections whose request header
  // is late. Pacing thread.
  void Pace();
  // Hands the gathered packets to the clients. Under batch_mutex_.
  void HandOn();
  // Resumes every suspended stream client (they take what waits for them, or see a hang-up).
  void ResumeWaiting();
  // Resumes the whole stream's clients the sender let go (their responses end).
  void Resume(const std::vector<uint64_t>& ids);

  const HttpPages pages_;
  const ClientNotice notice_;
  HttpServerConfig config_;
  std::unique_ptr<HttpAccess> access_;  // while running
  // The changes whose body is arriving, by connection (the library's thread alone).
  std::map<MHD_Connection*, HttpRequest> uploads_;
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};

  // The packets gathered for the clients, all of batch_length_ bytes, and a buffer for a service's
  // share of them. Guarded by batch_mutex_, which is taken before clients_mutex_.
  std::mutex batch_mutex_;
  std::vector<uint8_t> batch_;
  uint32_t batch_length_ = 0;
  std::vector<uint8_t> filtered_;
  // Bytes handed on since the waiting clients were last resumed, and when that was.
  size_t handed_ = 0;
  std::chrono::steady_clock::time_point resumed_at_;
  // The whole stream for its clients (while running); written under batch_mutex_.
  std::unique_ptr<HttpStreamRing> ring_;
  // Writes the whole stream to its clients' sockets (while running; cycled by the pacing thread),
  // and whether a client came that should have its first bytes now.
  std::unique_ptr<HttpStreamSender> sender_;
  std::atomic<bool> send_now_{false};

  // The stream clients and what the producer knows of the stream. Guarded by clients_mutex_.
  mutable std::mutex clients_mutex_;
  std::vector<std::shared_ptr<Client>> clients_;
  uint64_t next_id_ = 1;
  std::vector<ProgramListEntry> programs_;
  std::map<uint16_t, std::vector<ComponentEntry>> components_;
  // The last section-starting packets of the PAT and of each PMT PID, with what followed them
  // until the next start (a section longer than one packet).
  std::map<uint16_t, std::vector<std::vector<uint8_t>>> tables_;

  // The stream clients suspended until there is more to send (guarded by pace_mutex_, which is
  // taken before the library's own locks, never while the library holds one), and the number of
  // those resumed that the library has not served since (Stop waits for them: the library must
  // not stop with a connection still suspended).
  std::mutex pace_mutex_;
  std::vector<Client*> suspended_;
  std::atomic<size_t> resuming_{0};

  // The document threads (while running).
  std::unique_ptr<HttpDocumentQueue> documents_;

  // Open connections and when each began, for the header time-out. Guarded by watch_mutex_.
  std::mutex watch_mutex_;
  std::condition_variable watch_wake_;
  std::map<MHD_Connection*, std::shared_ptr<Connection>> connections_;
  std::thread pacer_;
};

}  // namespace pelkan
