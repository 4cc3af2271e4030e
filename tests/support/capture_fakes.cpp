#include "tests/support/capture_fakes.h"

#include <csignal>
#include <cstring>

#include "usb/virtual_tuner.h"

namespace pelkan::testing {

ConnectRequest VirtualTunerRequest() {
  ConnectRequest r;
  r.device_index = 0;
  r.in_address = usb::VirtualTunerDriver::kStreamEndpoint;
  r.out_address = core::kNoEndpoint;
  return r;
}

int FakeDtvDevice::GetDeviceName(int index, char* name, size_t size) {
  if (index != 0 || !open_ || size == 0) return 0;
  std::snprintf(name, size, "%s", "Fake tuner");
  return 1;
}

int FakeDtvDevice::GetEndpointInfo(int index, int endpoint, core::DtvEndpointInfo* info) {
  if (index != 0 || endpoint < 0 || endpoint >= static_cast<int>(endpoints.size())) return 0;
  *info = core::DtvEndpointInfo{};
  info->bLength = 7;
  info->bDescriptorType = 5;
  info->bEndpointAddress = endpoints[static_cast<size_t>(endpoint)].first;
  info->bmAttributes = endpoints[static_cast<size_t>(endpoint)].second;
  info->max_packet_size = 512;
  return 1;
}

int FakeDtvDevice::HasEndpoint(int index, uint32_t address) {
  if (index != 0) return 0;
  for (const auto& e : endpoints) {
    if (e.first == address) return 1;
  }
  return 0;
}

int FakeDtvDevice::Start(int index, uint32_t in_address, uint32_t out_address) {
  if (!open_ || streaming_.load() || index != 0 || fail_start) return 0;
  last_in_ = in_address;
  last_out_ = out_address;
  ResetStatistics();
  streaming_.store(true);
  ++starts;
  return 1;
}

int FakeDtvDevice::Stop() {
  if (!streaming_.load()) return 0;
  // Waits for a delivery in progress: no callback runs after Stop returns.
  std::lock_guard<std::mutex> lock(deliver_mutex_);
  DeliverLocked(at_stop.data(), at_stop.size(), 0x8000);
  streaming_.store(false);
  ++stops;
  return 1;
}

bool FakeDtvDevice::Deliver(const uint8_t* data, size_t length, uint32_t chunk) {
  std::lock_guard<std::mutex> lock(deliver_mutex_);
  if (!streaming_.load()) return false;
  DeliverLocked(data, length, chunk);
  return true;
}

void FakeDtvDevice::DeliverLocked(const uint8_t* data, size_t length, uint32_t chunk) {
  size_t done = 0;
  while (done < length) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(chunk, length - done));
    const uint64_t total = total_bytes_.fetch_add(n) + n;
    transfers_ok_.fetch_add(1);
    if (callback_) {
      callback_(data + done, n, static_cast<uint32_t>(total), static_cast<uint32_t>(total >> 32),
                callback_user_);
    }
    done += n;
  }
}

namespace {

class FakeDecoder final : public B25Decoder {
 public:
  FakeDecoder(int init_result, std::vector<std::string>* log) : init_result_(init_result), log_(log) {}
  int Initialize(int param) override {
    log_->push_back("Initialize(" + std::to_string(param) + ")");
    return init_result_;
  }
  void Release() override {
    log_->push_back("Release");
    delete this;
  }
  int Decode(const uint8_t* data, int length, uint8_t** out, int* out_length) override {
    *out = const_cast<uint8_t*>(data);
    *out_length = length;
    return 1;
  }
  int Flush(uint8_t**, int*) override { return 0; }
  void Reset() override {}

 private:
  int init_result_;
  std::vector<std::string>* log_;
};

// The factory has no arguments, so the script for the next object travels in these.
thread_local int g_next_init_result = 1;
thread_local bool g_next_makes_object = true;
thread_local std::vector<std::string>* g_next_log = nullptr;

B25Decoder* FakeFactory() {
  if (!g_next_makes_object) return nullptr;
  return new FakeDecoder(g_next_init_result, g_next_log);
}

}  // namespace

bool FakeDecoderLibrary::Load() {
  log_->push_back("Load");
  loaded_ = script_.loads;
  return loaded_;
}

CreateB25DecoderFn FakeDecoderLibrary::GetFactory() {
  if (!loaded_ || !script_.has_factory) return nullptr;
  g_next_init_result = script_.initialize_result;
  g_next_makes_object = script_.factory_makes_object;
  g_next_log = log_;
  return &FakeFactory;
}

void FakeDecoderLibrary::Unload() {
  if (!loaded_) return;
  loaded_ = false;
  log_->push_back("Unload");
}

std::vector<uint8_t> MakePacketRun(uint16_t pid, uint32_t count, uint32_t first_index) {
  std::vector<uint8_t> out(size_t{count} * 188);
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t* p = out.data() + size_t{i} * 188;
    const uint32_t index = first_index + i;
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>(pid >> 8 & 0x1F);
    p[2] = static_cast<uint8_t>(pid);
    p[3] = static_cast<uint8_t>(0x10 | (index & 0x0F));
    std::memcpy(p + 4, &index, sizeof index);
    for (int j = 8; j < 188; ++j) p[j] = static_cast<uint8_t>(index + static_cast<uint32_t>(j));
  }
  return out;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
  std::signal(SIGXFSZ, SIG_IGN);
  ::getrlimit(RLIMIT_FSIZE, &old_);
  rlimit limit = old_;
  limit.rlim_cur = bytes;
  ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
  ::setrlimit(RLIMIT_FSIZE, &old_);
  std::signal(SIGXFSZ, SIG_DFL);
}

}  // namespace pelkan::testing
