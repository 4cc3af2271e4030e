// The results table: how a scheduled recording ended (whole, its head or tail taken by another
// reservation, a gap, the tuner lost) as its report's result line and PELKAN_RESULT tell it.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "hooks/recording_outcome.h"
#include "platform/text_codec.h"
#include "schedule/recording_scheduler.h"
#include "tests/support/capture_fakes.h"
#include "tests/support/temp_dir.h"

namespace pelkan::hooks {
namespace {

constexpr uint32_t kDay = 61382;  // 2026-12-08

MjdTime At(int h, int m, int s) {
  return MjdTime{kDay, static_cast<uint32_t>(h * 3600 + m * 60 + s)};
}

class Host : public SchedulerHost {
 public:
  bool LookupProgramme(uint16_t, uint16_t, uint16_t, uint16_t, ProgrammeEvent*) override { return false; }
  void Post(std::function<void()> work) override { posted.push_back(std::move(work)); }
  bool ConfirmOverlap() override { return true; }
  uint32_t DeviceCapabilities() override { return 1; }
  void OnReservationEnded(const FinishedRecording& finished) override { ended.push_back(finished); }
  std::deque<std::function<void()>> posted;
  std::vector<FinishedRecording> ended;
};

ScheduleItem OnChannel(uint8_t channel, MjdTime start, uint32_t duration, const std::string& dir,
                       const char* title, uint8_t priority = kDefaultPriority) {
  ScheduleItem item{};
  item.flags = SI_BY_TIME | SI_CHANNEL_VALUE;
  item.channel_value = channel;
  item.start_day = start.date;
  item.start_second = start.seconds;
  item.duration = duration;
  item.priority = priority;
  SetText(item.directory, dir);
  SetText(item.title, platform::Utf8ToSjis(title));
  return item;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST(RecordingResult, EachEndGivesItsReportLineAndResult) {
  struct Case {
    const char* name;
    // Stores the reservations and runs the clock; the recording looked at is "対象".
    std::function<void(RecordingScheduler&, const std::string& dir)> run;
    const char* report_result;
    const char* pelkan_result;
    const char* reason;
  };
  const std::vector<uint8_t> packets = testing::MakePacketRun(0x100, 20);
  auto feed = [&packets](RecordingScheduler& s) {
    for (size_t pos = 0; pos < packets.size(); pos += 188) s.ReceivePacket(packets.data() + pos, 188);
  };
  const Case cases[] = {
      {"whole",
       [&](RecordingScheduler& s, const std::string& dir) {
         s.StoreItem(OnChannel(13, At(21, 0, 0), 60, dir, "対象"), -1);
         s.Tick(At(20, 59, 56));
         feed(s);
         s.Tick(At(21, 1, 5));
       },
       "complete", "complete", ""},
      {"head taken by a higher priority (65 s lost as planned)",
       [&](RecordingScheduler& s, const std::string& dir) {
         s.StoreItem(OnChannel(27, At(20, 50, 0), 600, dir, "特番", 5), -1);
         s.StoreItem(OnChannel(13, At(20, 59, 0), 600, dir, "対象"), -1);
         s.Tick(At(20, 49, 56));
         s.Tick(At(20, 59, 40));  // the second is prepared, its head held by the first
         s.Tick(At(21, 0, 2));    // the first ends, the second opens
         s.Tick(At(21, 0, 3));
         feed(s);
         s.Tick(At(21, 9, 5));
       },
       "partial: started 0:01:05 late for 特番", "partial", "started 0:01:05 late for 特番"},
      {"tail taken by a higher priority",
       [&](RecordingScheduler& s, const std::string& dir) {
         s.StoreItem(OnChannel(13, At(21, 0, 0), 600, dir, "対象"), -1);
         s.StoreItem(OnChannel(27, At(21, 5, 0), 600, dir, "特番", 5), -1);
         s.Tick(At(20, 59, 56));
         feed(s);
         s.Tick(At(21, 4, 55));
       },
       "partial: cut short for 特番", "partial", "cut short for 特番"},
      {"head and tail both taken",
       [&](RecordingScheduler& s, const std::string& dir) {
         s.StoreItem(OnChannel(27, At(20, 50, 0), 600, dir, "前番組", 5), -1);
         s.StoreItem(OnChannel(13, At(20, 59, 0), 600, dir, "対象"), -1);
         s.StoreItem(OnChannel(40, At(21, 5, 0), 600, dir, "後番組", 5), -1);
         s.Tick(At(20, 49, 56));
         s.Tick(At(20, 59, 40));
         s.Tick(At(21, 0, 2));
         s.Tick(At(21, 0, 3));
         feed(s);
         s.Tick(At(21, 4, 55));
       },
       "partial: started 0:01:05 late for 前番組, cut short for 後番組", "partial",
       "started 0:01:05 late for 前番組, cut short for 後番組"},
      {"a gap the tuner came back from",
       [&](RecordingScheduler& s, const std::string& dir) {
         s.StoreItem(OnChannel(13, At(21, 0, 0), 60, dir, "対象"), -1);
         s.Tick(At(20, 59, 56));
         feed(s);
         s.BreakStream();
         std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the gap lasts a moment
         s.ResumeStream();
         feed(s);
         s.Tick(At(21, 1, 5));
       },
       "recovered (gap 0:00:00)", "recovered", "gap 0:00:00"},
      {"the tuner lost until the end",
       [&](RecordingScheduler& s, const std::string& dir) {
         s.StoreItem(OnChannel(13, At(21, 0, 0), 60, dir, "対象"), -1);
         s.Tick(At(20, 59, 56));
         feed(s);
         s.BreakStream();
         s.Tick(At(21, 1, 5));
       },
       "tuner lost: the tuner dropped out and was not back by the reservation's end", "failed",
       "tuner lost: the tuner dropped out and was not back by the reservation's end"},
      {"never recorded in its time",
       [&](RecordingScheduler& s, const std::string& dir) {
         s.StoreItem(OnChannel(13, At(21, 0, 0), 60, dir, "対象"), -1);
         s.Tick(At(21, 1, 5));
       },
       nullptr, "missed", "not recorded in its time"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir temp;
    Host host;
    {
      RecordingScheduler s(&host);
      c.run(s, temp.path());
      host.posted.clear();
    }
    const FinishedRecording* ended = nullptr;
    for (const FinishedRecording& f : host.ended) {
      if (platform::SjisToUtf8(GetText(f.item.title)) == "対象") ended = &f;
    }
    ASSERT_NE(ended, nullptr);
    ASSERT_EQ(ended->summary.has_value(), c.report_result != nullptr);
    if (c.report_result != nullptr) {
      const std::string report = ReadFile(ended->summary->report_path);
      EXPECT_NE(report.find("result              " + std::string(c.report_result) + "\n"), std::string::npos)
          << report;
    }
    const RecordingOutcome outcome = OutcomeOfReservation(*ended);
    EXPECT_EQ(outcome.result, c.pelkan_result);
    EXPECT_EQ(outcome.reason, c.reason);
  }
}

}  // namespace
}  // namespace pelkan::hooks
