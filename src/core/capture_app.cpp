#include "core/capture_app.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <tuple>

#include "core/channel_window.h"
#include "core/dtv_ezusb_fx2.h"
#include "core/http_server_settings.h"
#include "output/udp_sender.h"
#include "platform/clock.h"
#include "platform/text_codec.h"
#include "ts/ts_processor.h"

namespace pelkan {

CaptureApp::CaptureApp(Dispatcher* dispatcher, UserMessages* messages)
    : dispatcher_(dispatcher),
      messages_(messages),
      library_factory_([] { return std::make_unique<B25Library>(); }),
      tick_(&platform::TickCount),
      alive_(std::make_shared<CaptureApp*>(this)),
      manual_(*this, dropout_, settings_, messages, last_error_) {
  bus_.Add(this);
  bus_.Add(&manual_);
}

CaptureApp::~CaptureApp() {
  if (connected_.load()) Disconnect();
  manual_.Stop();
  ToggleSending(true);
  if (device_) device_->CloseDevice();
}

void CaptureApp::SetDevice(std::unique_ptr<core::CDTV_Base> device) {
  std::lock_guard<std::recursive_mutex> lock(app_mutex_);
  if (connected_.load()) return;
  device_ = std::move(device);
}

void CaptureApp::SetTickSource(std::function<uint32_t()> tick) {
  tick_ = tick ? std::move(tick) : std::function<uint32_t()>(&platform::TickCount);
  manual_.SetTickSource(tick_);
}

bool CaptureApp::ToggleConnect(const ConnectRequest& request) {
  std::lock_guard<std::recursive_mutex> lock(app_mutex_);
  if (connected_.load()) {
    Disconnect();
    return false;
  }
  return Connect(request);
}

bool CaptureApp::Connect(const ConnectRequest& request) {
  std::lock_guard<std::recursive_mutex> lock(app_mutex_);
  if (connected_.load()) return true;
  last_error_.clear();
  auto start = std::make_unique<ThreadStart>();
  bool device_started = false;

  // Everything acquired so far is released here, in reverse order, when a step fails.
  auto fail = [&](const std::string& reason) {
    if (last_error_.empty()) last_error_ = reason;
    start->decoder.Release();
    if (device_started) device_->Stop();
    stop_event_.Reset();
    return false;
  };

  if (!device_) return fail("no capture device");
  if (!request.device_index || *request.device_index < 0) return fail("no device selected");
  const int index = *request.device_index;
  settings_.sorvalink_init = request.initialise ? 1 : 0;
  start->descramble = request.descramble;

  if (start->descramble) {
    std::string why;
    const LoadedDecoder::Failure failure = start->decoder.Load(library_factory_, &why);
    if (failure != LoadedDecoder::Failure::kNone) {
      if (messages_ && failure == LoadedDecoder::Failure::kLibraryMissing) {
        messages_->Notify(status_text::kDecoderNotFound, status_text::kCaptionError);
      } else if (messages_ && failure == LoadedDecoder::Failure::kCardError) {
        messages_->Notify(status_text::kCardError, status_text::kCaptionError);
      }
      return fail(why);
    }
  }

  if (!request.in_address || !request.out_address) return fail("no endpoint selected");
  const uint32_t in_address = *request.in_address;
  const uint32_t out_address = *request.out_address;
  if (!device_->HasEndpoint(index, in_address)) {
    if (messages_) messages_->Notify(status_text::kInEndpointError, status_text::kCaptionError);
    char reason[64];
    std::snprintf(reason, sizeof reason, "the device has no endpoint 0x%02X", in_address);
    return fail(reason);
  }
  if (settings_.sorvalink_init && !device_->HasEndpoint(index, out_address)) {
    if (messages_) messages_->Notify(status_text::kOutEndpointRequired, status_text::kCaptionError);
    return fail("the initialisation needs an OUT endpoint");
  }

  // The timer period needs no raising here: the pipeline threads wait on events, not on short sleeps.

  fifo_.Clear();
  device_->SetDataCallback(&CaptureApp::OnDeviceData, this);
  dropout_.Reset();
  if (auto* fx2 = dynamic_cast<core::CDTV_EzUSBFX2*>(device_.get())) {
    fx2->SetInitialisation(settings_.sorvalink_init);
    fx2->SetDropoutListener({[this](core::CDTV_EzUSBFX2::Dropout why) {
                               OnTunerLost(why == core::CDTV_EzUSBFX2::Dropout::kStalled);
                             },
                             [this] { OnTunerBack(); }, [this] { PostRefresh(); }});
  }
  if (!device_->Start(index, in_address, out_address)) {
    auto* fx2 = dynamic_cast<core::CDTV_EzUSBFX2*>(device_.get());
    const std::string why = fx2 != nullptr ? fx2->GetStartError() : std::string();
    // The message tells why when the device can say (a file of the virtual tuner that cannot be
    // played), and says plainly when another program has the tuner.
    if (messages_ && fx2 != nullptr && fx2->IsDeviceInUse()) {
      messages_->Notify(status_text::kTunerInUse, status_text::kCaptionError);
    } else if (messages_) {
      messages_->Notify(why.empty() ? std::string(status_text::kStartFailed)
                                    : std::string(status_text::kStartFailed).append("\n").append(platform::Utf8ToSjis(why)),
                        status_text::kCaptionError);
    }
    return fail(why.empty() ? "the device did not start streaming" : why);
  }
  device_started = true;

  if (channel_window_) {
    channel_window_->RequestFill(false, settings_.last_channel);
    channel_window_->EnableControls(true);
  }
  if (device_->GetCapabilities() & core::kDtvCapChannel) device_->SetChannel(settings_.last_channel);

  StartHttp();
  stop_event_.Reset();
  thread_done_.Reset();
  try {
    processing_thread_ = std::thread(&CaptureApp::ProcessingThread, this, std::move(start));
  } catch (const std::system_error& e) {
    if (http_) bus_.Remove(http_.get());
    ClearChannelWindow();
    http_.reset();
    // The record went into the failed call's argument; its destructor released the decoder.
    return fail(std::string("cannot start the processing thread: ") + e.what());
  }
  connected_.store(true);
  bus_.OnCaptureStart();
  // Resumed from sleep: the tuner may have left the bus and come back as a new device meanwhile.
  sleep_watcher_ = std::make_unique<platform::SleepWatcher>([this](bool going_to_sleep) {
    if (going_to_sleep || dispatcher_ == nullptr) return;
    std::weak_ptr<CaptureApp*> weak = alive_;
    dispatcher_->Post([weak] {
      if (auto app = weak.lock()) (*app)->OnWoke();
    });
  });
  return true;
}

void CaptureApp::ClearChannelWindow() {
  if (channel_window_ == nullptr) return;
  channel_window_->RequestFill(true, 0);
  channel_window_->EnableControls(false);
}

void CaptureApp::Disconnect() {
  std::lock_guard<std::recursive_mutex> lock(app_mutex_);
  if (!connected_.load()) return;
  sleep_watcher_.reset();
  device_->Stop();
  ClearChannelWindow();
  stop_event_.Set();
  fifo_.Wake();
  // The thread cannot be killed safely; it is given kStopWaitMs and then waited for until it ends.
  thread_done_.Wait(kStopWaitMs);
  if (processing_thread_.joinable()) processing_thread_.join();
  if (http_) bus_.Remove(http_.get());
  http_.reset();
  // The recording's report takes the figures before they are zeroed.
  manual_.NoteDisconnect();
  stats_.Reset();
  ToggleRecording(true);
  ToggleSending(true);
  bus_.OnCaptureStop();
  dropout_.Reset();
  connected_.store(false);
}

void CaptureApp::StartHttp() {
  if (settings_.http_enabled == 0) return;
  HttpServerConfig config = http_config_;
  std::tie(config.access.view_token, config.access.control_token) = http_tokens_;
  std::string error;
  const bool networks = ApplyHttpSettings(settings_, &config, &error);
  auto server = std::make_unique<HttpStreamServer>(http_pages_, http_notice_);
  if (!networks || !server->Start(config, &error)) {
    last_error_ = error;
    if (messages_) messages_->Notify(status_text::kHttpStartFailed, status_text::kCaptionError);
    return;
  }
  http_ = std::move(server);
  bus_.Add(http_.get());
}

std::vector<HttpClientInfo> CaptureApp::HttpClients() const {
  return http_ ? http_->Clients() : std::vector<HttpClientInfo>();
}

void CaptureApp::OnDeviceData(const uint8_t* data, uint32_t length, uint32_t total_low, uint32_t total_high,
                              void* user) {
  static_cast<CaptureApp*>(user)->HandleData(data, length, uint64_t{total_high} << 32 | total_low);
}

void CaptureApp::HandleData(const uint8_t* data, uint32_t length, uint64_t total) {
  if (length > 0 && fifo_.Put(data, length) < length) {
    stats_.fifo_overflows.fetch_add(1, std::memory_order_relaxed);
    fifo_.Clear();
  }
  const uint32_t now = tick_();
  if (length > 0) last_data_tick_.store(now, std::memory_order_relaxed);
  const uint32_t elapsed = now - rate_tick_;
  if (elapsed > kRateIntervalMs) {
    double rate = 0.0;
    if (total > rate_total_) rate = static_cast<double>(total - rate_total_) * (1000.0 / elapsed);
    stats_.transfer_rate.store(rate, std::memory_order_relaxed);
    rate_tick_ = now;
    rate_total_ = total;
  }
}

void CaptureApp::OnWoke() {
  if (!connected_.load()) return;
  dropout_.Log(status_text::kWokeUtf8);
  if (auto* fx2 = dynamic_cast<core::CDTV_EzUSBFX2*>(device_.get())) fx2->CheckDevice();
}

void CaptureApp::OnTunerLost(bool stalled) {
  dropout_.Lost(tick_(), stalled, [this] { fifo_.Wake(); }, kStopWaitMs);
  PostRefresh();
}

void CaptureApp::OnTunerBack() {
  const uint32_t now = tick_();
  bus_.OnStreamResume();
  dropout_.Back(now);
  PostRefresh();
}

void CaptureApp::FeedRest(TsProcessor& processor, std::vector<uint8_t>& block) {
  uint32_t n;
  while ((n = fifo_.Get(block.data(), kBlockSize, 1)) > 0) {
    processor.Feed(block.data(), static_cast<int>(n), stats_);
    blocks_fed_.fetch_add(1, std::memory_order_release);
  }
}

void CaptureApp::BreakStream(TsProcessor& processor, std::vector<uint8_t>& block) {
  FeedRest(processor, block);
  processor.BreakStream();
  bus_.OnStreamBreak();
  dropout_.BreakMarked();
}

void CaptureApp::PostRefresh() {
  if (dispatcher_ == nullptr) return;
  std::weak_ptr<CaptureApp*> weak = alive_;
  dispatcher_->Post([weak] {
    if (auto app = weak.lock()) (*app)->RefreshStatus();
  });
}

void CaptureApp::ProcessingThread(std::unique_ptr<ThreadStart> start) {
  std::unique_ptr<TsProcessor> processor;
  try {
    processor = std::make_unique<TsProcessor>(start->descramble ? start->decoder.decoder() : nullptr);
    // Output 0 exists from the start; the scheduled recordings get theirs here, once.
    processor->AddOutput(kScheduleOutput);
    // The status's drop count, counted as `check` and the recordings' reports count.
    processor->SetCountDrops(1);
    processor->SetEventHandler(&CaptureApp::OnProcessorEvent, this);
    // The consumers take the packets of a block in runs, one call per run and output.
    processor->SetPacketRuns(1);
    {
      // The switches are read under the lock SwitchOnTableProcessing changes them under.
      std::lock_guard<std::mutex> lock(processor_mutex_);
      processor->SetDecodePsi(static_cast<uint32_t>(settings_.decode_psi));
      processor->SetProcessEpg(static_cast<uint32_t>(settings_.proc_epg));
      processor_ = processor.get();
    }
    bus_.OnProcessor(processor.get());
    std::vector<uint8_t> block(kBlockSize);
    std::chrono::steady_clock::time_point flowing_until{};
    while (!stop_event_.IsSet()) {
      bool fed = false;
      while (fifo_.GetSize() >= kBlockSize) {
        const uint32_t n = fifo_.Get(block.data(), kBlockSize, 1);
        if (n > 0) {
          processor->Feed(block.data(), static_cast<int>(n), stats_);
          blocks_fed_.fetch_add(1, std::memory_order_release);
          fed = true;
        }
      }
      if (dropout_.TakeBreakRequest()) {
        BreakStream(*processor, block);
        continue;
      }
      const auto now = std::chrono::steady_clock::now();
      if (fed) flowing_until = now + std::chrono::milliseconds(kFlowLingerMs);
      if (now < flowing_until) {
        // While the stream flows, the blocks that arrive are taken in batches: every kBatchDelayMs
        // (sooner when kBatchBytes are there), so that this thread wakes about a dozen times a
        // second instead of once per transfer or burst, and a transfer's bytes wait no longer
        // than that.
        fifo_.WaitForSize(kBatchBytes, kBatchDelayMs);
      } else {
        // Nothing came meanwhile: sleeps until the receive thread has put a whole block, or
        // Disconnect (or a drop-out) wakes it.
        fifo_.WaitForSize(kBlockSize);
      }
    }
    // The device has stopped before the stop was asked for: what it handed on last (transfers
    // cancelled at the stop deliver what they had received) and the last part-block are fed now,
    // before the outputs close, so the recording ends with the last byte that arrived.
    FeedRest(*processor, block);
  } catch (...) {
    // The stop sequence below runs whatever ended the loop.
  }
  if (processor) {
    try {
      processor->Finish(stats_);
    } catch (...) {
    }
    bus_.OnProcessor(nullptr);
    {
      std::lock_guard<std::mutex> lock(processor_mutex_);
      processor_ = nullptr;
    }
    processor.reset();
  }
  start.reset();
  thread_done_.Set();
}

void CaptureApp::OnProcessorEvent(uint32_t type, int32_t param, const uint8_t* data, uint32_t count,
                                  void* user) {
  DeliverTsEvent(static_cast<CaptureApp*>(user)->bus_, type, param, data, count);
}

void CaptureApp::OnPacket(uint16_t output, const uint8_t* packet, uint32_t length) {
  if (output != kManualOutput) return;
  std::lock_guard<std::mutex> lock(output_mutex_);
  if (sender_) sender_->WritePacket(packet, length);
}

void CaptureApp::OnPackets(uint16_t output, const uint8_t* packets, uint32_t length, uint32_t packet_size) {
  if (output != kManualOutput) return;
  std::lock_guard<std::mutex> lock(output_mutex_);
  if (!sender_) return;
  for (uint32_t at = 0; packet_size > 0 && at + packet_size <= length; at += packet_size) {
    sender_->WritePacket(packets + at, packet_size);
  }
}

void CaptureApp::OnStreamReset(uint16_t) {
  std::lock_guard<std::mutex> lock(services_mutex_);
  services_.clear();
}

void CaptureApp::OnProgramList(std::span<const ProgramListEntry> programs) {
  for (const ProgramListEntry& p : programs) NoteService(p.program_number, nullptr);
}

void CaptureApp::OnServiceName(uint16_t service_id, const ServiceNames& names) {
  NoteService(service_id, &names);
}

void CaptureApp::OnClock(const BroadcastTime& time) {
  stats_.SetClock(time.date, time.seconds, tick_());
}

bool CaptureApp::ToggleRecording(bool stop, const std::string& path, std::optional<int> stop_minutes,
                                 bool replace) {
  std::lock_guard<std::recursive_mutex> lock(app_mutex_);
  if (stop || manual_.IsRecording()) {
    manual_.StopByUser();
    RefreshStatus();
    return false;
  }
  return manual_.Start(path, stop_minutes, replace);
}

CaptureSample CaptureApp::SampleCapture() const {
  CaptureSample s;
  s.sync_losses = stats_.sync_losses.load(std::memory_order_relaxed);
  s.fifo_overflows = stats_.fifo_overflows.load(std::memory_order_relaxed);
  if (device_) s.failed_transfers = device_->GetStatistics().transfers_failed;
  const CaptureStats::ClockReading clock = stats_.ReadClock(tick_());
  FormatBroadcastClock(clock.date, clock.seconds, clock.age_ms, &s.broadcast_time);
  return s;
}

int CaptureApp::ExtendStopTimer(int edit_minutes) {
  std::lock_guard<std::recursive_mutex> lock(app_mutex_);
  return manual_.ExtendStopTimer(edit_minutes);
}

void CaptureApp::ArmStopTimer(uint32_t ms) {
  std::lock_guard<std::recursive_mutex> lock(app_mutex_);
  manual_.ArmStopTimer(ms);
}

bool CaptureApp::ToggleSending(bool stop) {
  std::lock_guard<std::recursive_mutex> lock(app_mutex_);
  if (stop || sender_) {
    std::unique_ptr<UdpSender> old;
    {
      std::lock_guard<std::mutex> out(output_mutex_);
      old = std::move(sender_);
    }
    return false;
  }
  auto sender = std::make_unique<UdpSender>(static_cast<uint32_t>(settings_.network_send_size));
  const uint16_t port = static_cast<uint16_t>(static_cast<uint32_t>(settings_.network_port) & 0xFFFF);
  if (port == 0) {
    // Every datagram to port 0 would fail: refused rather than "sending" nothing forever.
    last_error_ = "port " + std::to_string(static_cast<uint32_t>(settings_.network_port)) +
                  " is port 0 (the port is taken modulo 65536), where nothing can be sent";
    if (messages_) messages_->Notify(status_text::kStartFailed, status_text::kCaptionApp);
    return false;
  }
  if (!sender->OpenSocket(platform::SjisToUtf8(settings_.network_address), port)) {
    last_error_ =
        "cannot send to " + platform::SjisToUtf8(settings_.network_address) + ":" + std::to_string(port);
    if (static_cast<uint32_t>(settings_.network_send_size) > UdpSender::kMaxDatagram) {
      last_error_ += " (datagram size above " + std::to_string(UdpSender::kMaxDatagram) + ")";
    }
    if (messages_) messages_->Notify(status_text::kStartFailed, status_text::kCaptionApp);
    return false;
  }
  std::lock_guard<std::mutex> out(output_mutex_);
  sender_ = std::move(sender);
  return true;
}

bool CaptureApp::IsSending() const {
  return sender_ != nullptr;
}

uint16_t CaptureApp::GetSendingPort() const {
  return sender_ ? sender_->GetDestinationPort() : 0;
}

void CaptureApp::ClearStatistics() {
  stats_.ClearCounters();
  if (device_) device_->ResetStatistics();
}

void CaptureApp::SwitchOnTableProcessing() {
  std::lock_guard<std::mutex> lock(processor_mutex_);
  settings_.decode_psi = 1;
  settings_.proc_epg = 1;
  if (processor_ != nullptr) {
    processor_->SetDecodePsi(1);
    processor_->SetProcessEpg(1);
  }
}

bool CaptureApp::IsProcessing() const {
  std::lock_guard<std::mutex> lock(processor_mutex_);
  return processor_ != nullptr;
}

void CaptureApp::SetServiceFilter(const std::vector<uint16_t>& excluded_services,
                                  const std::vector<uint16_t>& excluded_pids) {
  std::lock_guard<std::mutex> lock(processor_mutex_);
  if (processor_ == nullptr) return;
  if (excluded_services.empty() && excluded_pids.empty()) {
    processor_->ClearOutputFilter(kManualOutput, 0);
    return;
  }
  processor_->SetOutputFilter(kManualOutput, 1, excluded_services.data(), static_cast<uint32_t>(excluded_services.size()),
                              1, excluded_pids.data(), static_cast<uint32_t>(excluded_pids.size()));
}

std::optional<ProgrammeEvent> CaptureApp::LookupProgrammeAt(uint16_t service_id, MjdTime t, int purge) {
  std::lock_guard<std::mutex> lock(processor_mutex_);
  if (processor_ == nullptr) return std::nullopt;
  return processor_->FindEventAt(service_id, t, purge);
}

void CaptureApp::NoteService(uint16_t service_id, const ServiceNames* names) {
  std::lock_guard<std::mutex> lock(services_mutex_);
  std::string& name = services_[service_id];
  if (names != nullptr) name.assign(names->service_name, strnlen(names->service_name, sizeof names->service_name));
}

std::vector<std::pair<uint16_t, std::string>> CaptureApp::Services() const {
  std::lock_guard<std::mutex> lock(services_mutex_);
  return {services_.begin(), services_.end()};
}

StatusSnapshot CaptureApp::LastStatus() const {
  std::lock_guard<std::mutex> lock(status_mutex_);
  return last_status_;
}

std::string CaptureApp::ServiceName(uint16_t service_id) const {
  std::lock_guard<std::mutex> lock(services_mutex_);
  const auto it = services_.find(service_id);
  return it == services_.end() ? std::string() : it->second;
}

StatusSnapshot CaptureApp::RefreshStatus() {
  std::lock_guard<std::recursive_mutex> lock(app_mutex_);
  StatusSnapshot s;
  const uint32_t now = tick_();

  core::DtvStatistics ds;
  if (device_) ds = device_->GetStatistics();
  StatusFigures& f = s.figures;
  f.elapsed_seconds = device_ ? (now - ds.start_tick) / 1000 : 0;
  f.transfers_ok = ds.transfers_ok;
  f.transfers_failed = ds.transfers_failed;
  // A tuner (or a played file) that has gone quiet shows no rate rather than its last one.
  // (Data that came after `now` was taken is no silence.)
  if (static_cast<int32_t>(now - last_data_tick_.load(std::memory_order_relaxed)) > static_cast<int32_t>(kQuietMs)) {
    stats_.transfer_rate.store(0.0, std::memory_order_relaxed);
  }
  f.rate_bytes_per_second = stats_.transfer_rate.load(std::memory_order_relaxed);
  if (device_) {
    char text[128];
    text[0] = '\0';
    device_->GetStatusText(text, sizeof text);
    text[sizeof text - 1] = '\0';
    s.device_status = text;
  }
  if (IsTunerAway()) s.device_status = status_text::kTunerAway;
  f.buffer_fill = fifo_.GetSize();
  f.buffer_capacity = fifo_.GetCapacity();
  f.fifo_overflows = stats_.fifo_overflows.load();
  f.input_overflows = stats_.input_overflows.load();
  f.stage_overflows = stats_.packet_stage_overflows.load();
  f.packet_size = stats_.packet_size.load();
  f.sync_losses = stats_.sync_losses.load();
  f.continuity = stats_.continuity_errors.load();
  f.dropped = stats_.dropped_packets.load();
  f.scrambled = stats_.scrambled_packets.load();

  // The processing thread may have told a newer clock since `now` was taken: it is not older.
  const CaptureStats::ClockReading clock = stats_.ReadClock(now);
  const uint32_t clock_date = clock.date;
  MjdTime broadcast_now;
  s.clock = FormatBroadcastClock(clock_date, clock.seconds, clock.age_ms, &broadcast_now);
  if (clock_date != 0) f.clock = broadcast_now;
  f.clock_fresh = !s.clock.empty() && s.clock[0] == '*';

  s.recording = FormatRecordingText(manual_.IsRecording(), manual_.BytesWritten());
  // The status bar's first field is never written; the others show a single blank when they have
  // nothing to say.
  s.bar[1].assign(1, ' ');
  s.bar[2].assign(1, ' ');
  const bool processing = IsProcessing();
  manual_.Refresh(now, clock_date != 0 ? broadcast_now : MjdTime{}, s);
  if (manual_.Last()) s.last_recording = FormatRecordingTotals(*manual_.Last());
  if (sender_) {
    f.sending = true;
    f.send_address = sender_->GetDestinationAddress();
    f.send_port = sender_->GetDestinationPort();
    f.sent_bytes = sender_->GetBytesSent();
    f.send_dropped_bytes = sender_->GetBytesDropped();
    if (const int error = sender_->GetLastSendError()) f.send_error = std::strerror(error);
  }
  if (http_) {
    f.http = true;
    for (const HttpClientInfo& c : http_->Clients()) {
      ++f.http_clients;
      f.http_lost_bytes += c.bytes_lost;
    }
  }
  FormatFigureTexts(s);

  StreamTick tick;
  tick.tick_ms = now;
  if (clock_date != 0) tick.broadcast = broadcast_now;
  tick.processing = processing;
  bus_.OnTick(tick);
  s.bar[3] = tick.schedule_status;
  {
    std::lock_guard<std::mutex> status(status_mutex_);
    last_status_ = s;
  }
  if (status_listener_) status_listener_(s);
  return s;
}

}  // namespace pelkan
