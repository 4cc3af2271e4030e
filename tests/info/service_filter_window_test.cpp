#include "info/service_filter_window.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <vector>

#include "app/loop_dispatcher.h"
#include "info/programme_text.h"
#include "info/service_row_table.h"
#include "platform/text_codec.h"

namespace pelkan {
namespace {

using platform::SjisToUtf8;
using platform::Utf8ToSjis;


struct FilterCall {
  std::vector<uint16_t> services;
  std::vector<uint16_t> pids;
};

class ServiceFilterWindowTest : public ::testing::Test {
 protected:
  ServiceFilterWindowTest() {
    model.SetFilterCallback([this](std::span<const uint16_t> s, std::span<const uint16_t> p) {
      calls.push_back({{s.begin(), s.end()}, {p.begin(), p.end()}});
    });
  }

  void Components(uint16_t sid, std::vector<ComponentEntry> entries) { model.OnComponentList(sid, entries); }
  const ServiceRowTable::Row& Row(size_t i) const { return table.Rows().at(i); }

  LoopDispatcher dispatcher;
  ServiceRowTable table;
  ServiceFilterWindow model{dispatcher, &table};
  std::vector<FilterCall> calls;
};

ProgrammeEvent MakeEvent(uint16_t sid, uint16_t event_id, uint32_t start, uint32_t end, const char* title,
                         uint8_t version = 1) {
  ProgrammeEvent e{};
  e.kind = EVENT_KIND_PF_ACTUAL;
  e.version = version;
  e.service_id = sid;
  e.event_id = event_id;
  std::strncpy(e.title, title, sizeof(e.title) - 1);
  std::strncpy(e.description, "desc", sizeof(e.description) - 1);
  e.start_day = 54587;
  e.start_second = start;
  e.end_day = 54587;
  e.end_second = end;
  e.duration = end == kUndefinedDuration ? kUndefinedDuration : end - start;
  e.video_component_type = 0xB3;
  e.audio_component_type = 3;
  return e;
}

TEST_F(ServiceFilterWindowTest, RowsAppearOnlyThroughTheDispatcher) {
  model.OnServiceEntry(1024, 0x1F0);
  EXPECT_TRUE(table.Rows().empty());
  EXPECT_EQ(model.RowCount(), 0u);
  dispatcher.RunPending();
  ASSERT_EQ(table.Rows().size(), 1u);
  EXPECT_EQ(Row(0).cells[0], "1024");
  EXPECT_EQ(Row(0).cells[3], "0x01F0");
  EXPECT_TRUE(Row(0).checked);
  EXPECT_EQ(model.RowChecked(0), true);
  EXPECT_EQ(model.RowService(0), 1024);
}

TEST_F(ServiceFilterWindowTest, ServiceListedTwiceMakesOneRow) {
  model.OnServiceEntry(1024, 0x1F0);
  model.OnServiceEntry(1025, 0x1F1);
  model.OnServiceEntry(1024, 0x1FF);
  dispatcher.RunPending();
  ASSERT_EQ(table.Rows().size(), 2u);
  EXPECT_EQ(Row(0).cells[3], "0x01F0");  // the PMT column of a known service stays
  EXPECT_EQ(Row(1).service_id, 1025);
  EXPECT_EQ(model.FindService(1025)->row_index, 1);
}

TEST_F(ServiceFilterWindowTest, SixteenComponentsShowFifteenAndKeepAll) {
  model.OnServiceEntry(1024, 0x1F0);
  std::vector<ComponentEntry> many;
  for (uint16_t i = 0; i < 16; ++i) many.push_back({0x02, static_cast<uint16_t>(0x100 + i)});
  Components(1024, many);
  dispatcher.RunPending();
  EXPECT_EQ(Row(0).cells[4].size(), 15 * 12 + 3u);
  EXPECT_EQ(Row(0).cells[4].substr(Row(0).cells[4].size() - 4), " ...");
  // Every PID is recorded so that an unchecked service is excluded whole.
  EXPECT_EQ(model.FindService(1024)->component_pids.size(), 16u);
  ASSERT_TRUE(model.SetRowChecked(0, false));
  EXPECT_EQ(model.BuildFilterLists().pids.size(), 16u);
}

TEST_F(ServiceFilterWindowTest, TwoPmtVersionsKeepBothPidsOnce) {
  model.OnServiceEntry(1024, 0x1F0);
  Components(1024, {{0x02, 0x111}, {0x0F, 0x112}});
  Components(1024, {{0x1B, 0x121}, {0x0F, 0x112}});
  dispatcher.RunPending();
  EXPECT_EQ(model.FindService(1024)->component_pids, (std::vector<uint16_t>{0x111, 0x112, 0x121}));
  EXPECT_EQ(Row(0).cells[4], "0x0121(264) 0x0112(aac) ");
}

TEST_F(ServiceFilterWindowTest, ComponentsOfUnknownServiceAreDropped) {
  Components(7, {{0x02, 0x111}});
  model.OnServiceName(7, "x");
  dispatcher.RunPending();
  EXPECT_TRUE(table.Rows().empty());
  EXPECT_FALSE(model.FindService(7).has_value());
}

TEST_F(ServiceFilterWindowTest, AllRowsCheckedMeansNoFilter) {
  model.OnServiceEntry(1024, 0x1F0);
  Components(1024, {{0x02, 0x111}});
  dispatcher.RunPending();
  model.ToggleFilter(false);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].services.empty());
  EXPECT_TRUE(calls[0].pids.empty());
  // The switch still shows on, and the check boxes are frozen until it is switched off.
  EXPECT_TRUE(model.FilterActive());
  EXPECT_TRUE(table.FilterActive());
  EXPECT_FALSE(model.SetRowChecked(0, false));
  model.ToggleFilter(false);
  EXPECT_FALSE(model.FilterActive());
  EXPECT_TRUE(model.SetRowChecked(0, false));
}

TEST_F(ServiceFilterWindowTest, SharedPidOfKeptServiceIsNotExcluded) {
  model.OnServiceEntry(1024, 0x1F0);
  model.OnServiceEntry(1025, 0x1F1);
  model.OnServiceEntry(1026, 0x1F2);
  Components(1024, {{0x02, 0x111}, {0x0D, 0x130}});
  Components(1025, {{0x02, 0x121}, {0x0D, 0x130}});
  Components(1026, {{0x02, 0x131}, {0x0F, 0x132}});
  dispatcher.RunPending();
  ASSERT_TRUE(model.SetRowChecked(2, false));
  ASSERT_TRUE(model.SetRowChecked(1, false));
  EXPECT_FALSE(Row(1).checked);
  model.ToggleFilter(false);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].services, (std::vector<uint16_t>{1025, 1026}));
  EXPECT_EQ(calls[0].pids, (std::vector<uint16_t>{0x121, 0x131, 0x132}));
}

TEST_F(ServiceFilterWindowTest, StreamResetEmptiesRowsAndSwitchesFilterOff) {
  model.OnServiceEntry(1024, 0x1F0);
  model.OnServiceEntry(1025, 0x1F1);
  dispatcher.RunPending();
  model.SetRowChecked(0, false);
  model.ToggleFilter(false);
  ASSERT_TRUE(model.FilterActive());

  model.OnStreamReset();
  model.OnServiceEntry(2048, 0x101);
  dispatcher.RunPending();
  EXPECT_FALSE(model.FilterActive());
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[1].services.empty() && calls[1].pids.empty());
  ASSERT_EQ(table.Rows().size(), 1u);
  EXPECT_EQ(Row(0).service_id, 2048);
  EXPECT_EQ(model.FindService(2048)->row_index, 0);
  EXPECT_FALSE(model.FindService(1024).has_value());
}

TEST_F(ServiceFilterWindowTest, UpdatesQueuedBeforeResetAreDropped) {
  model.OnServiceEntry(1024, 0x1F0);
  model.OnServiceEntry(1025, 0x1F1);
  model.OnServiceName(1025, "old");
  model.OnStreamReset();
  model.OnServiceEntry(1025, 0x200);
  dispatcher.RunPending();
  ASSERT_EQ(table.Rows().size(), 1u);
  EXPECT_EQ(Row(0).service_id, 1025);
  EXPECT_EQ(Row(0).cells[3], "0x0200");
  EXPECT_EQ(Row(0).cells[1], "");
}

TEST_F(ServiceFilterWindowTest, ServiceNameFillsColumnAndRecord) {
  model.OnServiceEntry(1024, 0x1F0);
  const std::string name = Utf8ToSjis("ＮＨＫ総合");
  model.OnServiceName(1024, name);
  dispatcher.RunPending();
  EXPECT_EQ(Row(0).cells[1], name);
  EXPECT_EQ(model.FindService(1024)->name, name);
  EXPECT_EQ(SjisToUtf8(model.RowToolTip(0)), "ＮＨＫ総合(1024)");
}

TEST_F(ServiceFilterWindowTest, LongNameIsCutOnCharacterBoundary) {
  model.OnServiceEntry(1, 0x100);
  dispatcher.RunPending();
  const std::string name = Utf8ToSjis("あいうえおかきくけこさしすせそ");  // 30 bytes
  ASSERT_TRUE(model.SetCellText(1, 1, name));
  EXPECT_EQ(model.FindService(1)->name, name.substr(0, 28));
  EXPECT_FALSE(model.SetCellText(2, 1, name));
}

TEST_F(ServiceFilterWindowTest, HandlesProcessorEventPayloads) {
  const ProgramListEntry list[2] = {{1024, 0x1F0}, {1025, 0x1F1}};
  EXPECT_TRUE(model.HandleTsEvent(EVENT_PROGRAM_LIST, 0x7FE0, reinterpret_cast<const uint8_t*>(list), 2));
  const ComponentEntry comps[1] = {{0x1B, 0x111}};
  EXPECT_TRUE(model.HandleTsEvent(EVENT_COMPONENT_LIST, 1025, reinterpret_cast<const uint8_t*>(comps), 1));
  ServiceNames names{};
  std::memset(names.service_name, 'N', sizeof(names.service_name));  // no terminator
  EXPECT_TRUE(model.HandleTsEvent(EVENT_SERVICE_NAME, 1024, reinterpret_cast<const uint8_t*>(&names), 0));
  EXPECT_TRUE(model.HandleTsEvent(EVENT_SERVICE_NAME, 1025, nullptr, 0));
  EXPECT_FALSE(model.HandleTsEvent(EVENT_PACKET, 0, nullptr, 188));
  EXPECT_FALSE(model.HandleTsEvent(EVENT_BROADCAST_TIME, 0, nullptr, 0));
  dispatcher.RunPending();
  ASSERT_EQ(table.Rows().size(), 2u);
  EXPECT_EQ(Row(1).cells[4], "0x0111(264) ");
  EXPECT_EQ(Row(0).cells[1], std::string(30, 'N'));
  EXPECT_EQ(model.FindService(1024)->name.size(), ServiceRecord::kMaxNameBytes);
  EXPECT_TRUE(model.HandleTsEvent(EVENT_STREAM_RESET, 0, nullptr, 1));
  dispatcher.RunPending();
  EXPECT_TRUE(table.Rows().empty());
}

// An event store of one service: a list of events searched by time.
struct FakeStore {
  std::vector<ProgrammeEvent> events;
  std::vector<std::pair<MjdTime, bool>> queries;
  EventLookup Lookup() {
    return [this](uint16_t sid, const MjdTime& t, ProgrammeEvent* out, bool purge) {
      queries.push_back({t, purge});
      for (const ProgrammeEvent& e : events) {
        const uint64_t at = uint64_t{t.date} * 86400 + t.seconds;
        const uint64_t from = uint64_t{e.start_day} * 86400 + e.start_second;
        const uint64_t to =
            e.end_second == kUndefinedDuration ? UINT64_MAX : uint64_t{e.end_day} * 86400 + e.end_second;
        if (e.service_id == sid && at >= from && at <= to) {
          *out = e;
          return true;
        }
      }
      return false;
    };
  }
};

TEST_F(ServiceFilterWindowTest, RefreshShowsCurrentAndKeepsNextForToolTip) {
  model.OnServiceEntry(1024, 0x1F0);
  model.OnServiceName(1024, "S");
  dispatcher.RunPending();
  FakeStore store;
  store.events = {MakeEvent(1024, 1, 21 * 3600, 21 * 3600 + 54 * 60, "T"),
                  MakeEvent(1024, 2, 21 * 3600 + 54 * 60 + 1, 23 * 3600, "U")};
  model.RefreshProgrammes(MjdTime{54587, 21 * 3600 + 60}, store.Lookup());
  dispatcher.RunPending();
  EXPECT_EQ(Row(0).cells[2], "21:00 - 21:54 T");
  ASSERT_EQ(store.queries.size(), 2u);
  EXPECT_TRUE(store.queries[0].second);
  EXPECT_EQ(store.queries[1].first.seconds, 21u * 3600 + 54 * 60 + 1);
  EXPECT_FALSE(store.queries[1].second);
  EXPECT_EQ(SjisToUtf8(model.RowToolTip(0)),
            "S(1024)\n\n現在の番組>> 2008/05/01(木) 21:00 - 21:54 映像(D3 1080i,16:9) 音声(ステレオ)\nT\ndesc"
            "\n\n次の番組>> 2008/05/01(木) 21:54 - 23:00 映像(D3 1080i,16:9) 音声(ステレオ)\nU\ndesc");

  // Unchanged events post nothing.
  model.RefreshProgrammes(MjdTime{54587, 21 * 3600 + 120}, store.Lookup());
  EXPECT_EQ(dispatcher.Pending(), 0u);
  // The programme changes when the clock passes its end.
  model.RefreshProgrammes(MjdTime{54587, 22 * 3600}, store.Lookup());
  dispatcher.RunPending();
  EXPECT_EQ(Row(0).cells[2], "21:54 - 23:00 U");
  EXPECT_EQ(model.FindService(1024)->next.start_day, 0u);
}

TEST_F(ServiceFilterWindowTest, NewVersionOfSameEventIsShown) {
  model.OnServiceEntry(1024, 0x1F0);
  dispatcher.RunPending();
  FakeStore store;
  store.events = {MakeEvent(1024, 1, 21 * 3600, 22 * 3600, "T", 1)};
  model.RefreshProgrammes(MjdTime{54587, 21 * 3600}, store.Lookup());
  store.events = {MakeEvent(1024, 1, 21 * 3600, 22 * 3600 + 600, "T", 2)};
  model.RefreshProgrammes(MjdTime{54587, 21 * 3600}, store.Lookup());
  dispatcher.RunPending();
  EXPECT_EQ(Row(0).cells[2], "21:00 - 22:10 T");
}

TEST_F(ServiceFilterWindowTest, UndeterminedEndShowsMarkerAndFindsNoNext) {
  model.OnServiceEntry(1024, 0x1F0);
  dispatcher.RunPending();
  FakeStore store;
  store.events = {MakeEvent(1024, 1, 21 * 3600, kUndefinedDuration, "T")};
  model.RefreshProgrammes(MjdTime{54587, 21 * 3600 + 60}, store.Lookup());
  dispatcher.RunPending();
  EXPECT_EQ(SjisToUtf8(Row(0).cells[2]), "21:00未定  T");
  ASSERT_EQ(store.queries.size(), 2u);
  // The next lookup lies far in the future, where the store (like the real one) still finds the
  // open event: it is not taken as the next programme.
  EXPECT_EQ(model.FindService(1024)->next_text, "");
  EXPECT_EQ(model.FindService(1024)->next.start_day, 0u);
  const uint64_t total = 54587ull * 86400 + 0xFFFFFFFFull + 1;
  EXPECT_EQ(store.queries[1].first.date, total / 86400);
  EXPECT_EQ(store.queries[1].first.seconds, total % 86400);
}

TEST_F(ServiceFilterWindowTest, LookupFailureClearsAndSameEventReturns) {
  model.OnServiceEntry(1024, 0x1F0);
  dispatcher.RunPending();
  FakeStore store;
  store.events = {MakeEvent(1024, 1, 21 * 3600, 22 * 3600, "T")};
  model.RefreshProgrammes(MjdTime{54587, 21 * 3600}, store.Lookup());
  dispatcher.RunPending();
  ASSERT_EQ(Row(0).cells[2], "21:00 - 22:00 T");

  const std::vector<ProgrammeEvent> saved = store.events;
  store.events.clear();
  model.RefreshProgrammes(MjdTime{54587, 21 * 3600}, store.Lookup());
  dispatcher.RunPending();
  EXPECT_EQ(Row(0).cells[2], "");
  EXPECT_EQ(model.FindService(1024)->current_text, "");
  EXPECT_EQ(SjisToUtf8(model.RowToolTip(0)), "(1024)");
  // A second failure posts nothing more.
  model.RefreshProgrammes(MjdTime{54587, 21 * 3600}, store.Lookup());
  EXPECT_EQ(dispatcher.Pending(), 0u);

  store.events = saved;
  model.RefreshProgrammes(MjdTime{54587, 21 * 3600}, store.Lookup());
  dispatcher.RunPending();
  EXPECT_EQ(Row(0).cells[2], "21:00 - 22:00 T");
}

TEST_F(ServiceFilterWindowTest, EmptyLookupDoesNothing) {
  model.OnServiceEntry(1024, 0x1F0);
  dispatcher.RunPending();
  model.RefreshProgrammes(MjdTime{54587, 0}, EventLookup{});
  EXPECT_EQ(dispatcher.Pending(), 0u);
}

TEST_F(ServiceFilterWindowTest, ReserveProgrammeHandsEventToScheduler) {
  model.OnServiceEntry(1024, 0x1F0);
  dispatcher.RunPending();
  struct Request {
    uint16_t a, b, sid, eid;
    MjdTime start;
    uint32_t duration;
    std::string title;
  };
  std::vector<Request> requests;
  EXPECT_FALSE(model.ReserveProgramme(0, ProgrammeSlot::kCurrent, ReserveBy::kTime));  // no programme yet

  FakeStore store;
  store.events = {MakeEvent(1024, 7, 21 * 3600, 22 * 3600, "T"),
                  MakeEvent(1024, 8, 22 * 3600 + 1, 23 * 3600, "U")};
  model.RefreshProgrammes(MjdTime{54587, 21 * 3600}, store.Lookup());
  EXPECT_FALSE(model.ReserveProgramme(0, ProgrammeSlot::kCurrent, ReserveBy::kTime));  // no callback

  model.SetReserveCallbacks(
      [&](uint16_t sid, const MjdTime& start, uint32_t duration, std::string_view title) {
        requests.push_back({0, 0, sid, 0, start, duration, std::string(title)});
        return true;
      },
      [&](uint16_t nid, uint16_t tsid, uint16_t sid, uint16_t eid, std::string_view title) {
        requests.push_back({nid, tsid, sid, eid, {}, 0, std::string(title)});
        return false;
      });
  EXPECT_TRUE(model.ReserveProgramme(0, ProgrammeSlot::kCurrent, ReserveBy::kTime));
  EXPECT_FALSE(model.ReserveProgramme(0, ProgrammeSlot::kNext, ReserveBy::kEventId));
  EXPECT_FALSE(model.ReserveProgramme(1, ProgrammeSlot::kNext, ReserveBy::kEventId));  // no row
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].sid, 1024);
  EXPECT_EQ(requests[0].start.date, 54587u);
  EXPECT_EQ(requests[0].start.seconds, 21u * 3600);
  EXPECT_EQ(requests[0].duration, 3600u);
  EXPECT_EQ(requests[0].title, "T");
  EXPECT_EQ(requests[1].a, 0);
  EXPECT_EQ(requests[1].b, 0);
  EXPECT_EQ(requests[1].eid, 8);
  EXPECT_EQ(requests[1].title, "U");
}

TEST_F(ServiceFilterWindowTest, KeepOnlyServicesSwitchesFilterOn) {
  for (uint16_t sid : {1024, 1025, 1026}) model.OnServiceEntry(sid, static_cast<uint16_t>(0x100 + sid % 16));
  Components(1025, {{0x02, 0x121}});
  dispatcher.RunPending();
  const uint16_t keep[] = {1024, 1026, 9999};
  EXPECT_TRUE(model.KeepOnlyServices(keep));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].services, (std::vector<uint16_t>{1025}));
  EXPECT_EQ(calls[0].pids, (std::vector<uint16_t>{0x121}));
  EXPECT_FALSE(table.Rows()[1].checked);
  // Applied again while on, the new filter replaces the old one without clearing it in between.
  const uint16_t keep2[] = {1025};
  EXPECT_TRUE(model.KeepOnlyServices(keep2));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].services, (std::vector<uint16_t>{1024, 1026}));
  EXPECT_TRUE(model.FilterActive());
  // Keeping nothing that is listed switches the filter off.
  const uint16_t none[] = {1};
  EXPECT_FALSE(model.KeepOnlyServices(none));
  EXPECT_FALSE(model.FilterActive());
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_TRUE(calls[2].services.empty() && calls[2].pids.empty());
  EXPECT_FALSE(model.KeepOnlyServices(none));
  EXPECT_EQ(calls.size(), 3u);
}

TEST_F(ServiceFilterWindowTest, ControlsFollowConnectAndFilter) {
  model.SetControlsEnabled(true);
  EXPECT_TRUE(table.SwitchEnabled());
  EXPECT_TRUE(table.ListEnabled());
  model.ToggleFilter(false);
  EXPECT_TRUE(table.SwitchEnabled());
  EXPECT_FALSE(table.ListEnabled());
  model.SetControlsEnabled(false);
  model.ToggleFilter(true);
  EXPECT_FALSE(table.SwitchEnabled());
  EXPECT_FALSE(table.ListEnabled());
}

TEST(ServiceFilterWindowLifetime, QueuedUpdatesAfterDestructionAreDropped) {
  LoopDispatcher dispatcher;
  ServiceRowTable table;
  {
    ServiceFilterWindow model(dispatcher, &table);
    model.OnServiceEntry(1, 0x100);
    model.OnStreamReset();
  }
  EXPECT_EQ(dispatcher.RunPending(), 3);
  EXPECT_TRUE(table.Rows().empty());
}

}  // namespace
}  // namespace pelkan
