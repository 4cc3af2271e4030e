// Scheduled recording end to end: the virtual tuner playing the broadcast generator (its clock a
// little before the reservation), the capture session with its processor and heartbeat, and the
// scheduler recording processor output 1 through ScheduledCapture.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "app/capture_session.h"
#include "app/settings.h"
#include "core/capture_app.h"
#include "core/dtv_ezusb_fx2.h"
#include "core/generator_ts_source.h"
#include "schedule/schedule_file.h"
#include "streamgen/broadcast_generator.h"
#include "tests/support/capture_fakes.h"
#include "tests/support/report_table.h"
#include "usb/virtual_tuner.h"

namespace pelkan {
namespace {

// The broadcast runs four times faster than real time, so a heartbeat (300 ms) is about 1.2 s of
// broadcast time.
constexpr uint64_t kBroadcastRate = 8'000'000;
constexpr uint64_t kPacingRate = 4 * kBroadcastRate;

uint16_t PidOf(const uint8_t* p) {
  return static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
}
int FromBcd(uint8_t b) {
  return (b >> 4) * 10 + (b & 0x0F);
}

TEST(ScheduleEndToEnd, ReservationIsRecordedFromTheVirtualTuner) {
  char pattern[] = "/tmp/pelkan-sched-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;

  streamgen::GeneratorOptions options;
  options.bit_rate = kBroadcastRate;
  options.seed = 5;
  const streamgen::BroadcastGenerator probe(options);
  const streamgen::ServiceInfo service = probe.Multiplex(0).services.at(1);
  std::set<uint16_t> own_pids{service.pmt_pid, service.pcr_pid};
  std::set<uint16_t> other_pids;
  for (const auto& c : service.components) own_pids.insert(c.pid);
  for (const auto& s : probe.Multiplex(0).services) {
    if (s.service_id == service.service_id) continue;
    for (const auto& c : s.components) {
      if (!own_pids.count(c.pid)) other_pids.insert(c.pid);
    }
  }
  ASSERT_FALSE(other_pids.empty());

  testing::QueueDispatcher dispatcher;
  testing::RecordingMessages messages;
  // 20:59:00 is the generator's first byte: reserve 20:59:25 for 10 seconds, one service only.
  ScheduleItem item{};
  item.flags = SI_BY_TIME | SI_SERVICE_LIMIT;
  item.start_day = options.start_time.date;
  item.start_second = options.start_time.seconds + 25;
  item.duration = 10;
  SetText(item.directory, dir);
  SetText(item.service_id_text, std::to_string(service.service_id));
  ASSERT_TRUE(SaveScheduleFile(dir + "/schedule.ini", {item}));

  std::vector<ScheduleItem> finished;
  std::vector<FinishedRecording> recordings;
  {
    SessionOptions session_options;
    session_options.schedule = true;
    session_options.schedule_path = dir + "/schedule.ini";
    session_options.guide_path = dir + "/epg.sqlite";
    session_options.rules_path = dir + "/rules.sqlite";
    CaptureSession session(dispatcher, &messages, session_options);
    CaptureApp& app = session.app();
    app.settings() = DefaultSettings(dir);
    app.settings().decode_psi = 1;
    usb::VirtualTunerOptions v;
    v.bit_rate = kPacingRate;
    v.source_factory = [options] { return std::make_unique<core::GeneratorTsSource>(options); };
    auto device = std::make_unique<core::CDTV_EzUSBFX2>(std::make_shared<usb::VirtualTunerDriver>(v));
    device->OpenDevice();
    app.SetDevice(std::move(device));
    session.Begin();
    ScheduledCapture& schedule = *session.schedule();
    ASSERT_EQ(schedule.scheduler().Reservations().size(), 1u);
    ConnectRequest request;
    request.device_index = 0;
    request.in_address = usb::VirtualTunerDriver::kStreamEndpoint;
    request.out_address = core::kNoEndpoint;
    ASSERT_TRUE(app.Connect(request));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (schedule.scheduler().Finished().empty() && std::chrono::steady_clock::now() < until) {
      dispatcher.RunPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    app.Disconnect();
    dispatcher.RunPending();
    finished = schedule.scheduler().Finished();
    recordings = schedule.scheduler().FinishedRecordings();
  }

  ASSERT_EQ(finished.size(), 1u);
  EXPECT_EQ(ItemState(finished[0]), ST_FINISHED);
  EXPECT_TRUE(LoadScheduleFile(dir + "/schedule.ini").empty());

  std::ifstream in(dir + "/20261207-2059.ts", std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
  ASSERT_GT(file.size(), 100u * 188);
  ASSERT_EQ(file.size() % 188, 0u);
  std::set<uint16_t> seen;
  int first_tot = -1, last_tot = -1;
  for (size_t pos = 0; pos < file.size(); pos += 188) {
    const uint8_t* p = &file[pos];
    ASSERT_EQ(p[0], 0x47) << "at " << pos;
    const uint16_t pid = PidOf(p);
    seen.insert(pid);
    if (pid == 0 && (p[1] & 0x40) && (p[3] & 0x20) == 0) {
      const uint8_t* sec = p + 5 + p[4];
      const int section_length = (sec[1] & 0x0F) << 8 | sec[2];
      std::set<uint16_t> programmes;
      for (int i = 8; i + 4 <= 3 + section_length - 4; i += 4) {
        const uint16_t number = static_cast<uint16_t>(sec[i] << 8 | sec[i + 1]);
        if (number != 0) programmes.insert(number);
      }
      EXPECT_EQ(programmes, std::set<uint16_t>{service.service_id});
    }
    if (pid == 0x14 && (p[1] & 0x40) && (p[3] & 0x20) == 0) {
      const uint8_t* sec = p + 5 + p[4];
      if (sec[0] == 0x73 || sec[0] == 0x70) {
        const int t = FromBcd(sec[5]) * 3600 + FromBcd(sec[6]) * 60 + FromBcd(sec[7]);
        if (first_tot < 0) first_tot = t;
        last_tot = t;
      }
    }
  }
  for (uint16_t pid : other_pids) EXPECT_FALSE(seen.count(pid)) << "PID " << pid << " of another service";

  // Its report: whole, and the very table a check of the file gives.
  ASSERT_EQ(recordings.size(), 1u);
  ASSERT_TRUE(recordings[0].summary);
  EXPECT_EQ(recordings[0].summary->report_path, dir + "/20261207-2059.ts.err");
  EXPECT_EQ(recordings[0].summary->packets, file.size() / 188);
  EXPECT_EQ(recordings[0].summary->drop, 0u);
  std::ifstream report_in(dir + "/20261207-2059.ts.err");
  const std::string report((std::istreambuf_iterator<char>(report_in)), {});
  EXPECT_NE(report.find("result              complete\n"), std::string::npos) << report;
  EXPECT_NE(report.find("service             " + std::to_string(service.service_id)), std::string::npos)
      << report;
  EXPECT_EQ(testing::ReportTable(report), testing::CheckTable(dir + "/20261207-2059.ts")) << report;
  for (const auto& c : service.components) EXPECT_TRUE(seen.count(c.pid)) << "PID " << c.pid;
  // Opened 5 s before 20:59:25 and closed 1 s after 20:59:35, as the heartbeat's clock tells. With
  // the broadcast four times faster than real time that clock moves mostly in the 5 s steps of the
  // TOT (the real time added between two of them is a quarter of the broadcast time), so each
  // edge may come up to one TOT interval late; on a loaded machine, where the stream is processed
  // slower than it is paced, the real time added makes the clock run up to an interval early.
  ASSERT_GE(first_tot, 0);
  const int start = static_cast<int>(item.start_second);
  EXPECT_GE(first_tot, start - 5 - 6);
  EXPECT_LE(first_tot, start + 1);
  EXPECT_GE(last_tot, start + 10 + 1 - 5);
  EXPECT_LE(last_tot, start + 10 + 2 + 5);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pelkan
