// The service model fed by the real processor: tables in, rows out; the filter switch drives
// output 0 of the same processor.
#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <iterator>
#include <set>

#include "app/loop_dispatcher.h"
#include "base/capture_stats.h"
#include "info/programme_text.h"
#include "info/service_filter_window.h"
#include "info/service_row_table.h"
#include "platform/text_codec.h"
#include "tests/support/ts_builder.h"
#include "ts/ts_processor.h"

namespace pelkan {
namespace {

using platform::SjisToUtf8;
using test::AribAlnum;
using test::Bytes;
using test::FullWidthUtf8;

constexpr uint16_t kDay = 60000;

// The processor feeding the model through its event handler, the way the capture application
// dispatches events 2, 16, 17 and 48; output-0 packets are kept by PID.
struct Pipeline {
  Pipeline() {
    proc.SetDecodePsi(1);
    proc.SetProcessEpg(1);
    proc.SetEventHandler(&Pipeline::Handler, this);
    model.SetFilterCallback([this](std::span<const uint16_t> services, std::span<const uint16_t> pids) {
      if (services.empty() && pids.empty()) {
        proc.ClearOutputFilter(0, 0);
      } else {
        proc.SetOutputFilter(0, 1, services.data(), static_cast<uint32_t>(services.size()), 1, pids.data(),
                             static_cast<uint32_t>(pids.size()));
      }
    });
  }
  static void Handler(uint32_t type, int32_t param, const uint8_t* data, uint32_t count, void* user) {
    auto* self = static_cast<Pipeline*>(user);
    if (type == EVENT_PACKET) {
      if (param == 0) self->output0.push_back(Bytes(data, data + count));
      return;
    }
    self->model.HandleTsEvent(type, param, data, count);
  }
  void Feed(const Bytes& bytes) {
    proc.Feed(bytes.data(), static_cast<int>(bytes.size()), stats);
    dispatcher.RunPending();
  }
  void Refresh(uint32_t seconds) {
    model.RefreshProgrammes(MjdTime{kDay, seconds},
                            [this](uint16_t sid, const MjdTime& t, ProgrammeEvent* out, bool purge) {
                              const auto found = proc.FindEventAt(sid, t, purge ? 1 : 0);
                              if (found) *out = *found;
                              return found.has_value();
                            });
    dispatcher.RunPending();
  }
  std::set<uint16_t> Output0Pids() const {
    std::set<uint16_t> pids;
    for (const Bytes& p : output0) pids.insert(static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]));
    return pids;
  }
  std::string Cell(size_t row, int column) const { return SjisToUtf8(table.Rows().at(row).cells.at(column)); }

  TsProcessor proc;
  CaptureStats stats;
  LoopDispatcher dispatcher;
  ServiceRowTable table;
  ServiceFilterWindow model{dispatcher, &table};
  std::vector<Bytes> output0;
};

Bytes Tables(uint8_t eit_version, uint16_t present_event, std::array<uint8_t, 3> present_start) {
  test::TsBuilder b;
  b.Section(0x0000, test::PatSection(0x7FE0, 0, {{0, 0x10}, {0x400, 0x1F0}, {0x401, 0x1F1}}));
  b.Section(0x1F0, test::PmtSection(0x400, 0, 0x111, {{0x02, 0x111, {}}, {0x0F, 0x112, {}}}));
  b.Section(0x1F1, test::PmtSection(0x401, 0, 0x121, {{0x02, 0x121, {}}, {0x0F, 0x112, {}}}));
  b.Section(0x0011,
            test::SdtSection(0x42, 0x7FE0, 0x7FE0, 0,
                             {{0x400, test::ServiceDescriptor(0x01, AribAlnum("P"), AribAlnum("ONE"))},
                              {0x401, test::ServiceDescriptor(0x01, AribAlnum("P"), AribAlnum("TWO"))}}));
  const Bytes components = test::Concat({test::Descriptor(0x50, {0xF1, 0xB3, 0x00, 'j', 'p', 'n'}),
                                         test::Descriptor(0xC4, {0xF2, 0x03, 0x10})});
  test::EitEvent present{present_event,
                         kDay,
                         present_start,
                         {0x00, 0x54, 0x00},
                         test::Concat({test::ShortEventDescriptor(
                                           AribAlnum("NEWS" + std::to_string(present_event)), AribAlnum("D")),
                                       components})};
  b.Section(0x0012, test::EitSection(0x4E, 0x400, eit_version, 0, {present}));
  return b.bytes();
}

TEST(ServiceInfoPipeline, RowsFillFromTablesAndProgrammeChanges) {
  Pipeline p;
  p.Feed(Tables(1, 7, {0x21, 0x00, 0x00}));
  ASSERT_EQ(p.table.Rows().size(), 2u);
  EXPECT_EQ(p.Cell(0, 0), "1024");
  EXPECT_EQ(p.Cell(0, 1), FullWidthUtf8("ONE"));
  EXPECT_EQ(p.Cell(1, 1), FullWidthUtf8("TWO"));
  EXPECT_EQ(p.Cell(0, 3), "0x01F0");
  EXPECT_EQ(p.Cell(1, 4), "0x0121(m2v) 0x0112(aac) ");
  EXPECT_EQ(p.Cell(0, 2), "");

  p.Refresh(21 * 3600 + 600);
  EXPECT_EQ(p.Cell(0, 2), "21:00 - 21:54 " + FullWidthUtf8("NEWS7"));
  EXPECT_EQ(p.Cell(1, 2), "");
  EXPECT_EQ(SjisToUtf8(p.model.RowToolTip(0)),
            FullWidthUtf8("ONE") +
                "(1024)\n\n現在の番組>> 2023/02/25(土) 21:00 - 21:54 映像(D3 1080i,16:9) 音声(ステレオ)\n" +
                FullWidthUtf8("NEWS7") + "\n" + FullWidthUtf8("D"));

  // A new present/following version announces the next programme as present.
  p.Feed(Tables(2, 8, {0x21, 0x54, 0x00}));
  p.Refresh(21 * 3600 + 54 * 60 + 10);
  EXPECT_EQ(p.Cell(0, 2), "21:54 - 22:48 " + FullWidthUtf8("NEWS8"));
  EXPECT_EQ(FormatServiceRowUtf8(p.table.Rows()[0]), "[x] 1024 | " + FullWidthUtf8("ONE") +
                                                         " | 21:54 - 22:48 " + FullWidthUtf8("NEWS8") +
                                                         " | 0x01F0 | 0x0111(m2v) 0x0112(aac)");
}

TEST(ServiceInfoPipeline, FilterSwitchDrivesOutputZero) {
  Pipeline p;
  p.Feed(Tables(1, 7, {0x21, 0x00, 0x00}));
  ASSERT_EQ(p.table.Rows().size(), 2u);
  const uint16_t keep[] = {0x400};
  ASSERT_TRUE(p.model.KeepOnlyServices(keep));

  p.output0.clear();
  test::TsBuilder b;
  b.Section(0x0000, test::PatSection(0x7FE0, 0, {{0, 0x10}, {0x400, 0x1F0}, {0x401, 0x1F1}}));
  for (uint16_t pid : {0x111, 0x112, 0x121}) b.Packet(pid, Bytes(184, 0xAA));
  p.Feed(b.bytes());
  // The audio PID is shared with the kept service and stays; the dropped video PID goes.
  EXPECT_EQ(p.Output0Pids(), (std::set<uint16_t>{0x0000, 0x111, 0x112}));
  // The PAT on output 0 lists the kept service and not the dropped one.
  const Bytes& pat = p.output0.front();
  ASSERT_EQ(pat[1] & 0x1F, 0);
  const size_t section_length = (pat[6] & 0x0F) << 8 | pat[7];
  std::set<uint16_t> programs;
  for (size_t i = 13; i + 4 <= 8 + section_length - 4; i += 4) {
    programs.insert(static_cast<uint16_t>(pat[i] << 8 | pat[i + 1]));
  }
  EXPECT_EQ(programs.count(0x400), 1u);
  EXPECT_EQ(programs.count(0x401), 0u);

  // A change of transport stream switches the filter off: everything passes again.
  test::TsBuilder other;
  other.Section(0x0000, test::PatSection(0x7FE1, 0, {{0x500, 0x1F5}}));
  other.Packet(0x121, Bytes(184, 0xBB));
  p.output0.clear();
  p.Feed(other.bytes());
  EXPECT_FALSE(p.model.FilterActive());
  ASSERT_EQ(p.table.Rows().size(), 1u);
  EXPECT_EQ(p.table.Rows()[0].service_id, 0x500);
  // The PAT arrives before the reset is applied on the UI side; the packet after it passes.
  p.output0.clear();
  test::TsBuilder more;
  more.Packet(0x121, Bytes(184, 0xCC));
  p.Feed(more.bytes());
  EXPECT_EQ(p.Output0Pids(), (std::set<uint16_t>{0x121}));
}

TEST(ServiceInfoPipeline, LaterPmtVersionsChangeTheFilterBeforeTheirPackets) {
  Pipeline p;
  p.Feed(Tables(1, 7, {0x21, 0x00, 0x00}));
  const uint16_t keep[] = {0x400};
  ASSERT_TRUE(p.model.KeepOnlyServices(keep));

  // The dropped service gains a video PID, the kept one takes over the dropped one's: the packets
  // right behind the new PMTs, in the same block and before any UI work, already obey them.
  p.output0.clear();
  test::TsBuilder b;
  b.Section(0x1F1,
            test::PmtSection(0x401, 1, 0x121, {{0x02, 0x121, {}}, {0x02, 0x122, {}}, {0x0F, 0x112, {}}}));
  b.Section(0x1F0,
            test::PmtSection(0x400, 1, 0x111, {{0x02, 0x111, {}}, {0x02, 0x121, {}}, {0x0F, 0x112, {}}}));
  for (uint16_t pid : {0x111, 0x112, 0x121, 0x122}) b.Packet(pid, Bytes(184, 0xAA));
  p.proc.Feed(b.bytes().data(), static_cast<int>(b.bytes().size()), p.stats);
  EXPECT_EQ(p.Output0Pids(), (std::set<uint16_t>{0x1F0, 0x1F1, 0x111, 0x112, 0x121}));
  p.dispatcher.RunPending();
  EXPECT_TRUE(p.model.FilterActive());

  // With the filter off a new PMT version changes nothing: everything passes.
  p.model.ToggleFilter(true);
  p.output0.clear();
  test::TsBuilder c;
  c.Section(0x1F1, test::PmtSection(0x401, 2, 0x121, {{0x02, 0x123, {}}}));
  c.Packet(0x123, Bytes(184, 0xBB));
  p.Feed(c.bytes());
  EXPECT_EQ(p.Output0Pids(), (std::set<uint16_t>{0x1F1, 0x123}));
}

TEST(ServiceInfoPipeline, RealTerrestrialCaptureNamesItsServices) {
  std::ifstream in(std::string(PELKAN_TEST_DATA_DIR) + "/realstreams/ariblib_tokyomx_psi.ts",
                   std::ios::binary);
  const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(bytes.empty());
  Pipeline p;
  p.Feed(bytes);
  ASSERT_FALSE(p.table.Rows().empty());
  bool mx1 = false;
  for (size_t i = 0; i < p.table.Rows().size(); ++i) mx1 = mx1 || p.Cell(i, 1) == "ＴＯＫＹＯ　ＭＸ１";
  EXPECT_TRUE(mx1);
  EXPECT_NE(p.Cell(0, 4).find("0x0121(m2v)"), std::string::npos);
}

}  // namespace
}  // namespace pelkan
