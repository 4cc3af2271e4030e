#include "schedule/recording_scheduler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <regex>
#include <thread>

#include "core/status_text.h"
#include "platform/broadcast_text.h"
#include "platform/profile.h"
#include "platform/text_codec.h"
#include "output/block_file_writer.h"
#include "schedule/schedule_file.h"
#include "schedule/schedule_texts.h"
#include "tests/support/capture_fakes.h"

namespace pelkan {
namespace {

constexpr uint32_t kDay = 54528;  // 2008-03-03

MjdTime At(int h, int m, int s, uint32_t day = kDay) {
  return MjdTime{day, static_cast<uint32_t>(h * 3600 + m * 60 + s)};
}

struct MemoryFile {
  std::string path;
  std::string bytes;
  bool open = false;
};

class MemoryWriter : public RecordingWriter {
 public:
  MemoryWriter(MemoryFile* file, bool fail) : file_(file), fail_(fail) {}
  ~MemoryWriter() override { file_->open = false; }
  bool Open(const std::string& path) override {
    file_->path = path;
    file_->open = !fail_;
    return !fail_;
  }
  void Write(const uint8_t* data, uint32_t length) override {
    file_->bytes.append(reinterpret_cast<const char*>(data), length);
  }
  uint64_t BytesWritten() const override { return file_->bytes.size(); }
  uint64_t FreeSpace() const override { return uint64_t{5} << 30; }

 private:
  MemoryFile* file_;
  bool fail_;
};

class FakeHost : public SchedulerHost {
 public:
  bool LookupProgramme(uint16_t, uint16_t, uint16_t service_id, uint16_t event_id,
                       ProgrammeEvent* out) override {
    const auto it = events.find({service_id, event_id});
    if (it == events.end()) return false;
    *out = it->second;
    return true;
  }
  void Post(std::function<void()> work) override { posted.push_back(std::move(work)); }
  bool ConfirmOverlap() override {
    questions++;
    const bool a = answer;
    if (during_question) during_question();
    return a;
  }
  void OnScheduleChanged() override { refreshes++; }
  uint32_t DeviceCapabilities() override { return caps; }
  void SetChannel(uint8_t channel) override { channels.push_back(channel); }
  void SendString(std::string_view text) override { strings.emplace_back(text); }
  std::unique_ptr<RecordingWriter> CreateWriter() override {
    files.emplace_back();
    return std::make_unique<MemoryWriter>(&files.back(), fail_open);
  }
  EventStore::PresentFollowing LookupPresentFollowing(uint16_t service_id) override {
    return present_following ? present_following(service_id) : EventStore::PresentFollowing{};
  }
  bool LookupProgrammeAt(uint16_t service_id, MjdTime t, ProgrammeEvent* out) override {
    return at && at(service_id, t, out);
  }
  void OnRecordingFailed(const RecordingFailure& failure) override { failures.push_back(failure); }
  void OnReservationEnded(const FinishedRecording& finished) override { ended.push_back(finished); }
  void OnScheduleFileKeptAside(const std::string& path, const std::string& kept_as) override {
    kept_aside.emplace_back(path, kept_as);
  }
  void Drain() {
    while (!posted.empty()) {
      auto work = std::move(posted.front());
      posted.pop_front();
      work();
    }
  }

  std::map<std::pair<uint16_t, uint16_t>, ProgrammeEvent> events;
  std::deque<std::function<void()>> posted;
  bool answer = true;
  int questions = 0;
  std::function<void()> during_question;
  int refreshes = 0;
  uint32_t caps = 0;
  std::vector<uint8_t> channels;
  std::vector<std::string> strings;
  std::deque<MemoryFile> files;
  bool fail_open = false;
  std::function<bool(uint16_t, MjdTime, ProgrammeEvent*)> at;
  std::function<EventStore::PresentFollowing(uint16_t)> present_following;
  std::vector<RecordingFailure> failures;
  std::vector<FinishedRecording> ended;
  std::vector<std::pair<std::string, std::string>> kept_aside;
};

// Records into real files (BlockFileWriter).
struct RealFilesHost : FakeHost {
  std::unique_ptr<RecordingWriter> CreateWriter() override { return SchedulerHost::CreateWriter(); }
};

ScheduleItem ByTime(MjdTime start, uint32_t duration, const char* dir = "/rec") {
  ScheduleItem item{};
  item.flags = SI_BY_TIME;
  item.start_day = start.date;
  item.start_second = start.seconds;
  item.duration = duration;
  SetText(item.directory, dir);
  return item;
}

ScheduleItem ByEvent(uint16_t service, uint16_t event) {
  ScheduleItem item{};
  item.flags = SI_BY_EVENT;
  item.service_id = service;
  item.event_id = event;
  SetText(item.directory, "/rec");
  return item;
}

ProgrammeEvent Event(uint8_t version, MjdTime start, uint32_t duration, const char* title) {
  ProgrammeEvent ev{};
  ev.kind = EVENT_KIND_PF_ACTUAL;
  ev.version = version;
  ev.start_day = start.date;
  ev.start_second = start.seconds;
  ev.duration = duration;
  std::snprintf(ev.title, sizeof(ev.title), "%s", title);
  return ev;
}

const uint8_t kPacket[188] = {0x47, 0x01, 0x00, 0x10};

std::string Status(RecordingScheduler& s) {
  return platform::SjisToUtf8(s.GetScheduleStatus());
}

TEST(RecordingScheduler, WholeDateTimeReservation) {
  FakeHost host;
  RecordingScheduler s(&host);
  ASSERT_EQ(s.StoreItem(ByTime(At(21, 0, 0), 1800), -1), 1);

  s.Tick(At(20, 59, 30));
  EXPECT_EQ(ItemState(s.Reservations()[0]), ST_WAITING);
  s.Tick(At(20, 59, 31));
  EXPECT_EQ(ItemState(s.Reservations()[0]), ST_PREPARING);
  EXPECT_TRUE(s.IsActiveItem(0));
  s.ReceivePacket(kPacket, 188);  // before the file is open: dropped
  s.Tick(At(20, 59, 55));
  EXPECT_TRUE(host.files.empty());
  s.Tick(At(20, 59, 56));
  ASSERT_EQ(host.files.size(), 1u);
  EXPECT_EQ(host.files[0].path, "/rec/20080303-2100.ts");
  EXPECT_EQ(ItemState(s.Reservations()[0]), ST_RECORDING);
  s.ReceivePacket(kPacket, 188);
  s.ReceivePacket(kPacket, 188);
  EXPECT_EQ(host.files[0].bytes.size(), 376u);

  s.Tick(At(21, 30, 1));
  EXPECT_TRUE(host.files[0].open);
  s.Tick(At(21, 30, 2));
  EXPECT_FALSE(host.files[0].open);
  EXPECT_TRUE(s.Reservations().empty());
  ASSERT_EQ(s.Finished().size(), 1u);
  EXPECT_EQ(ItemState(s.Finished()[0]), ST_FINISHED);
  s.ReceivePacket(kPacket, 188);
  EXPECT_EQ(host.files[0].bytes.size(), 376u);
}

TEST(RecordingScheduler, PastStartPreparesAndOpensInOneTick) {
  FakeHost host;
  host.caps = 3;
  RecordingScheduler s(&host);
  ScheduleItem item = ByTime(At(21, 0, 0), 1800);
  item.flags |= SI_CHANNEL_VALUE | SI_CHANNEL_STRING;
  item.channel_value = 27;
  SetText(item.channel_string, "ch27");
  s.StoreItem(item, -1);
  s.Tick(At(21, 10, 0));
  EXPECT_EQ(ItemState(s.Reservations()[0]), ST_RECORDING);
  EXPECT_EQ(host.channels, std::vector<uint8_t>{27});
  EXPECT_EQ(host.strings, std::vector<std::string>{"ch27"});
}

// Two reservations on the stream being received record at once; two that move the tuner to other
// channels collide: the later one waits for the tick that ends the first.
TEST(RecordingScheduler, OverlapRecordsAtOnceOnOneStreamAndWaitsForTheEndOnTwo) {
  {
    FakeHost host;
    RecordingScheduler s(&host);
    s.StoreItem(ByTime(At(21, 0, 0), 1800), -1);
    s.StoreItem(ByTime(At(21, 30, 0), 600), -1);  // starts at A's end: closed spans overlap
    EXPECT_EQ(host.questions, 1);
    s.Tick(At(21, 0, 0));
    s.Tick(At(21, 29, 56));  // within B's margin: it opens while A goes on
    EXPECT_EQ(ItemState(s.Reservations()[0]), ST_RECORDING);
    EXPECT_EQ(ItemState(s.Reservations()[1]), ST_RECORDING);
    EXPECT_EQ(host.files.size(), 2u);
  }
  FakeHost host;
  host.caps = 1;
  RecordingScheduler s(&host);
  ScheduleItem a = ByTime(At(21, 0, 0), 1800);
  a.flags |= SI_CHANNEL_VALUE;
  a.channel_value = 13;
  ScheduleItem b = ByTime(At(21, 30, 0), 600);
  b.flags |= SI_CHANNEL_VALUE;
  b.channel_value = 27;
  s.StoreItem(a, -1);
  s.StoreItem(b, -1);
  s.Tick(At(21, 0, 0));
  s.Tick(At(21, 29, 55));
  s.Tick(At(21, 30, 1));
  EXPECT_EQ(ItemState(s.Reservations()[1]), ST_PREPARING);  // the tuner is A's until its end
  EXPECT_EQ(host.channels, std::vector<uint8_t>{13});
  s.Tick(At(21, 30, 2));  // ends A, and B takes the tuner in the same tick
  ASSERT_EQ(s.Reservations().size(), 1u);
  EXPECT_EQ(ItemState(s.Reservations()[0]), ST_RECORDING);
  EXPECT_EQ(host.channels, (std::vector<uint8_t>{13, 27}));
  EXPECT_EQ(host.files.back().path, "/rec/20080303-2130.ts");
}

TEST(RecordingScheduler, ExpiredWithoutRecordingIsAnErrorAndDailyRepeats) {
  FakeHost host;
  RecordingScheduler s(&host);
  ScheduleItem item = ByTime(At(23, 30, 0), 600);
  item.flags |= SI_DAILY;
  s.StoreItem(item, -1);
  s.Tick(At(23, 40, 2));
  ASSERT_EQ(s.Finished().size(), 1u);
  EXPECT_EQ(ItemState(s.Finished()[0]), ST_ERROR);
  ASSERT_EQ(s.Reservations().size(), 1u);
  EXPECT_EQ(s.Reservations()[0].start_day, kDay + 1);
  EXPECT_EQ(s.Reservations()[0].start_second, At(23, 30, 0).seconds);
  EXPECT_EQ(ItemState(s.Reservations()[0]), ST_WAITING);
}

TEST(RecordingScheduler, WeeklyRepetitionAndDeleteKeepsTheSeries) {
  FakeHost host;
  RecordingScheduler s(&host);
  ScheduleItem item = ByTime(At(23, 30, 0), 600);
  item.flags |= SI_WEEKLY;
  s.StoreItem(item, -1);
  EXPECT_EQ(s.RetireItem(SI_DELETED, 0), 1);
  EXPECT_TRUE(s.Finished().empty());
  ASSERT_EQ(s.Reservations().size(), 1u);
  EXPECT_EQ(s.Reservations()[0].start_day, kDay + 7);
  EXPECT_TRUE(s.Reservations()[0].flags & SI_DELETED);
  EXPECT_EQ(s.RetireItem(ST_FINISHED, 0), 1);
  EXPECT_EQ(s.Finished().size(), 1u);
  EXPECT_EQ(s.RetireItem(ST_FINISHED, 5), 0);
  EXPECT_EQ(s.RetireItem(ST_FINISHED, -1), 0);
}

std::vector<uint8_t> PacketOf(uint16_t pid) {
  std::vector<uint8_t> p(188, 0xFF);
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>(pid >> 8);
  p[2] = static_cast<uint8_t>(pid);
  p[3] = 0x10;
  return p;
}

// The PIDs of the packets in a recording, in order.
std::vector<uint16_t> PidsIn(const std::string& bytes) {
  std::vector<uint16_t> pids;
  for (size_t i = 0; i + 188 <= bytes.size(); i += 188) {
    pids.push_back(static_cast<uint16_t>((static_cast<uint8_t>(bytes[i + 1]) & 0x1F) << 8 |
                                         static_cast<uint8_t>(bytes[i + 2])));
  }
  return pids;
}

TEST(RecordingScheduler, ServiceLimitKeepsOneProgrammeAndFollowsPmtChanges) {
  FakeHost host;
  RecordingScheduler s(&host);
  const ComponentEntry p1024[] = {{0x02, 0x100}, {0x0F, 0x110}};
  const ComponentEntry p1025[] = {{0x02, 0x200}, {0x0F, 0x110}};
  const ComponentEntry p1026[] = {{0x02, 0x300}};
  s.OnComponentList(1024, p1024, 2);
  s.OnComponentList(1025, p1025, 2);
  s.OnComponentList(1026, p1026, 1);
  ScheduleItem item = ByTime(At(21, 0, 0), 1800);
  item.flags |= SI_SERVICE_LIMIT;
  SetText(item.service_id_text, "1024");
  s.StoreItem(item, -1);
  s.Tick(At(21, 0, 0));
  ASSERT_EQ(host.files.size(), 1u);
  for (const uint16_t pid : {0x100, 0x110, 0x200, 0x300, 0x301, 0x1FFF}) s.ReceivePacket(PacketOf(pid).data(), 188);
  // 0x110 is shared with 1024; the other programmes' own PIDs are dropped, the rest passes.
  EXPECT_EQ(PidsIn(host.files[0].bytes), (std::vector<uint16_t>{0x100, 0x110, 0x301, 0x1FFF}));
  const ComponentEntry p1026b[] = {{0x02, 0x301}, {0x04, 0x302}};
  s.OnComponentList(1026, p1026b, 2);
  host.files[0].bytes.clear();
  for (const uint16_t pid : {0x300, 0x301, 0x302}) s.ReceivePacket(PacketOf(pid).data(), 188);
  EXPECT_EQ(PidsIn(host.files[0].bytes), (std::vector<uint16_t>{0x300}));
  s.OnStreamReset(5);
  EXPECT_TRUE(s.ComputeExcludedPids(std::vector<uint16_t>{1024}).empty());
}

// Each recording keeps its own service: two reservations of one stream record at once, each file
// with a PAT that lists only its programme.
TEST(RecordingScheduler, TwoServicesOfOneStreamRecordAtOnceEachWithItsOwnPat) {
  FakeHost host;
  RecordingScheduler s(&host);
  const ComponentEntry p1024[] = {{0x02, 0x100}};
  const ComponentEntry p1032[] = {{0x02, 0x200}};
  s.OnComponentList(1024, p1024, 1);
  s.OnComponentList(1032, p1032, 1);
  const ProgramListEntry pat[] = {{1024, 0x1F0}, {1032, 0x1F8}};
  s.OnProgramList(pat, 2);
  for (const auto& [service, start] : {std::pair<const char*, int>{"1024", 0}, {"1032", 10}}) {
    ScheduleItem item = ByTime(At(21, start, 0), 1800);
    item.flags |= SI_SERVICE_LIMIT;
    SetText(item.service_id_text, service);
    s.StoreItem(item, -1);
  }
  s.Tick(At(21, 0, 0));
  ASSERT_EQ(host.files.size(), 1u);
  s.Tick(At(21, 9, 56));  // the second opens within its margin while the first goes on
  ASSERT_EQ(host.files.size(), 2u);
  EXPECT_EQ(ItemState(s.Reservations()[0]), ST_RECORDING);
  EXPECT_EQ(ItemState(s.Reservations()[1]), ST_RECORDING);
  // A PAT section listing both programmes (CRC not checked by the rewrite's reader here).
  std::vector<uint8_t> pat_packet(188, 0xFF);
  const uint8_t section[] = {0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x11, 0x7F, 0xE0, 0xC1, 0x00, 0x00,
                             0x04, 0x00, 0xE1, 0xF0, 0x04, 0x08, 0xE1, 0xF8, 0, 0, 0, 0};
  std::memcpy(pat_packet.data(), section, sizeof section);
  for (const uint16_t pid : {0x100, 0x200}) s.ReceivePacket(PacketOf(pid).data(), 188);
  s.ReceivePacket(pat_packet.data(), 188);
  EXPECT_EQ(PidsIn(host.files[0].bytes), (std::vector<uint16_t>{0x100, 0x000}));
  EXPECT_EQ(PidsIn(host.files[1].bytes), (std::vector<uint16_t>{0x200, 0x000}));
  // Each PAT now lists one programme: section_length 13, program 1024 or 1032.
  for (const auto& [file, number] : {std::pair<size_t, uint16_t>{0, 1024}, {1, 1032}}) {
    const std::string& b = host.files[file].bytes;
    ASSERT_GE(b.size(), 376u);
    const auto* pat_out = reinterpret_cast<const uint8_t*>(b.data()) + 188;
    EXPECT_EQ(pat_out[7], 13) << number;
    EXPECT_EQ(pat_out[13] << 8 | pat_out[14], number);
  }
  EXPECT_EQ(pat_packet[7], 0x11);  // the shared packet itself is untouched
  s.Tick(At(21, 30, 2));
  EXPECT_FALSE(host.files[0].open);
  EXPECT_TRUE(host.files[1].open);
  s.Tick(At(21, 40, 2));
  EXPECT_FALSE(host.files[1].open);
  EXPECT_EQ(s.Finished().size(), 2u);
}

TEST(RecordingScheduler, NonNumericServiceTextKeepsServiceZero) {
  FakeHost host;
  RecordingScheduler s(&host);
  const ComponentEntry p[] = {{0x02, 0x100}};
  s.OnComponentList(1024, p, 1);
  ScheduleItem item = ByTime(At(21, 0, 0), 60);
  item.flags |= SI_SERVICE_LIMIT;
  SetText(item.service_id_text, "abc");
  s.StoreItem(item, -1);
  s.Tick(At(21, 0, 0));
  ASSERT_EQ(host.files.size(), 1u);
  for (const uint16_t pid : {0x100, 0x101}) s.ReceivePacket(PacketOf(pid).data(), 188);
  EXPECT_EQ(PidsIn(host.files[0].bytes), (std::vector<uint16_t>{0x101}));
}

TEST(RecordingScheduler, EventReservationResolvesAndFollowsAnExtension) {
  FakeHost host;
  RecordingScheduler s(&host);
  s.StoreItem(ByTime(At(20, 0, 0), 60), -1);
  s.StoreItem(ByEvent(1024, 0x1234), -1);
  s.RetireItem(ST_CANCELLED, 0);
  s.PostClock(At(20, 30, 0));
  s.Tick(At(20, 30, 0));
  EXPECT_EQ(s.Reservations()[0].start_day, 0u);
  EXPECT_EQ(Status(s), "イベント情報取得待ち");

  const std::string title = platform::Utf8ToSjis("ニュース");
  host.events[{1024, 0x1234}] = Event(1, At(21, 0, 0), 1800, title.c_str());
  s.Tick(At(20, 30, 1));
  ScheduleItem resolved = s.Reservations()[0];
  EXPECT_EQ(resolved.start_day, kDay);
  EXPECT_EQ(resolved.duration, 1800u);
  EXPECT_EQ(GetText(resolved.title), title);
  EXPECT_EQ(resolved.programme_version, 1);

  s.Tick(At(20, 59, 56));
  ASSERT_EQ(host.files.size(), 1u);
  EXPECT_EQ(host.files[0].path, "/rec/20080303-2100-ニュース.ts");

  host.events[{1024, 0x1234}] = Event(2, At(21, 0, 0), 2400, title.c_str());
  s.Tick(At(21, 20, 0));
  EXPECT_TRUE(s.IsActiveItem(0));
  s.Tick(At(21, 30, 2));
  EXPECT_TRUE(host.files[0].open);  // extended by 10 minutes
  s.Tick(At(21, 40, 1));
  EXPECT_TRUE(host.files[0].open);
  s.Tick(At(21, 40, 2));
  EXPECT_FALSE(host.files[0].open);
  ASSERT_EQ(s.Finished().size(), 2u);
  EXPECT_EQ(ItemState(s.Finished()[1]), ST_FINISHED);
}

// A programme of undetermined length (a live broadcast) used to give an end 136 years away.
TEST(RecordingScheduler, UndeterminedEventEndsWhenTheNextProgrammeStartsOrAtTheFollowLimit) {
  FakeHost host;
  RecordingScheduler s(&host);
  host.events[{1024, 7}] = Event(1, At(21, 0, 0), kUndefinedDuration, "live");
  s.StoreItem(ByEvent(1024, 7), -1);
  s.Tick(At(20, 0, 0));
  EXPECT_EQ(s.Reservations()[0].duration, kMaxRecordSeconds);
  s.Tick(At(21, 0, 0));
  ASSERT_TRUE(s.IsActiveItem(0));
  // The next programme is known from 21:30 but starts at 21:45.
  host.at = [](uint16_t service, MjdTime t, ProgrammeEvent* out) {
    if (service != 1024 || Instant(t) < Instant(At(21, 30, 0))) return false;
    *out = Instant(t) < Instant(At(21, 45, 0)) ? Event(1, At(21, 0, 0), kUndefinedDuration, "live")
                                               : Event(1, At(21, 45, 0), 600, "next");
    out->event_id = Instant(t) < Instant(At(21, 45, 0)) ? 7 : 8;
    return true;
  };
  s.Tick(At(21, 44, 59));
  s.Tick(At(21, 45, 0));
  EXPECT_TRUE(host.files[0].open);
  s.Tick(At(21, 45, 2));
  EXPECT_FALSE(host.files[0].open);
  ASSERT_EQ(s.Finished().size(), 1u);
  EXPECT_EQ(ItemState(s.Finished()[0]), ST_FINISHED);

  // Without a next programme or a present/following table the recording goes on in 5-minute
  // steps up to the follow limit, 3 hours after its start (not 24 hours, as a date far away).
  host.at = nullptr;
  host.events[{1024, 9}] = Event(1, At(22, 0, 0), kUndefinedDuration, "long");
  s.StoreItem(ByEvent(1024, 9), -1);
  s.Tick(At(22, 0, 0));
  s.Tick(At(22, 0, 1));
  ASSERT_EQ(host.files.size(), 2u);
  for (int minute = 1; minute < 180; ++minute) s.Tick(At(22 + minute / 60, minute % 60, 0));
  EXPECT_TRUE(host.files[1].open);
  s.Tick(At(1, 0, 2, kDay + 1));
  EXPECT_FALSE(host.files[1].open);
}

// Two reservations starting in the same minute, or a second run of one, used to truncate each
// other's file: every recording gets a name of its own.
TEST(RecordingScheduler, TwoReservationsInOneMinuteKeepBothFiles) {
  const auto dir = std::filesystem::temp_directory_path() / ("pelkan_samemin_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  RealFilesHost host;
  RecordingScheduler s(&host);
  s.StoreItem(ByTime(At(21, 0, 0), 10, dir.string().c_str()), -1);
  s.StoreItem(ByTime(At(21, 0, 30), 10, dir.string().c_str()), -1);
  s.Tick(At(21, 0, 0));
  EXPECT_EQ(s.ActiveOutputPath(), (dir / "20080303-2100.ts").string());
  for (int i = 0; i < 10; ++i) s.ReceivePacket(kPacket, 188);
  s.Tick(At(21, 0, 12));
  s.Tick(At(21, 0, 26));
  EXPECT_EQ(s.ActiveOutputPath(), (dir / "20080303-2100-1.ts").string());
  s.ReceivePacket(kPacket, 188);
  s.Tick(At(21, 0, 42));
  EXPECT_EQ(std::filesystem::file_size(dir / "20080303-2100.ts"), 1880u);
  EXPECT_EQ(std::filesystem::file_size(dir / "20080303-2100-1.ts"), 188u);
  ASSERT_EQ(s.Finished().size(), 2u);
  std::filesystem::remove_all(dir);
}

// Every scheduled recording leaves its report: the reservation's title and programme, the capture's
// figures while it ran, and the counts of its file; the finished list keeps the totals. One cut
// short by the end of the capture says so.
TEST(RecordingScheduler, ScheduledRecordingLeavesAReportWithItsTotals) {
  const auto dir = std::filesystem::temp_directory_path() / ("pelkan_report_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  struct Host : FakeHost {
    CaptureSample sample;
    std::unique_ptr<RecordingWriter> CreateWriter() override { return SchedulerHost::CreateWriter(); }
    CaptureSample SampleCapture() override { return sample; }
    std::string ServiceName(uint16_t id) override { return id == 0x400 ? platform::Utf8ToSjis("総合") : ""; }
  } host;
  host.at = [](uint16_t service_id, MjdTime, ProgrammeEvent* out) {
    *out =
        Event(1, At(21, 0, 0), 1800, platform::Utf8ToSjis(service_id == 0x400 ? "ニュース" : "映画").c_str());
    return true;
  };
  RecordingScheduler s(&host);
  const uint16_t components_service = 0x400;
  const ComponentEntry video{0x02, 0x100};
  s.OnComponentList(components_service, &video, 1);
  ScheduleItem item = ByTime(At(21, 0, 0), 10, dir.string().c_str());
  item.flags |= SI_SERVICE_LIMIT;
  SetText(item.service_id_text, "1024");
  SetText(item.title, platform::Utf8ToSjis("夜のニュース"));
  s.StoreItem(item, -1);
  host.sample.sync_losses = 4;
  s.Tick(At(20, 59, 56));
  const std::string path = s.ActiveOutputPath();
  ASSERT_EQ(path, (dir / "20080303-2100.ts").string());
  std::vector<uint8_t> packets = testing::MakePacketRun(0x100, 100);
  packets.erase(packets.begin() + 50 * 188, packets.begin() + 52 * 188);  // two lost
  for (size_t pos = 0; pos < packets.size(); pos += 188) s.ReceivePacket(packets.data() + pos, 188);
  host.sample.sync_losses = 6;
  s.Tick(At(21, 0, 5));
  s.Tick(At(21, 0, 12));

  const std::vector<FinishedRecording> finished = s.FinishedRecordings();
  ASSERT_EQ(finished.size(), 1u);
  ASSERT_TRUE(finished[0].summary);
  EXPECT_EQ(finished[0].summary->report_path, path + ".err");
  EXPECT_EQ(finished[0].summary->packets, 98u);
  EXPECT_EQ(finished[0].summary->drop, 2u);
  EXPECT_EQ(finished[0].summary->sync_losses, 2u);
  std::ifstream in(path + ".err");
  const std::string report((std::istreambuf_iterator<char>(in)), {});
  for (const char* line : {"result              complete\n", "reservation         夜のニュース\n",
                           "programme           ニュース\n", "sync losses         2\n",
                           // Where the programme lies, as the heartbeat passed it: the margin before it
                           // is the file's head.
                           "programme start     2008-03-03 21:00:00 (offset 18424)\n",
                           "programme end       2008-03-03 21:00:10 (offset 18424)\n",
                           "margins             5 s before, 0 s after\n",
                           "total       packets 98  drop 2  error 0  scrambled 0\n"}) {
    EXPECT_NE(report.find(line), std::string::npos) << line << report;
  }

  // Stopped with the capture before its end: the reservation waits again, the report says so.
  s.StoreItem(ByTime(At(21, 10, 0), 600, dir.string().c_str()), -1);
  s.Tick(At(21, 9, 56));
  const std::string second = s.ActiveOutputPath();
  ASSERT_FALSE(second.empty());
  s.ReceivePacket(packets.data(), 188);
  s.StopRecording();
  std::ifstream in2(second + ".err");
  const std::string cut((std::istreambuf_iterator<char>(in2)), {});
  EXPECT_NE(cut.find("result              stopped before the reservation's end: the capture ended\n"),
            std::string::npos)
      << cut;
  EXPECT_EQ(s.FinishedRecordings().size(), 1u);
  s.ClearFinished();
  EXPECT_TRUE(s.FinishedRecordings().empty());
  std::filesystem::remove_all(dir);
}

// A disk that fills (/dev/full fails every write with ENOSPC) and a disk that is nearly full: the
// scheduled recording stops at once, the user is told, and the reservation ends as an error.
TEST(RecordingScheduler, WriteFailureAndLowDiskEndTheRecordingAsAnError) {
  struct Host : FakeHost {
    uint64_t free_bytes = 1ull << 40;
    std::unique_ptr<RecordingWriter> CreateWriter() override {
      struct Full : BlockFileWriter {
        bool Open(const std::string&) override { return BlockFileWriter::Open("/dev/full"); }
      };
      auto w = std::make_unique<Full>();
      w->SetFreeSpaceQuery([this](const std::string&, uint64_t* b) {
        *b = free_bytes;
        return true;
      });
      return w;
    }
  } host;
  RecordingScheduler s(&host);
  ScheduleItem daily = ByTime(At(21, 0, 0), 1800);
  daily.flags |= SI_DAILY;
  s.StoreItem(daily, -1);
  s.Tick(At(21, 0, 0));
  ASSERT_EQ(s.ActiveOutputPath(), "/dev/full");
  for (int i = 0; i < 6000; ++i) s.ReceivePacket(kPacket, 188);
  s.PostClock(At(21, 0, 1));
  s.Tick(At(21, 0, 1));
  EXPECT_FALSE(s.ActiveItem().has_value());
  ASSERT_EQ(s.Finished().size(), 1u);
  EXPECT_EQ(ItemState(s.Finished()[0]), ST_ERROR);
  ASSERT_EQ(host.failures.size(), 1u);
  EXPECT_EQ(host.failures[0].reason, RecordingFailure::Reason::kWriteError);
  EXPECT_EQ(host.failures[0].error, ENOSPC);
  EXPECT_EQ(host.failures[0].path, "/dev/full");
  EXPECT_EQ(platform::SjisToUtf8(RecordingFailureMessage(host.failures[0])),
            "録画ファイルに書き込めないので録画停止しました。");
  EXPECT_EQ(Status(s), "予約録画エラー(書き込み失敗)");
  s.PostClock(At(21, 1, 2));
  EXPECT_EQ(Status(s), "録画開始まであと1438:58");
  // The series goes on with the next day.
  ASSERT_EQ(s.Reservations().size(), 1u);
  EXPECT_EQ(s.Reservations()[0].start_day, kDay + 1);

  host.free_bytes = kLowDiskLimit;
  s.Tick(At(21, 0, 0, kDay + 1));
  ASSERT_TRUE(s.ActiveItem().has_value());
  s.Tick(At(21, 0, 1, kDay + 1));
  EXPECT_FALSE(s.ActiveItem().has_value());
  ASSERT_EQ(host.failures.size(), 2u);
  EXPECT_EQ(host.failures[1].reason, RecordingFailure::Reason::kLowDisk);
  EXPECT_EQ(platform::SjisToUtf8(RecordingFailureMessage(host.failures[1])),
            "録画先ディスク容量が少ないので録画停止しました。");
  EXPECT_EQ(ItemState(s.Finished()[1]), ST_ERROR);

  // Stopped at shut-down: the rest that cannot be written is reported as well.
  host.free_bytes = 1ull << 40;
  s.Tick(At(21, 0, 0, kDay + 2));
  ASSERT_EQ(s.ActiveOutputPath(), "/dev/full");
  s.ReceivePacket(kPacket, 188);
  s.StopRecording();
  ASSERT_EQ(host.failures.size(), 3u);
  EXPECT_EQ(host.failures[2].error, ENOSPC);
}

TEST(RecordingScheduler, EntryThatCanNeverStartDoesNotHoldUpTheOthers) {
  FakeHost host;
  RecordingScheduler s(&host);
  ScheduleItem bad = ByTime(At(21, 0, 0), 60);
  bad.flags = SI_FILE_NAME;  // neither type: sorts first and never gets a time
  s.StoreItem(bad, -1);
  s.StoreItem(ByTime(At(21, 0, 0), 60), -1);
  s.Tick(At(20, 0, 0));
  ASSERT_EQ(s.Finished().size(), 1u);
  EXPECT_EQ(ItemState(s.Finished()[0]), ST_ERROR);
  s.Tick(At(21, 0, 0));
  EXPECT_EQ(host.files.size(), 1u);
}

// A folder that was removed, is not a folder or cannot be written used to end the reservation
// without a word: the user is now told which file and why, and it is kept as an error.
TEST(RecordingScheduler, FileThatCannotBeCreatedEndsInErrorAndSaysWhy) {
  const auto dir = std::filesystem::temp_directory_path() / ("pelkan_noopen_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream((dir / "file").string()) << "not a folder";
  RealFilesHost host;
  RecordingScheduler s(&host);
  const std::string gone = (dir / "removed").string();
  const std::string file = (dir / "file").string();
  s.StoreItem(ByTime(At(21, 0, 0), 60, gone.c_str()), -1);
  s.StoreItem(ByTime(At(22, 0, 0), 60, file.c_str()), -1);
  s.Tick(At(21, 0, 0));
  EXPECT_FALSE(s.ActiveItem().has_value());
  ASSERT_EQ(s.Finished().size(), 1u);
  EXPECT_EQ(ItemState(s.Finished()[0]), ST_ERROR);
  ASSERT_EQ(host.failures.size(), 1u);
  const RecordingFailure& f = host.failures[0];
  EXPECT_EQ(f.reason, RecordingFailure::Reason::kOpenFailed);
  EXPECT_EQ(f.error, ENOENT);
  EXPECT_EQ(f.path, gone + "/20080303-2100.ts");
  EXPECT_EQ(ItemState(f.item), ST_ERROR);
  EXPECT_EQ(platform::SjisToUtf8(RecordingFailureMessage(f)),
            "録画ファイルを作成できないので予約録画を開始できませんでした。");
  EXPECT_EQ(RecordingFailureReason(f), "No such file or directory");
  s.PostClock(At(21, 0, 1));
  EXPECT_EQ(Status(s), "予約録画エラー(ファイル作成失敗)");

  s.Tick(At(22, 0, 0));
  ASSERT_EQ(host.failures.size(), 2u);
  EXPECT_EQ(host.failures[1].error, ENOTDIR);
  EXPECT_EQ(ItemState(s.Finished()[1]), ST_ERROR);
  std::filesystem::remove_all(dir);
}

TEST(RecordingScheduler, OpenFailureEndsInError) {
  FakeHost host;
  host.fail_open = true;
  RecordingScheduler s(&host);
  s.StoreItem(ByTime(At(21, 0, 0), 60), -1);
  s.Tick(At(21, 0, 0));
  EXPECT_TRUE(s.Reservations().empty());
  ASSERT_EQ(s.Finished().size(), 1u);
  EXPECT_EQ(ItemState(s.Finished()[0]), ST_ERROR);
  EXPECT_FALSE(s.ActiveItem().has_value());
  ASSERT_EQ(host.failures.size(), 1u);
  EXPECT_EQ(host.failures[0].reason, RecordingFailure::Reason::kOpenFailed);
}

TEST(RecordingScheduler, TooLongPathIsRefusedNotCut) {
  FakeHost host;
  RecordingScheduler s(&host);
  const std::string dir = "/" + std::string(250, 'd');
  s.StoreItem(ByTime(At(21, 0, 0), 60, dir.c_str()), -1);
  s.Tick(At(21, 0, 0));
  EXPECT_TRUE(host.files.empty());  // never opened under a shortened name
  ASSERT_EQ(s.Finished().size(), 1u);
  EXPECT_EQ(ItemState(s.Finished()[0]), ST_ERROR);
  ASSERT_EQ(host.failures.size(), 1u);
  EXPECT_EQ(host.failures[0].path, dir);
  EXPECT_EQ(RecordingFailureReason(host.failures[0]), "the file's path would be longer than 259 bytes");
}

TEST(RecordingScheduler, TitleWithSlashEndsInError) {
  FakeHost host;
  host.events[{1, 2}] = Event(1, At(21, 0, 0), 60, "../../etc/x");
  RecordingScheduler s(&host);
  s.StoreItem(ByEvent(1, 2), -1);
  s.Tick(At(20, 0, 0));
  s.Tick(At(21, 0, 0));
  EXPECT_TRUE(host.files.empty());
  ASSERT_EQ(s.Finished().size(), 1u);
  EXPECT_EQ(ItemState(s.Finished()[0]), ST_ERROR);
}

// The title's symbols ([新] ED E9, [字] ED D4, ☀ EF 80) take their plain forms in the file's name;
// the folder, typed by the user, keeps its real 0xED character (纊, ED 40 in CP932).
TEST(RecordingScheduler, AutomaticNameFromATitleHoldsThePlainFormsOfItsSymbols) {
  FakeHost host;
  const std::string title = "\xED\xE9" + platform::Utf8ToSjis("ドラマ") + "\xED\xD4\xEF\x80";
  host.events[{1024, 7}] = Event(1, At(21, 0, 0), 1800, title.c_str());
  RecordingScheduler s(&host);
  ScheduleItem item = ByEvent(1024, 7);
  SetText(item.directory, "/rec/\xED\x40");
  s.StoreItem(item, -1);
  s.Tick(At(20, 30, 0));
  EXPECT_EQ(GetText(s.Reservations()[0].title), title);  // kept as broadcast
  s.Tick(At(20, 59, 56));
  ASSERT_EQ(host.files.size(), 1u);
  EXPECT_EQ(host.files[0].path, "/rec/纊/20080303-2100-[新]ドラマ[字]〓.ts");
  EXPECT_EQ(platform::BroadcastToUtf8(ItemFileNameText(s.Reservations()[0])), "20080303-2100-🈟ドラマ🈑☀.ts");
}

TEST(OutputPath, Naming) {
  ScheduleItem item = ByTime(At(21, 5, 0), 60, "/rec/");
  EXPECT_EQ(BuildOutputPath(item), "/rec/20080303-2105.ts");
  SetText(item.directory, "");
  EXPECT_EQ(BuildOutputPath(item), "20080303-2105.ts");
  SetText(item.directory, "/rec");
  item.flags |= SI_FILE_NAME;
  SetText(item.file_name, "show");
  SetText(item.extension, ".m2t");
  EXPECT_EQ(BuildOutputPath(item), "/rec/show.m2t");
  SetText(item.file_name, "show.ts");
  EXPECT_EQ(BuildOutputPath(item), "/rec/show.ts");
  SetText(item.file_name, "show. ");
  EXPECT_EQ(BuildOutputPath(item), "/rec/show. .m2t");
  SetText(item.file_name, "a.b/show");
  SetText(item.extension, "");
  EXPECT_EQ(BuildOutputPath(item), "/rec/a.b/show.ts");
  ScheduleItem ev = ByEvent(1, 2);
  ev.start_day = kDay;
  ev.start_second = At(6, 7, 0).seconds;
  EXPECT_EQ(BuildOutputPath(ev), "/rec/20080303-0607-.ts");
  const std::string dir = "/" + std::string(kPathSize - 1 - 18, 'd');
  const auto fits = BuildOutputPath(ByTime(At(1, 0, 0), 1, dir.c_str()));
  ASSERT_TRUE(fits.has_value());
  EXPECT_EQ(fits->size(), kPathSize - 1);
  const std::string longer = dir + "d";
  EXPECT_FALSE(BuildOutputPath(ByTime(At(1, 0, 0), 1, longer.c_str())).has_value());
}

TEST(RecordingScheduler, StatusTexts) {
  FakeHost host;
  RecordingScheduler s(&host);
  EXPECT_EQ(Status(s), "");
  s.StoreItem(ByTime(At(21, 0, 0), 1800), -1);
  EXPECT_EQ(Status(s), "");  // no clock yet
  s.PostClock(At(20, 59, 0));
  EXPECT_EQ(Status(s), "録画開始まであと60秒");
  s.PostClock(At(20, 58, 59));
  EXPECT_EQ(Status(s), "録画開始まであと1:01");
  s.PostClock(At(21, 0, 1, kDay - 1));
  EXPECT_EQ(Status(s), "録画開始まであと1439:59");
  s.PostClock(At(21, 0, 0, kDay - 1));
  EXPECT_EQ(Status(s), "1日以内に予約はありません");
  host.posted.clear();
  s.PostClock(At(20, 59, 50));
  host.Drain();  // the tick runs through the dispatcher
  EXPECT_EQ(Status(s), "予約録画準備中");
  s.PostClock(At(20, 59, 58));
  host.Drain();
  s.ReceivePacket(kPacket, 188);
  EXPECT_EQ(Status(s), "予約録画中(0MB 残5120 MB)");
}

TEST(RecordingScheduler, OverlapRules) {
  FakeHost host;
  host.answer = false;
  RecordingScheduler s(&host);
  EXPECT_EQ(s.StoreItem(ByTime(At(21, 0, 0), 1800), -1), 1);
  EXPECT_EQ(s.StoreItem(ByEvent(1, 1), -1), 1);              // unresolved: skipped
  EXPECT_EQ(s.StoreItem(ByTime(At(21, 30, 1), 60), -1), 1);  // one second after the end
  EXPECT_EQ(host.questions, 0);
  EXPECT_EQ(s.StoreItem(ByTime(At(21, 10, 0), 60), -1), 0);   // inside
  EXPECT_EQ(s.StoreItem(ByTime(At(20, 0, 0), 7200), -1), 0);  // around
  EXPECT_EQ(host.questions, 2);
  ScheduleItem known = ByEvent(2, 2);
  known.start_day = kDay;
  known.start_second = At(21, 0, 0).seconds;
  known.duration = 60;
  EXPECT_EQ(s.StoreItem(known, -1), 1);  // event reservations are never asked about
  EXPECT_EQ(host.questions, 2);
  ScheduleItem first = s.Reservations()[0];
  first.duration = 1700;
  const int index = first.start_second == At(21, 0, 0).seconds && (first.flags & SI_BY_TIME) ? 0 : 1;
  EXPECT_EQ(s.CheckOverlap(s.Reservations()[index], index), index == 0 ? 0 : 1);
  EXPECT_EQ(s.StoreItem(first, 7), 0);
  EXPECT_EQ(s.StoreItem(first, -2), 0);
  EXPECT_EQ(s.Reservations().size(), 4u);
}

TEST(RecordingScheduler, ReplacingAnEntryDoesNotOverlapItself) {
  FakeHost host;
  host.answer = false;
  RecordingScheduler s(&host);
  s.StoreItem(ByTime(At(21, 0, 0), 1800), -1);
  ScheduleItem changed = s.Reservations()[0];
  changed.duration = 3600;
  EXPECT_EQ(s.StoreItem(changed, 0), 1);
  EXPECT_EQ(host.questions, 0);
  EXPECT_EQ(s.Reservations()[0].duration, 3600u);
}

TEST(RecordingScheduler, OverlapQuestionDoesNotHoldTheLock) {
  FakeHost host;
  RecordingScheduler s(&host);
  s.StoreItem(ByTime(At(21, 0, 0), 1800), -1);
  s.Tick(At(21, 0, 0));
  bool packet_went_through = false;
  host.during_question = [&] {
    // The processing thread delivers a packet while the question is on screen.
    auto done = std::async(std::launch::async, [&] { s.ReceivePacket(kPacket, 188); });
    packet_went_through = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  };
  EXPECT_EQ(s.StoreItem(ByTime(At(21, 10, 0), 60), -1), 1);
  EXPECT_TRUE(packet_went_through);
  EXPECT_EQ(host.files[0].bytes.size(), 188u);
}

TEST(RecordingScheduler, ListChangedDuringQuestionIsCheckedAgain) {
  FakeHost host;
  RecordingScheduler s(&host);
  s.StoreItem(ByTime(At(21, 0, 0), 1800), -1);
  host.during_question = [&] {
    if (host.questions == 1) {
      host.answer = false;                        // the second question is refused
      s.StoreItem(ByTime(At(22, 0, 0), 60), -1);  // the list changes meanwhile
    }
  };
  EXPECT_EQ(s.StoreItem(ByTime(At(21, 10, 0), 60), -1), 0);
  EXPECT_EQ(host.questions, 2);
  EXPECT_EQ(s.Reservations().size(), 2u);
}

TEST(RecordingScheduler, TicksAreHeldBackWhileARepetitionIsAsked) {
  FakeHost host;
  RecordingScheduler s(&host);
  ScheduleItem daily = ByTime(At(21, 0, 0), 600);
  daily.flags |= SI_DAILY;
  s.StoreItem(daily, -1);
  s.StoreItem(ByTime(At(21, 5, 0), 60), -1);            // forced inside the daily one
  s.StoreItem(ByTime(At(21, 5, 0, kDay + 1), 60), -1);  // the next occurrence will overlap it
  s.StoreItem(ByTime(At(21, 11, 0), 60), -1);           // due while the question is open
  EXPECT_EQ(host.questions, 1);
  s.Tick(At(21, 0, 0));
  size_t finished_during_question = 0;
  size_t files_during_question = 0;
  host.during_question = [&] {
    // A nested message loop delivers further ticks while the box is open; the list must not
    // change under the question's feet: the 21:11 reservation waits.
    s.Tick(At(21, 11, 3));
    s.Tick(At(21, 11, 4));
    finished_during_question = s.Finished().size();
    files_during_question = host.files.size();
  };
  s.Tick(At(21, 10, 2));  // ends the daily recording, expires the 21:05 one, asks for the repetition
  EXPECT_EQ(host.questions, 2);
  EXPECT_EQ(finished_during_question, 2u);
  EXPECT_EQ(files_during_question, 1u);  // the daily's only
  EXPECT_EQ(s.Reservations().size(), 3u);
  host.during_question = nullptr;
  s.Tick(At(21, 11, 5));  // now the 21:11 one starts
  EXPECT_EQ(host.files.size(), 2u);
}

TEST(RecordingScheduler, EndOfRecordingDoesNotExpireAnEarlierEntry) {
  FakeHost host;
  RecordingScheduler s(&host);
  s.StoreItem(ByTime(At(21, 0, 0), 600), -1);
  s.Tick(At(21, 0, 0));
  // Added while recording, starting earlier and ending later: it sorts first.
  s.StoreItem(ByTime(At(20, 50, 0), 1800), -1);
  ASSERT_EQ(s.Reservations()[0].start_second, At(20, 50, 0).seconds);
  s.Tick(At(21, 10, 2));  // the running recording ends
  ASSERT_EQ(s.Finished().size(), 1u);
  EXPECT_EQ(ItemState(s.Finished()[0]), ST_FINISHED);
  EXPECT_EQ(s.Finished()[0].start_second, At(21, 0, 0).seconds);
  ASSERT_EQ(s.Reservations().size(), 1u);
  s.Tick(At(21, 10, 3));  // the other one, still within its time, starts late instead of failing
  EXPECT_EQ(ItemState(s.Reservations()[0]), ST_RECORDING);
  EXPECT_EQ(host.files.back().path, "/rec/20080303-2050.ts");
}

TEST(RecordingScheduler, PreparedEntryStartsEvenWhenAnotherSortsAhead) {
  FakeHost host;
  RecordingScheduler s(&host);
  s.StoreItem(ByTime(At(21, 0, 0), 600), -1);
  s.Tick(At(20, 59, 40));
  s.StoreItem(ByTime(At(20, 0, 0), 60), -1);  // already over: sorts first
  s.Tick(At(20, 59, 56));
  ASSERT_EQ(host.files.size(), 1u);
  EXPECT_EQ(host.files[0].path, "/rec/20080303-2100.ts");
  // The expired one is retired at once; the prepared one records.
  ASSERT_EQ(s.Finished().size(), 1u);
  EXPECT_EQ(ItemState(s.Finished()[0]), ST_ERROR);
  EXPECT_TRUE(s.IsActiveItem(0));
  s.Tick(At(21, 10, 2));
  ASSERT_EQ(s.Finished().size(), 2u);
  EXPECT_EQ(ItemState(s.Finished()[1]), ST_FINISHED);
}

TEST(RecordingScheduler, DeleteCommand) {
  FakeHost host;
  RecordingScheduler s(&host);
  s.StoreItem(ByTime(At(21, 0, 0), 1800), -1);
  s.Tick(At(21, 0, 0));
  EXPECT_EQ(s.RetireItem(SI_DELETED, 0), 0);  // the active entry cannot be retired
  EXPECT_EQ(s.DeleteItem(0), 1);
  EXPECT_TRUE(s.IsActiveItem(0));
  s.Tick(At(21, 0, 2));
  EXPECT_TRUE(s.Reservations().empty());
  ASSERT_EQ(s.Finished().size(), 1u);
  EXPECT_EQ(ItemState(s.Finished()[0]), ST_FINISHED);

  s.StoreItem(ByTime(At(22, 0, 0), 1800), -1);
  s.Tick(At(21, 59, 40));
  EXPECT_TRUE(s.IsActiveItem(0));
  EXPECT_EQ(s.DeleteItem(0), 1);  // preparing: cancelled outright
  EXPECT_TRUE(s.Reservations().empty());
  EXPECT_FALSE(s.ActiveItem().has_value());
  EXPECT_EQ(s.DeleteItem(0), 0);
}

TEST(RecordingScheduler, StopRecordingLeavesTheReservationWaiting) {
  FakeHost host;
  RecordingScheduler s(&host);
  s.StoreItem(ByTime(At(21, 0, 0), 1800), -1);
  s.Tick(At(21, 0, 0));
  ASSERT_TRUE(host.files[0].open);
  s.StopRecording();
  EXPECT_FALSE(host.files[0].open);
  EXPECT_FALSE(s.ActiveItem().has_value());
  EXPECT_EQ(ItemState(s.Reservations()[0]), ST_WAITING);
  s.Tick(At(21, 0, 1));  // prepared and opened anew, as after a restart
  EXPECT_EQ(host.files.size(), 2u);
}

TEST(RecordingScheduler, SaveDuringRecordingStoresItAsWaiting) {
  const auto dir = std::filesystem::temp_directory_path() / ("pelkan_sched_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "schedule.ini").string();
  {
    FakeHost host;
    RecordingScheduler s(&host);
    s.StoreItem(ByTime(At(21, 0, 0), 1800), -1);
    s.StoreItem(ByEvent(3, 4), -1);
    s.Tick(At(21, 0, 0));
    ASSERT_TRUE(s.SaveSchedule(path));
  }
  FakeHost host;
  RecordingScheduler s(&host);
  s.LoadSchedule(path);
  ASSERT_EQ(s.Reservations().size(), 2u);
  EXPECT_EQ(ItemState(s.Reservations()[0]), ST_WAITING);
  EXPECT_EQ(s.Reservations()[1].event_id, 4);
  EXPECT_TRUE(s.SaveSchedule());  // the stored path
  std::filesystem::remove_all(dir);
}

// Two holders of one schedule.ini (a running capture and the command-line tool): changes of either
// used to be overwritten by the other's list at its next save.
TEST(RecordingScheduler, TwoHoldersOfOneFileLoseNothing) {
  const auto dir = std::filesystem::temp_directory_path() / ("pelkan_sync_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "schedule.ini").string();
  FakeHost host;
  RecordingScheduler running(&host);
  ScheduleItem daily = ByTime(At(21, 0, 0), 60);
  daily.flags |= SI_DAILY;
  running.StoreItem(daily, -1);
  running.StoreItem(ByTime(At(23, 0, 0), 60), -1);
  ASSERT_TRUE(running.SaveSchedule(path));
  running.Tick(At(21, 0, 0));
  ASSERT_EQ(ItemState(running.Reservations()[0]), ST_RECORDING);
  EXPECT_EQ(running.SyncSchedule(), RecordingScheduler::SyncResult::kDone);  // nothing to do

  // The other process adds one reservation and removes another, holding the lock meanwhile.
  FakeHost other_host;
  {
    RecordingScheduler other(&other_host);
    other.LoadSchedule(path);
    ASSERT_TRUE(other.LockScheduleFile(1000));
    EXPECT_EQ(running.SyncSchedule(), RecordingScheduler::SyncResult::kDone);  // file unchanged yet
    other.StoreItem(ByTime(At(22, 0, 0), 60), -1);
    other.DeleteItem(2);  // 23:00
    ASSERT_TRUE(other.SaveSchedule());
    EXPECT_EQ(running.SyncSchedule(), RecordingScheduler::SyncResult::kBusy);
    other.UnlockScheduleFile();
  }
  ASSERT_EQ(running.SyncSchedule(), RecordingScheduler::SyncResult::kDone);
  auto list = running.Reservations();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(ItemState(list[0]), ST_RECORDING);  // the running recording goes on
  EXPECT_TRUE(host.files[0].open);
  EXPECT_EQ(list[1].start_second, At(22, 0, 0).seconds);

  // The running side's own changes (the daily one finished, its next day added) reach the file.
  running.Tick(At(21, 1, 2));
  ASSERT_EQ(running.SyncSchedule(), RecordingScheduler::SyncResult::kDone);
  const auto file = LoadScheduleFile(path);
  ASSERT_EQ(file.size(), 2u);
  EXPECT_EQ(file[0].start_second, At(22, 0, 0).seconds);
  EXPECT_EQ(file[1].start_day, kDay + 1);

  // A reservation removed by the other side while it is recorded ends at the next tick.
  running.Tick(At(22, 0, 0));
  ASSERT_TRUE(running.IsActiveItem(0));
  {
    RecordingScheduler other(&other_host);
    other.LoadSchedule(path);
    other.DeleteItem(0);
    ASSERT_TRUE(other.SaveSchedule());
  }
  ASSERT_EQ(running.SyncSchedule(), RecordingScheduler::SyncResult::kDone);
  running.Tick(At(22, 0, 10));
  EXPECT_FALSE(running.ActiveItem().has_value());
  EXPECT_FALSE(host.files.back().open);
  EXPECT_EQ(running.Reservations().size(), 1u);
  std::filesystem::remove_all(dir);
}

// A removed recording folder is no full disk: the recording stops as a write failure.
TEST(RecordingScheduler, RemovedFolderStopsTheRecordingAsAWriteFailure) {
  const auto dir = std::filesystem::temp_directory_path() / ("pelkan_rmdir_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  RealFilesHost host;
  RecordingScheduler s(&host);
  s.StoreItem(ByTime(At(21, 0, 0), 1800, dir.string().c_str()), -1);
  s.Tick(At(21, 0, 0));
  ASSERT_TRUE(s.ActiveItem().has_value());
  std::filesystem::remove_all(dir);
  s.Tick(At(21, 0, 1));
  EXPECT_FALSE(s.ActiveItem().has_value());
  ASSERT_EQ(host.failures.size(), 1u);
  EXPECT_EQ(host.failures[0].reason, RecordingFailure::Reason::kWriteError);
  EXPECT_EQ(host.failures[0].error, ENOENT);
  EXPECT_EQ(platform::SjisToUtf8(RecordingFailureMessage(host.failures[0])),
            "録画ファイルに書き込めないので録画停止しました。");
}

std::string ReadAll(const std::string& path) {
  std::string text;
  platform::ReadFileContents(path, &text);
  return text;
}

// A schedule.ini with a byte order mark or CR-only line ends listed as empty and was then replaced
// by an empty list; other files (another program's, binary) were replaced as well; and a file was
// rewritten even when nothing changed, losing the user's comments and line ends.
TEST(RecordingScheduler, FilesAreReadWhateverTheirLineEndsAndWrittenOnlyWhenTheListChanges) {
  const auto dir = std::filesystem::temp_directory_path() / ("pelkan_bom_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "schedule.ini").string();
  std::string text = FormatSchedule({ByTime(At(21, 0, 0), 60), ByTime(At(22, 0, 0), 60)});
  text = std::regex_replace(text, std::regex("\r\n"), "\r");
  text = std::string("\xEF\xBB\xBF; my reservations\r").append(text);
  ASSERT_TRUE(platform::ReplaceFileContents(path, text));
  FakeHost host;
  RecordingScheduler s(&host);
  s.LoadSchedule(path);
  ASSERT_EQ(s.Reservations().size(), 2u);
  EXPECT_FALSE(s.ScheduleFileUnreadable());
  EXPECT_TRUE(s.SaveSchedule());
  s.Tick(At(20, 0, 0));
  EXPECT_EQ(s.SyncSchedule(), RecordingScheduler::SyncResult::kDone);
  EXPECT_EQ(ReadAll(path), text);  // the same list: not written
  // Another writer rewrote the file with the same list in its own form: still not written.
  const std::string plain = FormatSchedule({ByTime(At(22, 0, 0), 60), ByTime(At(21, 0, 0), 60)});
  ASSERT_TRUE(platform::ReplaceFileContents(path, plain));
  EXPECT_EQ(s.SyncSchedule(), RecordingScheduler::SyncResult::kDone);
  EXPECT_EQ(ReadAll(path), plain);
  s.DeleteItem(1);
  EXPECT_EQ(s.SyncSchedule(), RecordingScheduler::SyncResult::kDone);
  EXPECT_EQ(LoadScheduleFile(path).size(), 1u);
  EXPECT_TRUE(host.kept_aside.empty());
  std::filesystem::remove_all(dir);
}

TEST(RecordingScheduler, FileThatIsNoReservationFileIsKeptAsideNeverOverwritten) {
  const auto dir = std::filesystem::temp_directory_path() / ("pelkan_bad_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "schedule.ini").string();
  const std::string garbage(
      "\x7F"
      "ELF\x02\x01\x01\0\0\0[Schedule_1]\nFlag=1\n\xFF\xFE",
      29);
  ASSERT_TRUE(platform::ReplaceFileContents(path, garbage));
  ASSERT_TRUE(platform::ReplaceFileContents(path + ".bad", "an earlier one"));
  FakeHost host;
  RecordingScheduler s(&host);
  s.LoadSchedule(path);
  EXPECT_TRUE(s.Reservations().empty());
  EXPECT_TRUE(s.ScheduleFileUnreadable());
  EXPECT_EQ(ReadAll(path), garbage);  // loading changes nothing
  s.StoreItem(ByTime(At(21, 0, 0), 60), -1);
  ASSERT_TRUE(s.SaveSchedule());
  EXPECT_EQ(ReadAll(path + ".bad-1"), garbage);
  EXPECT_EQ(ReadAll(path + ".bad"), "an earlier one");
  ASSERT_EQ(host.kept_aside.size(), 1u);
  EXPECT_EQ(host.kept_aside[0], std::make_pair(path, path + ".bad-1"));
  EXPECT_EQ(LoadScheduleFile(path).size(), 1u);
  EXPECT_FALSE(s.ScheduleFileUnreadable());

  // Replaced by something else while held: kept aside too, and the list is written anew.
  ASSERT_TRUE(platform::ReplaceFileContents(path, "just some notes\n"));
  EXPECT_EQ(s.SyncSchedule(), RecordingScheduler::SyncResult::kDone);
  EXPECT_EQ(ReadAll(path + ".bad-2"), "just some notes\n");
  EXPECT_EQ(LoadScheduleFile(path).size(), 1u);
  ASSERT_EQ(host.kept_aside.size(), 2u);

  // A file that exists but cannot be read (not even by root: a folder) is never replaced.
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  s.StoreItem(ByTime(At(23, 0, 0), 60), -1);
  EXPECT_EQ(s.SyncSchedule(), RecordingScheduler::SyncResult::kFailed);
  EXPECT_TRUE(std::filesystem::is_directory(path));
  std::filesystem::remove_all(dir);
}

TEST(RecordingScheduler, RealFileWriterRecordsPackets) {
  const auto dir = std::filesystem::temp_directory_path() / ("pelkan_schedw_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  RealFilesHost host;
  {
    RecordingScheduler s(&host);
    s.StoreItem(ByTime(At(21, 0, 0), 1800, dir.string().c_str()), -1);
    s.Tick(At(21, 0, 0));
    EXPECT_EQ(s.ActiveOutputPath(), (dir / "20080303-2100.ts").string());
    for (int i = 0; i < 10; ++i) s.ReceivePacket(kPacket, 188);
  }  // teardown closes the file
  EXPECT_EQ(std::filesystem::file_size(dir / "20080303-2100.ts"), 1880u);
  std::filesystem::remove_all(dir);
}

TEST(RecordingScheduler, KeepsAwakeFromTwoMinutesAheadUntilTheRecordingEnds) {
  struct Host : FakeHost {
    void KeepAwake(const std::string& why) override { awake.push_back(why); }
    std::vector<std::string> awake;
  } host;
  RecordingScheduler s(&host);
  s.Tick(At(20, 0, 0));  // nothing reserved
  ASSERT_EQ(host.awake, std::vector<std::string>{""});

  s.StoreItem(ByEvent(0x400, 0x1234), -1);
  s.StoreItem(ByTime(At(21, 0, 0), 600), -1);
  s.Tick(At(20, 57, 59));
  EXPECT_EQ(host.awake.back(), "");
  s.Tick(At(20, 58, 0));
  EXPECT_EQ(host.awake.back(), "/rec/20080303-2100.ts");
  s.Tick(At(21, 0, 0));
  ASSERT_EQ(ItemState(s.Reservations()[0]), ST_RECORDING);
  EXPECT_EQ(host.awake.back(), "/rec/20080303-2100.ts");
  s.Tick(At(21, 10, 1));
  EXPECT_EQ(host.awake.back(), "/rec/20080303-2100.ts");
  s.Tick(At(21, 10, 2));  // ended
  ASSERT_EQ(s.Finished().size(), 1u);
  EXPECT_EQ(host.awake.back(), "");

  // An event reservation is named by its programme once its time is known.
  host.events[{0x400, 0x1234}] = Event(1, At(21, 30, 0), 1800, platform::Utf8ToSjis("ニュース").c_str());
  s.Tick(At(21, 27, 59));
  EXPECT_EQ(host.awake.back(), "");
  s.Tick(At(21, 28, 0));
  EXPECT_EQ(host.awake.back(), "ニュース");
}

// An event reservation follows its programme through the present/following table: a late, early,
// extended, undetermined or vanished programme, each over a broadcast timeline ticked second by
// second. Programme 7 of 1024 is scheduled 21:00-21:30; margins 5 s before, 60 s after.
TEST(RecordingScheduler, EventReservationFollowsThePresentFollowingTable) {
  struct Air {
    int from;  // minutes after 20:00 from which this holds
    uint16_t present, following;
    int present_start;  // minutes after 20:00
  };
  struct Case {
    const char* what;
    uint32_t duration;       // of programme 7 in the tables
    std::vector<Air> air;    // empty: no present/following table at all
    int open_min, open_sec;  // the file opens (minutes after 20:00); -1: never
    int close_min, close_sec;
    uint32_t state;  // in the finished list (or the list, for ST_GONE before its end)
    const char* follow_note;
  };
  const std::vector<Case> cases = {
      {"7 minutes late and 12 minutes over", 1800,
       {{0, 6, 7, 0}, {67, 7, 8, 67}, {102, 8, 9, 102}}, 59, 56, 103, 2, ST_FINISHED, "still on air past its end"},
      {"starts 4 minutes early", 1800, {{0, 6, 7, 0}, {56, 7, 8, 56}, {90, 8, 9, 90}}, 56, 1, 91, 2, ST_FINISHED,
       "before its scheduled start: recorded from now"},
      {"ends as told", 1800, {{0, 6, 7, 0}, {60, 7, 8, 60}, {90, 8, 9, 90}}, 59, 56, 91, 2, ST_FINISHED, "off the air"},
      {"undetermined: ends with the next programme in the table", kUndefinedDuration,
       {{0, 6, 7, 0}, {60, 7, 8, 60}, {137, 8, 9, 137}}, 59, 56, 138, 2, ST_FINISHED, "off the air"},
      {"never on air: given up 3 hours after its start", 1800, {{0, 6, 7, 0}}, 59, 56, 240, 0, ST_ERROR,
       "not on air 3 hours after its scheduled start"},
      {"gone: another programme follows in its slot", 1800, {{0, 6, 8, 0}}, -1, 0, 0, 0, ST_GONE, nullptr},
      {"no table: the told end holds", 1800, {}, 59, 56, 91, 2, ST_FINISHED, nullptr},
  };
  const auto dir = std::filesystem::temp_directory_path() / ("pelkan_follow_" + std::to_string(::getpid()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    RealFilesHost host;
    int64_t now = 0;
    host.events[{1024, 7}] = Event(1, At(21, 0, 0), c.duration, "seven");
    host.present_following = [&](uint16_t service) {
      EventStore::PresentFollowing pf;
      if (service != 1024 || c.air.empty()) return pf;
      const Air* air = &c.air[0];
      for (const Air& a : c.air) {
        if (now >= Instant(At(20, 0, 0)) + a.from * 60) air = &a;
      }
      pf.known = true;
      ProgrammeEvent present = Event(2, At(20, 0, 0), 1800, "on air");
      present.event_id = air->present;
      const int64_t start = Instant(At(20, 0, 0)) + air->present_start * 60;
      present.start_day = static_cast<uint32_t>(start / 86400);
      present.start_second = static_cast<uint32_t>(start % 86400);
      pf.present = present;
      ProgrammeEvent following = host.events[{1024, 7}];
      following.event_id = air->following;
      pf.following = following;
      return pf;
    };
    RecordingScheduler s(&host);
    ScheduleItem item = ByEvent(1024, 7);
    SetText(item.directory, dir.string());
    item.margin_after = 60;
    s.StoreItem(item, -1);
    int64_t opened = -1, closed = -1;
    for (now = Instant(At(20, 50, 0)); now <= Instant(At(0, 30, 0, kDay + 1)); ++now) {
      s.Tick(MjdTime{static_cast<uint32_t>(now / 86400), static_cast<uint32_t>(now % 86400)});
      const bool open = !s.ActiveOutputPath().empty();
      if (open && opened < 0) opened = now;
      if (!open && opened >= 0 && closed < 0) closed = now;
      if (closed >= 0 || (!s.Finished().empty())) break;
    }
    const int64_t base = Instant(At(20, 0, 0));
    if (c.open_min < 0) {
      EXPECT_EQ(opened, -1);
      ASSERT_FALSE(s.Finished().empty());
      EXPECT_EQ(ItemState(s.Finished()[0]), ST_GONE);
      EXPECT_EQ(platform::SjisToUtf8(StateText(ST_GONE)), "[ 番組なし ]");
      continue;
    }
    EXPECT_EQ(opened - base, c.open_min * 60 + c.open_sec);
    EXPECT_EQ(closed - base, c.close_min * 60 + c.close_sec);
    ASSERT_EQ(s.Finished().size(), 1u);
    EXPECT_EQ(ItemState(s.Finished()[0]), c.state);
    const std::vector<FinishedRecording> finished = s.FinishedRecordings();
    ASSERT_TRUE(finished[0].summary);
    std::ifstream in(finished[0].summary->report_path);
    const std::string report((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(report.find("margins             5 s before, 60 s after\n"), std::string::npos) << report;
    ASSERT_EQ(host.ended.size(), 1u);
    EXPECT_EQ(host.ended[0].why.empty(), c.state == ST_FINISHED) << host.ended[0].why;
    if (c.follow_note != nullptr) {
      EXPECT_NE(report.find(c.follow_note), std::string::npos) << report;
    }
  }
  std::filesystem::remove_all(dir);
}

// A higher priority on another channel takes the tuner at its start: the running lower one is cut
// there (its report says for whom), and the plan said so beforehand.
TEST(RecordingScheduler, HigherPriorityTakesTheTunerAndCutsTheRunningOne) {
  const auto dir = std::filesystem::temp_directory_path() / ("pelkan_cut_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  RealFilesHost host;
  host.caps = 1;
  RecordingScheduler s(&host);
  ScheduleItem low = ByTime(At(21, 0, 0), 3600, dir.string().c_str());
  low.flags |= SI_CHANNEL_VALUE;
  low.channel_value = 13;
  ScheduleItem high = ByTime(At(21, 30, 0), 1800, dir.string().c_str());
  high.flags |= SI_CHANNEL_VALUE;
  high.channel_value = 27;
  high.priority = 5;
  high.margin_before = 60;
  SetText(high.title, platform::Utf8ToSjis("選挙特番"));
  s.StoreItem(low, -1);
  s.StoreItem(high, -1);
  const std::vector<PlanLine> plan = s.Plan();
  ASSERT_EQ(plan.size(), 2u);
  EXPECT_EQ(platform::SjisToUtf8(PlanText(plan[0], s.Reservations())), "一部 (終了 31分早め)");
  EXPECT_EQ(plan[1].verdict, PlanVerdict::kWhole);
  s.Tick(At(21, 0, 0));
  s.Tick(At(21, 28, 59));
  EXPECT_EQ(host.channels, std::vector<uint8_t>{13});  // prepared, but the tuner is still the running one's
  s.Tick(At(21, 29, 0));  // the high one's margin: it takes the tuner now
  ASSERT_EQ(s.Finished().size(), 1u);
  EXPECT_EQ(ItemState(s.Finished()[0]), ST_FINISHED);
  EXPECT_EQ(host.channels, (std::vector<uint8_t>{13, 27}));
  s.Tick(At(21, 29, 1));
  EXPECT_EQ(ItemState(s.Reservations()[0]), ST_RECORDING);
  std::ifstream in(s.FinishedRecordings()[0].summary->report_path);
  const std::string report((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(report.find("result              partial: cut short for 選挙特番\n"), std::string::npos) << report;
  ASSERT_EQ(host.ended.size(), 1u);
  EXPECT_EQ(host.ended[0].why, "cut short for 選挙特番");
  EXPECT_TRUE(host.ended[0].summary);
  EXPECT_NE(report.find("programme end       2008-03-03 22:00:00 (not reached)\n"), std::string::npos) << report;
  s.StopRecording();
  std::filesystem::remove_all(dir);
}

// The report's programme is the one reserved: an event reservation's own event when the tables know
// it, else the programme on air at the reservation's start, never the one before it that is still
// on air while the start margin is recorded.
TEST(RecordingScheduler, ReportNamesTheReservedProgrammeNotTheOneBefore) {
  struct Case {
    const char* name;
    ScheduleItem item;
    bool event_known;
    const char* programme;
  };
  ScheduleItem by_time = ByTime(At(21, 0, 0), 60);
  by_time.flags |= SI_SERVICE_LIMIT;
  SetText(by_time.service_id_text, "1024");
  ScheduleItem by_event = ByEvent(0x400, 7);
  by_event.start_day = kDay;
  by_event.start_second = 21 * 3600;
  by_event.duration = 60;
  by_event.margin_before = 60;
  const Case cases[] = {
      {"event known", by_event, true, "予約した番組"},
      {"event not known: on air at the start", by_event, false, "後の番組"},
      {"date and time of one service: on air at the start", by_time, false, "後の番組"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto dir = std::filesystem::temp_directory_path() / ("pelkan_prog_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    RealFilesHost host;
    host.at = [](uint16_t, MjdTime t, ProgrammeEvent* out) {
      const bool before = t.seconds < 21 * 3600;
      *out = before ? Event(1, At(20, 0, 0), 3600, platform::Utf8ToSjis("前の番組").c_str())
                    : Event(1, At(21, 0, 0), 3600, platform::Utf8ToSjis("後の番組").c_str());
      return true;
    };
    if (c.event_known) {
      host.events[{0x400, 7}] = Event(1, At(21, 0, 0), 60, platform::Utf8ToSjis("予約した番組").c_str());
    }
    RecordingScheduler s(&host);
    ScheduleItem item = c.item;
    SetText(item.directory, dir.string());
    s.StoreItem(item, -1);
    s.Tick(At(20, 58, 59));
    s.Tick(At(20, 59, 0));
    s.Tick(At(20, 59, 56));
    const std::string path = s.ActiveOutputPath();
    ASSERT_FALSE(path.empty());
    s.ReceivePacket(kPacket, 188);
    s.StopRecording();
    std::ifstream in(path + ".err");
    const std::string report((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(report.find("programme           " + std::string(c.programme) + "\n"), std::string::npos) << report;
    std::filesystem::remove_all(dir);
  }
}

}  // namespace
}  // namespace pelkan
