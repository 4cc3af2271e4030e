#include "hooks/recording_outcome.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "output/file_recorder.h"
#include "platform/text_codec.h"
#include "tests/support/temp_dir.h"
#include "tests/support/ts_builder.h"

namespace pelkan::hooks {
namespace {

std::string Value(const std::vector<std::string>& env, const std::string& name) {
  for (const std::string& line : env) {
    if (line.starts_with(name + "=")) return line.substr(name.size() + 1);
  }
  return "<absent>";
}

TEST(RecordingOutcome, ResultWordOfTheReportLine) {
  const struct {
    const char* line;
    const char* result;
    const char* reason;
  } cases[] = {
      {"complete", "complete", ""},
      {"partial: cut short for ニュース", "partial", "cut short for ニュース"},
      {"recovered: the tuner came back after 12 s", "recovered", "the tuner came back after 12 s"},
      {"stopped: 200 MiB or less free on the disk", "failed", "stopped: 200 MiB or less free on the disk"},
      {"tuner lost", "failed", "tuner lost"},
      {"tuner lost: the tuner did not come back", "failed", "tuner lost: the tuner did not come back"},
      {"recovered (gap 0:00:07)", "recovered", "gap 0:00:07"},
  };
  for (const auto& c : cases) {
    const auto [result, reason] = ResultOfReportLine(c.line);
    EXPECT_EQ(result, c.result) << c.line;
    EXPECT_EQ(reason, c.reason) << c.line;
  }
}

// A reservation recorded and cut by the plan: the report a real recording leaves gives the file, the
// result, the times (broadcast time, +09:00), margins, bytes and the PID table's totals; the
// reservation gives the title (with and without symbols), service and event.
TEST(RecordingOutcome, ReservationWithReportGivesEveryVariable) {
  test::TempDir temp;
  const std::string path = temp.path() + "/rec.ts";
  test::TsBuilder b;
  b.Section(0x0000, test::PatSection(1, 0, {{0x0400, 0x1F0}}));
  b.Section(0x1F0, test::PmtSection(0x0400, 0, 0x111, {{0x02, 0x111, {}}}));
  for (int i = 0; i < 100; ++i) {
    if (i != 50) b.PacketCc(0x111, static_cast<uint8_t>(i & 0x0F), {});
  }
  FileRecorder rec(0x100000);
  ASSERT_EQ(rec.OpenFile(path), 1);
  for (size_t pos = 0; pos < b.bytes().size(); pos += 188) ASSERT_EQ(rec.WritePacket(b.bytes().data() + pos, 188), 1);
  CaptureSample start;
  start.broadcast_time = {61382, 20 * 3600 + 57 * 60};
  RecordingReport report(path, start, {61382, 20 * 3600 + 57 * 60});
  const std::string title = "🈑ニュース";
  report.SetReservation(title, "other");
  report.NoteServiceName(0x0400, "ペルカン総合");
  report.SetProgrammeSpan({{61382, 21 * 3600}, {61382, 22 * 3600}, 180, 30, 0, std::nullopt});
  report.SetEndReason("映画");
  ASSERT_TRUE(rec.CloseFile());
  CaptureSample end;
  end.broadcast_time = {61382, 21 * 3600 + 30 * 60};
  RecordingSummary summary = report.Finish(end, rec, RecordingEnd::kCutByPlan, 0, {61382, 21 * 3600 + 30 * 60});
  ASSERT_TRUE(report.Write());

  FinishedRecording ended;
  ended.item.flags = SI_BY_EVENT;
  ended.item.start_day = 61382;
  ended.item.start_second = 21 * 3600;
  ended.item.duration = 3600;
  ended.item.network_id = 4;
  ended.item.stream_id = 0x4010;
  ended.item.service_id = 0x0400;
  ended.item.event_id = 77;
  ended.item.margin_before = 180;
  ended.item.margin_after = 30;
  ended.item.rule_id = 5;
  SetText(ended.item.title, "\xED\xD4" + platform::Utf8ToSjis("ニュース"));
  ended.summary = summary;
  ended.why = "cut short for 映画";
  const std::vector<std::string> env = OutcomeEnvironment(OutcomeOfReservation(ended));
  const std::pair<const char*, std::string> expected[] = {
      {"PELKAN_FILE", path},
      {"PELKAN_REPORT", path + ".err"},
      {"PELKAN_RESULT", "partial"},
      {"PELKAN_REASON", "cut short for 映画"},
      {"PELKAN_KIND", "rule"},
      {"PELKAN_TITLE", title},
      {"PELKAN_TITLE_PLAIN", "[字]ニュース"},
      {"PELKAN_SERVICE_ID", "1024"},
      {"PELKAN_SERVICE_NAME", "ペルカン総合"},
      {"PELKAN_EVENT_ID", "77"},
      {"PELKAN_NETWORK_ID", "4"},
      {"PELKAN_TS_ID", "16400"},
      {"PELKAN_PLANNED_START", "2026-12-08T21:00:00+09:00"},
      {"PELKAN_PLANNED_END", "2026-12-08T22:00:00+09:00"},
      {"PELKAN_START", "2026-12-08T20:57:00+09:00"},
      {"PELKAN_END", "2026-12-08T21:30:00+09:00"},
      {"PELKAN_MARGIN_BEFORE", "180"},
      {"PELKAN_MARGIN_AFTER", "30"},
      {"PELKAN_BYTES", std::to_string(101 * 188)},
      {"PELKAN_PACKETS", "101"},
      {"PELKAN_DROP", "1"},
      {"PELKAN_ERROR", "0"},
      {"PELKAN_SCRAMBLED", "0"},
      {"PELKAN_GAPS", "0"},
      {"PELKAN_RULE_ID", "5"},
  };
  ASSERT_EQ(env.size(), std::size(expected));
  for (const auto& [name, value] : expected) EXPECT_EQ(Value(env, name), value) << name;

  // `pelkan-cli hook test REPORT` reads the same values from the report alone.
  RecordingOutcome read;
  ASSERT_TRUE(ReadReportFile(summary.report_path, &read));
  EXPECT_EQ(read.result, "partial");
  EXPECT_EQ(read.title, title);
  EXPECT_EQ(read.actual_end, "2026-12-08T21:30:00+09:00");
  EXPECT_EQ(read.drop, 1u);
  EXPECT_EQ(read.service_id, 0x0400);
  // The values file the last recording leaves reads back whole.
  std::string file;
  for (const std::string& line : env) file += line + "\n";
  EXPECT_EQ(ParseEnvironmentLines("# values\n" + file), env);
}

// A reservation that never recorded: missed (failed when it could not start), with the scheduler's reason, no file, its planned
// times; a manual recording without a report keeps its summary's totals.
TEST(RecordingOutcome, MissedReservationAndManualRecordingWithoutReport) {
  FinishedRecording missed;
  missed.item.flags = SI_BY_TIME;
  missed.item.start_day = 61382;
  missed.item.start_second = 86400 - 60;
  missed.item.duration = 120;
  missed.item.service_id = 0x0401;
  SetText(missed.item.title, "Late show");
  missed.why = "not recorded in its time";
  const std::vector<std::string> env = OutcomeEnvironment(OutcomeOfReservation(missed, "BS"));
  EXPECT_EQ(Value(env, "PELKAN_RESULT"), "missed");
  EXPECT_EQ(Value(env, "PELKAN_REASON"), "not recorded in its time");
  EXPECT_EQ(Value(env, "PELKAN_KIND"), "reservation");
  EXPECT_EQ(Value(env, "PELKAN_FILE"), "");
  EXPECT_EQ(Value(env, "PELKAN_TITLE"), "Late show");
  EXPECT_EQ(Value(env, "PELKAN_SERVICE_NAME"), "BS");
  EXPECT_EQ(Value(env, "PELKAN_EVENT_ID"), "");
  EXPECT_EQ(Value(env, "PELKAN_PLANNED_START"), "2026-12-08T23:59:00+09:00");
  EXPECT_EQ(Value(env, "PELKAN_PLANNED_END"), "2026-12-09T00:01:00+09:00");
  // One whose file could not be created failed rather than missed.
  missed.could_not_start = true;
  EXPECT_EQ(OutcomeOfReservation(missed).result, "failed");

  RecordingSummary summary;
  summary.end = RecordingEnd::kLowDisk;
  summary.packets = 9;
  summary.drop = 2;
  const RecordingOutcome manual = OutcomeOfManualRecording("/dev/null", summary);
  EXPECT_EQ(manual.kind, "manual");
  EXPECT_EQ(manual.result, "failed");
  EXPECT_EQ(manual.file, "/dev/null");
  EXPECT_EQ(manual.packets, 9u);
  EXPECT_EQ(manual.drop, 2u);
}

}  // namespace
}  // namespace pelkan::hooks
