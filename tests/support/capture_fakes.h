#pragma once

#include <sys/resource.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/loop_dispatcher.h"
#include "core/capture_app.h"
#include "core/dtv_base.h"
#include "core/user_messages.h"
#include "platform/dispatcher.h"
#include "ts/b25_loader.h"

namespace pelkan::testing {

// The connect of the virtual tuner's stream: device 0, its stream endpoint, no OUT endpoint.
ConnectRequest VirtualTunerRequest();

// A capture device with one device ("Fake tuner") whose endpoints are listed in `endpoints`
// (address, attributes). Data is delivered by the test through Deliver, on the caller's thread,
// which then plays the device's receive thread.
class FakeDtvDevice : public core::CDTV_Base {
 public:
  std::vector<std::pair<uint8_t, uint8_t>> endpoints{{0x00, 0}, {0x86, 2}, {0x02, 2}};
  bool fail_start = false;
  // Handed to the data callback inside Stop, before it returns, as transfers cancelled at the stop
  // deliver the bytes they had received.
  std::vector<uint8_t> at_stop;
  std::atomic<int> starts{0};
  std::atomic<int> stops{0};

  int OpenDevice() override { return open_ ? 0 : (open_ = true, 1); }
  void CloseDevice() override {
    Stop();
    open_ = false;
  }
  int IsDeviceOpen() override { return open_ ? 1 : 0; }
  int GetDeviceCount() override { return open_ ? 1 : 0; }
  int GetDeviceName(int index, char* name, size_t size) override;
  int GetEndpointCount(int index) override { return index == 0 ? static_cast<int>(endpoints.size()) : 0; }
  int GetEndpointInfo(int index, int endpoint, core::DtvEndpointInfo* info) override;
  int HasEndpoint(int index, uint32_t address) override;
  int Start(int index, uint32_t in_address, uint32_t out_address) override;
  int Stop() override;
  int IsStreaming() override { return streaming_.load() ? 1 : 0; }

  // Hands `length` bytes to the data callback in chunks of at most `chunk` bytes, as completed
  // transfers would. Returns false when not streaming.
  bool Deliver(const uint8_t* data, size_t length, uint32_t chunk = 0x8000);
  uint32_t last_in() const { return last_in_; }
  uint32_t last_out() const { return last_out_; }

 private:
  bool open_ = true;
  std::atomic<bool> streaming_{false};
  std::mutex deliver_mutex_;
  uint32_t last_in_ = 0, last_out_ = 0;
  void DeliverLocked(const uint8_t* data, size_t length, uint32_t chunk);
};

// The tests run posted tasks themselves, as the command-line tool's loop does.
using QueueDispatcher = LoopDispatcher;

// Records the messages shown to the user; Ask answers `answer`.
class RecordingMessages : public UserMessages {
 public:
  struct Message {
    std::string text, caption;
  };
  std::vector<Message> shown;
  bool answer = true;
  void Notify(const std::string& text, const std::string& caption) override {
    shown.push_back({text, caption});
  }
  bool Ask(const std::string& text, const std::string& caption) override {
    shown.push_back({text, caption});
    return answer;
  }
};

// A decoder plugin stand-in: logs every call into `log` ("Initialize", "Release", "Unload", ...).
class FakeDecoderLibrary : public B25Library {
 public:
  struct Script {
    bool loads = true;
    bool has_factory = true;
    bool factory_makes_object = true;
    int initialize_result = 1;
  };
  FakeDecoderLibrary(Script script, std::vector<std::string>* log) : script_(script), log_(log) {}
  ~FakeDecoderLibrary() override { Unload(); }
  bool Load() override;
  CreateB25DecoderFn GetFactory() override;
  void Unload() override;

 private:
  Script script_;
  std::vector<std::string>* log_;
  bool loaded_ = false;
};

// Transport-stream bytes of `count` 188-byte packets on `pid`, with running continuity counters
// and a payload that identifies each packet.
std::vector<uint8_t> MakePacketRun(uint16_t pid, uint32_t count, uint32_t first_index = 0);

// Limits the size of the files the process writes to `bytes` while it lives: a write beyond fails
// with EFBIG (SIGXFSZ is ignored meanwhile), as a disk that fills makes a recording's write fail
// midway, while smaller files (a report) can still be written.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
};

}  // namespace pelkan::testing
