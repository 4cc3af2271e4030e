// The capture pipeline end to end: the virtual tuner playing the broadcast generator, the FX2
// capture device, CaptureApp with its processor, recorder and sender.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "app/capture_bindings.h"
#include "core/capture_app.h"
#include "core/dtv_ezusb_fx2.h"
#include "core/generator_ts_source.h"
#include "info/service_filter_window.h"
#include "info/service_row_table.h"
#include "streamgen/broadcast_generator.h"
#include "streamgen/test_scrambler.h"
#include "tests/support/capture_fakes.h"
#include "tests/support/loopback_udp.h"
#include "tests/support/report_table.h"
#include "ts/b25_loader.h"
#include "ts/stream_check.h"
#include "ts/ts_processor.h"
#include "usb/virtual_tuner.h"

namespace pelkan {
namespace {

using testing::QueueDispatcher;
using testing::RecordingMessages;

constexpr uint64_t kRate = 60'000'000;

streamgen::GeneratorOptions Broadcast(uint16_t scrambled_service = 0) {
  streamgen::GeneratorOptions o;
  o.bit_rate = kRate;
  o.seed = 11;
  o.scrambled_service = scrambled_service;
  return o;
}

std::unique_ptr<core::CDTV_EzUSBFX2> VirtualDevice(const streamgen::GeneratorOptions& options) {
  usb::VirtualTunerOptions v;
  v.bit_rate = kRate;
  v.source_factory = [options] { return std::make_unique<core::GeneratorTsSource>(options); };
  auto device = std::make_unique<core::CDTV_EzUSBFX2>(std::make_shared<usb::VirtualTunerDriver>(v));
  device->OpenDevice();
  return device;
}

// The generated stream as the outputs see it: every packet but the null packets.
std::vector<uint8_t> ExpectedStream(const streamgen::GeneratorOptions& options, size_t bytes) {
  streamgen::BroadcastGenerator g(options);
  std::vector<uint8_t> out;
  out.reserve(bytes);
  uint8_t p[188];
  while (out.size() < bytes) {
    g.Read(p, sizeof p);
    if (((p[1] & 0x1F) << 8 | p[2]) == 0x1FFF) continue;
    out.insert(out.end(), p, p + sizeof p);
  }
  out.resize(bytes);
  return out;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

uint16_t PidOf(const uint8_t* p) {
  return static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
}

class CaptureEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelkan-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static ConnectRequest Request() {
    ConnectRequest r;
    r.device_index = 0;
    r.in_address = usb::VirtualTunerDriver::kStreamEndpoint;
    r.out_address = core::kNoEndpoint;
    return r;
  }

  // Runs the dispatcher's tasks until `done` or `ms` have passed.
  template <typename Done>
  bool Pump(QueueDispatcher& d, uint32_t ms, Done done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      d.RunPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  std::string dir_;
  QueueDispatcher dispatcher_;
  RecordingMessages messages_;
};

TEST_F(CaptureEndToEnd, RecordingIsTheGeneratedStreamAndDisconnectZeroesTheStatistics) {
  const auto options = Broadcast();
  CaptureApp app(&dispatcher_, &messages_);
  app.SetDevice(VirtualDevice(options));
  const std::string path = dir_ + "/all.ts";
  ASSERT_TRUE(app.ToggleRecording(false, path));  // before the first packet
  ASSERT_TRUE(app.Connect(Request()));
  ASSERT_TRUE(Pump(dispatcher_, 20000, [&] { return app.BlocksFed() >= 200; }));  // 6.5 MB
  EXPECT_EQ(app.stats().packet_size.load(), 188);
  EXPECT_NE(app.stats().clock_date.load(), 0u);
  app.Disconnect();
  EXPECT_FALSE(app.IsRecording());
  EXPECT_EQ(app.stats().packet_size.load(), 0);
  EXPECT_EQ(app.stats().clock_date.load(), 0u);
  EXPECT_EQ(app.stats().fifo_overflows.load(), 0u);
  const auto file = ReadFile(path);
  ASSERT_GT(file.size(), 5'000'000u);
  ASSERT_EQ(file.size() % 188, 0u);
  EXPECT_TRUE(file == ExpectedStream(options, file.size()));
  EXPECT_TRUE(messages_.shown.empty());

  // Its report: nothing dropped, and the very table a check of the file gives.
  const std::string report = ReadText(path + ".err");
  EXPECT_NE(report.find("result              complete\n"), std::string::npos) << report;
  EXPECT_NE(report.find("\ntotal       packets " + std::to_string(file.size() / 188) +
                        "  drop 0  error 0  scrambled 0\n"),
            std::string::npos)
      << report;
  EXPECT_EQ(testing::ReportTable(report), testing::CheckTable(path));
  EXPECT_NE(report.find("  video\n"), std::string::npos);
}

// The virtual tuner playing a file with faults (VIRTUAL_TUNER_FILE; `pelkan-cli generate --fault`):
// the recording's report shows the drops and the sync loss, as a check of the played file does.
TEST_F(CaptureEndToEnd, ReportOfAFileWithFaultsShowsThem) {
  auto options = Broadcast();
  options.faults = {{3000, streamgen::FaultKind::kDropPacket},
                    {6000, streamgen::FaultKind::kDropPacket},
                    {9000, streamgen::FaultKind::kBadSync}};
  const std::string played = dir_ + "/faults.ts";
  {
    streamgen::BroadcastGenerator g(options);
    std::vector<uint8_t> bytes(188 * 80000);  // 15 MB: 4 s of playing, far more than is recorded
    g.Read(bytes.data(), bytes.size());
    std::ofstream(played, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  usb::DriverConfig config;
  config.use_libusb = false;
  config.virtual_tuner_file = played;
  config.virtual_bit_rate = kRate / 2;
  auto device = std::make_unique<core::CDTV_EzUSBFX2>(config);
  device->OpenDevice();
  CaptureApp app(&dispatcher_, &messages_);
  app.SetDevice(std::move(device));
  const std::string path = dir_ + "/played.ts";
  ASSERT_TRUE(app.ToggleRecording(false, path));
  ASSERT_TRUE(app.Connect(Request()));
  ASSERT_TRUE(Pump(dispatcher_, 20000, [&] { return app.BlocksFed() >= 100; }));  // 3.3 MB
  app.Disconnect();
  ASSERT_LT(std::filesystem::file_size(path), std::filesystem::file_size(played) * 9 / 10);  // no loop

  StreamCheck source;
  std::string error;
  ASSERT_TRUE(source.FeedFile(played, &error));
  ASSERT_GT(source.checker().Totals().drop, 2u);  // the two dropped packets and the one after the lost sync
  const auto last = app.GetLastRecording();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->drop, source.checker().Totals().drop);
  EXPECT_EQ(last->sync_losses, 1u);
  const std::string report = ReadText(path + ".err");
  EXPECT_NE(report.find("sync losses         1\n"), std::string::npos) << report;
  EXPECT_NE(report.find("\nevents              " + std::to_string(last->drop) + "\n"), std::string::npos)
      << report;
  EXPECT_NE(report.find("  drop 1 (counter expected "), std::string::npos) << report;
  EXPECT_EQ(testing::ReportTable(report), testing::CheckTable(path));
}

TEST_F(CaptureEndToEnd, ServiceFilterKeepsOneServiceWithARewrittenPat) {
  const auto options = Broadcast();
  CaptureApp app(&dispatcher_, &messages_);
  app.settings().decode_psi = 1;
  app.SetDevice(VirtualDevice(options));
  ServiceRowTable rows;
  ServiceFilterWindow window(dispatcher_, &rows);
  ServiceFilterBinding binding(window, app);
  app.bus().Add(&binding);
  ASSERT_TRUE(app.Connect(Request()));
  ASSERT_TRUE(Pump(dispatcher_, 20000, [&] { return rows.ComponentsComplete(); }));
  const uint16_t kept = 1025;
  ASSERT_TRUE(window.KeepOnlyServices(std::vector<uint16_t>{kept}));
  const uint64_t fed = app.BlocksFed();
  ASSERT_TRUE(Pump(dispatcher_, 20000, [&] { return app.BlocksFed() > fed + 1; }));
  const std::string path = dir_ + "/one.ts";
  ASSERT_TRUE(app.ToggleRecording(false, path));
  ASSERT_TRUE(Pump(dispatcher_, 20000, [&] { return app.BlocksFed() > fed + 200; }));
  app.Disconnect();
  app.bus().Remove(&binding);

  // The elementary PIDs of every service of the broadcast. (The filtering window excludes the
  // component PIDs of the other services; their PMTs, no longer listed in the PAT, still pass.)
  streamgen::BroadcastGenerator g(options);
  std::set<uint16_t> kept_pids, other_pids, kept_av;
  for (const auto& s : g.Multiplex(0).services) {
    auto& set = s.service_id == kept ? kept_pids : other_pids;
    for (const auto& c : s.components) {
      set.insert(c.pid);
      if (s.service_id == kept && (c.stream_type == 0x02 || c.stream_type == 0x0F)) kept_av.insert(c.pid);
    }
    if (s.service_id == kept) kept_av.insert(s.pmt_pid);
  }
  const auto file = ReadFile(path);
  ASSERT_GT(file.size(), 1'000'000u);
  std::set<uint16_t> seen;
  for (size_t off = 0; off + 188 <= file.size(); off += 188) {
    ASSERT_EQ(file[off], 0x47);
    const uint16_t pid = PidOf(&file[off]);
    seen.insert(pid);
    ASSERT_FALSE(other_pids.count(pid) && !kept_pids.count(pid)) << "PID " << pid << " of another service";
  }
  for (uint16_t pid : kept_av) EXPECT_TRUE(seen.count(pid)) << pid;  // captions and data are sparse
  EXPECT_TRUE(seen.count(0));

  // The processor accepts the rewritten PAT (its CRC is good) and finds only the kept service.
  TsProcessor p;
  p.SetDecodePsi(1);
  std::vector<std::vector<ProgramListEntry>> pats;
  p.SetEventHandler(
      [](uint32_t type, int32_t, const uint8_t* data, uint32_t count, void* user) {
        if (type != EVENT_PROGRAM_LIST) return;
        const auto* e = reinterpret_cast<const ProgramListEntry*>(data);
        static_cast<std::vector<std::vector<ProgramListEntry>>*>(user)->emplace_back(e, e + count);
      },
      &pats);
  CaptureStats stats;
  p.Feed(file.data(), static_cast<int>(file.size()), stats);
  p.Finish(stats);
  ASSERT_FALSE(pats.empty());
  for (const auto& pat : pats) {
    ASSERT_EQ(pat.size(), 1u);
    EXPECT_EQ(pat[0].program_number, kept);
  }
  EXPECT_EQ(stats.continuity_errors.load(), 0u);

  if (std::system("ffprobe -version > /dev/null 2>&1") == 0) {
    const std::string out = dir_ + "/probe.txt";
    ASSERT_EQ(std::system(("ffprobe -v error -show_entries program=program_id -of csv=p=0 " + path + " > " +
                           out + " 2>/dev/null")
                              .c_str()),
              0);
    std::ifstream in(out);
    std::string line, programs;
    while (std::getline(in, line)) programs += line + ";";
    EXPECT_NE(programs.find("1025"), std::string::npos) << programs;
  }
}

// A UDP socket on 127.0.0.1 that collects datagrams on its own thread.
class UdpCollector {
 public:
  UdpCollector() {
    fd_ = testing::OpenLoopbackUdp(32 << 20, &port_);
    thread_ = std::thread([this] {
      std::vector<uint8_t> d(65536);
      for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, 50);
        if (r <= 0) {
          if (stop_.load()) return;
          continue;
        }
        const ssize_t n = ::recv(fd_, d.data(), d.size(), 0);
        if (n <= 0) continue;
        sizes.push_back(static_cast<size_t>(n));
        bytes.insert(bytes.end(), d.begin(), d.begin() + n);
      }
    });
  }
  // Waits until nothing has arrived for 50 ms and stops.
  void Finish() {
    stop_ = true;
    thread_.join();
  }
  ~UdpCollector() {
    if (thread_.joinable()) Finish();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }
  std::vector<uint8_t> bytes;
  std::vector<size_t> sizes;

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(CaptureEndToEnd, DatagramsReassembleIntoTheRecordedStream) {
  const auto options = Broadcast();
  UdpCollector rx;
  CaptureApp app(&dispatcher_, &messages_);
  app.SetDevice(VirtualDevice(options));
  app.settings().network_address = "127.0.0.1";
  app.settings().network_port = rx.port();
  const std::string path = dir_ + "/udp.ts";
  ASSERT_TRUE(app.ToggleRecording(false, path));
  ASSERT_TRUE(app.ToggleSending(false));
  ASSERT_TRUE(app.Connect(Request()));
  ASSERT_TRUE(Pump(dispatcher_, 20000, [&] { return app.BlocksFed() >= 100; }));
  app.Disconnect();
  rx.Finish();
  const auto file = ReadFile(path);
  ASSERT_GT(rx.bytes.size(), 2'000'000u);
  for (size_t s : rx.sizes) ASSERT_EQ(s, 32767u);
  // At most one datagram's worth stays in the sender's buffer at the stop.
  EXPECT_LE(file.size() - rx.bytes.size(), 32767u + 188u);
  EXPECT_TRUE(std::equal(rx.bytes.begin(), rx.bytes.end(), file.begin()));
}

TEST_F(CaptureEndToEnd, SamplePluginClearsTheTestScrambling) {
  const std::string plugin = std::string(PELKAN_BINARY_DIR) + "/src/cli/B25Decoder.so";
  ASSERT_EQ(access(plugin.c_str(), R_OK), 0) << plugin;
  const auto options = Broadcast(1025);
  for (bool descramble : {false, true}) {
    CaptureApp app(&dispatcher_, &messages_);
    app.SetDevice(VirtualDevice(options));
    app.SetDecoderLibraryFactory([plugin] {
      auto lib = std::make_unique<B25Library>();
      lib->SetCandidates({plugin});
      return lib;
    });
    const std::string path = dir_ + (descramble ? "/clear.ts" : "/scrambled.ts");
    ASSERT_TRUE(app.ToggleRecording(false, path));
    ConnectRequest r = Request();
    r.descramble = descramble;
    ASSERT_TRUE(app.Connect(r)) << app.GetLastError();
    ASSERT_TRUE(Pump(dispatcher_, 20000, [&] { return app.BlocksFed() >= 60; }));
    const uint32_t scrambled = app.stats().scrambled_packets.load();
    app.Disconnect();
    const auto file = ReadFile(path);
    size_t marked = 0;
    for (size_t off = 0; off + 188 <= file.size(); off += 188) marked += (file[off + 3] & 0xC0) != 0;
    if (descramble) {
      EXPECT_EQ(scrambled, 0u);
      EXPECT_EQ(marked, 0u);
      auto clear = ExpectedStream(options, file.size());
      for (size_t off = 0; off + 188 <= clear.size(); off += 188)
        streamgen::RemoveTestScrambling(&clear[off], 188);
      EXPECT_TRUE(file == clear);
    } else {
      EXPECT_GT(scrambled, 0u);
      EXPECT_GT(marked, 0u);
    }
  }
  EXPECT_TRUE(messages_.shown.empty());
}

}  // namespace
}  // namespace pelkan
