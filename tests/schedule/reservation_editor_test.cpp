#include "schedule/reservation_editor.h"

#include <gtest/gtest.h>

#include <deque>

#include "platform/text_codec.h"
#include "schedule/recording_scheduler.h"
#include "schedule/reservation_match.h"

namespace pelkan {
namespace {

constexpr uint32_t kDay = 54528;  // 2008-03-03

MjdTime At(int h, int m, int s = 0) {
  return MjdTime{kDay, static_cast<uint32_t>(h * 3600 + m * 60 + s)};
}

class NullWriter : public RecordingWriter {
 public:
  bool Open(const std::string&) override { return true; }
  void Write(const uint8_t*, uint32_t) override {}
  uint64_t BytesWritten() const override { return 0; }
  uint64_t FreeSpace() const override { return uint64_t{1} << 40; }
};

class Host : public SchedulerHost {
 public:
  bool LookupProgramme(uint16_t, uint16_t, uint16_t service_id, uint16_t event_id,
                       ProgrammeEvent* out) override {
    if (!event || service_id != event->service_id || event_id != event->event_id) return false;
    *out = *event;
    return true;
  }
  void Post(std::function<void()> work) override { posted.push_back(std::move(work)); }
  bool ConfirmOverlap() override {
    ++questions;
    return answer;
  }
  std::unique_ptr<RecordingWriter> CreateWriter() override { return std::make_unique<NullWriter>(); }
  std::deque<std::function<void()>> posted;
  std::optional<ProgrammeEvent> event;
  bool answer = true;
  int questions = 0;
};

// The dialog: records what it was opened with, lets the test act while it is "open", then
// applies `edit` and answers OK (or cancels).
class FakeDialog : public ScheduleEditDialogRunner {
 public:
  bool RunEditDialog(ScheduleItem* item) override {
    opened.push_back(*item);
    if (while_open) while_open();
    if (!ok) return false;
    if (edit) edit(item);
    return true;
  }
  std::vector<ScheduleItem> opened;
  std::function<void()> while_open;
  std::function<void(ScheduleItem*)> edit;
  bool ok = true;
};

ScheduleItem ByTime(MjdTime start, uint32_t duration) {
  ScheduleItem item{};
  item.flags = SI_BY_TIME;
  item.start_day = start.date;
  item.start_second = start.seconds;
  item.duration = duration;
  SetText(item.directory, "/rec");
  return item;
}

struct Fixture {
  Host host;
  RecordingScheduler scheduler{&host};
  FakeDialog dialog;
  ReservationEditor editor{scheduler, dialog, [] { return At(21, 15, 40); }};
};

TEST(ReservationEditor, NewReservationsAreStoredOnOkOnly) {
  Fixture f;
  f.scheduler.SetDefaultDirectory("/rec");
  f.dialog.ok = false;
  EXPECT_EQ(f.editor.ReserveByTime(0, nullptr, 0, std::nullopt), 0);
  EXPECT_TRUE(f.scheduler.Reservations().empty());
  ASSERT_EQ(f.dialog.opened.size(), 1u);
  EXPECT_EQ(GetText(f.dialog.opened[0].file_name), "20080303-2115");
  EXPECT_EQ(GetText(f.dialog.opened[0].directory), "/rec");

  f.dialog.ok = true;
  const MjdTime start = At(19, 0);
  EXPECT_EQ(f.editor.ReserveByTime(1024, &start, 1800, platform::Utf8ToSjis("ニュース")), 1);
  EXPECT_EQ(f.editor.ReserveByEvent(0, 0, 1024, 0x1234, std::string_view()), 1);
  const auto items = f.scheduler.Reservations();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(platform::SjisToUtf8(GetText(items[0].file_name)), "20080303-1900-ニュース");
  EXPECT_EQ(items[1].event_id, 0x1234);

  // An overlap refused by the user is still an OK of the dialog.
  f.host.answer = false;
  EXPECT_EQ(f.editor.ReserveByTime(1024, &start, 600, std::nullopt), 1);
  EXPECT_EQ(f.host.questions, 1);
  EXPECT_EQ(f.scheduler.Reservations().size(), 2u);
}

// New reservations open with the options' margins; a change keeps the reservation's own.
TEST(ReservationEditor, NewReservationsTakeTheDefaultMarginsAndChangesKeepTheirOwn) {
  Fixture f;
  f.scheduler.SetDefaultMargins(60, 120);
  const MjdTime start = At(19, 0);
  EXPECT_EQ(f.editor.ReserveByTime(1024, &start, 1800, std::nullopt), 1);
  EXPECT_EQ(f.editor.ReserveByEvent(0, 0, 1024, 0x1234, std::nullopt), 1);
  ASSERT_EQ(f.dialog.opened.size(), 2u);
  for (const ScheduleItem& opened : f.dialog.opened) {
    EXPECT_EQ(opened.margin_before, 60);
    EXPECT_EQ(opened.margin_after, 120);
  }
  f.scheduler.SetDefaultMargins(0, 0);
  EXPECT_EQ(f.editor.ChangeReservation(f.scheduler.Reservations()[0]), ReservationEditor::Change::kStored);
  EXPECT_EQ(f.dialog.opened.back().margin_before, 60);
  EXPECT_EQ(f.scheduler.Reservations()[0].margin_after, 120);
}

TEST(ReservationEditor, OnlyOneDialogAtATime) {
  Fixture f;
  int nested = -1;
  f.dialog.while_open = [&] {
    EXPECT_TRUE(f.editor.IsOpen());
    nested = f.editor.ReserveByEvent(0, 0, 1, 2, std::nullopt);
  };
  EXPECT_EQ(f.editor.ReserveByTime(0, nullptr, 0, std::nullopt), 1);
  EXPECT_EQ(nested, 0);
  EXPECT_FALSE(f.editor.IsOpen());
  EXPECT_EQ(f.scheduler.Reservations().size(), 1u);
}

TEST(ReservationEditor, ChangeFindsTheReservationAgainAfterTheListMoved) {
  Fixture f;
  f.scheduler.StoreItem(ByTime(At(22, 0), 600), -1);
  f.scheduler.StoreItem(ByTime(At(23, 0), 600), -1);
  const ScheduleItem shown = f.scheduler.Reservations()[0];  // 22:00
  // While the dialog is open an earlier reservation arrives: 22:00 is now at row 1.
  f.dialog.while_open = [&] { f.scheduler.StoreItem(ByTime(At(20, 0), 600), -1); };
  f.dialog.edit = [](ScheduleItem* item) { item->duration = 1200; };
  EXPECT_EQ(f.editor.ChangeReservation(shown), ReservationEditor::Change::kStored);
  const auto items = f.scheduler.Reservations();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].start_second, At(20, 0).seconds);
  EXPECT_EQ(items[0].duration, 600u);  // not overwritten
  EXPECT_EQ(items[1].start_second, At(22, 0).seconds);
  EXPECT_EQ(items[1].duration, 1200u);
  EXPECT_EQ(items[2].duration, 600u);
}

TEST(ReservationEditor, ChangeIsRefusedWhenTheReservationStartedOrLeft) {
  Fixture f;
  f.scheduler.StoreItem(ByTime(At(21, 0), 600), -1);
  f.scheduler.StoreItem(ByTime(At(23, 0), 600), -1);
  // Prepared while the dialog is open.
  f.dialog.while_open = [&] { f.scheduler.Tick(At(20, 59, 40)); };
  f.dialog.edit = [](ScheduleItem* item) { item->start_second += 60; };
  const ScheduleItem first = f.scheduler.Reservations()[0];
  EXPECT_EQ(f.editor.ChangeReservation(first), ReservationEditor::Change::kActive);
  EXPECT_EQ(ItemState(f.scheduler.Reservations()[0]), ST_PREPARING);
  EXPECT_EQ(f.scheduler.Reservations()[0].start_second, At(21, 0).seconds);
  // The active one is refused without opening the dialog.
  const size_t opened = f.dialog.opened.size();
  EXPECT_EQ(f.editor.ChangeReservation(first), ReservationEditor::Change::kActive);
  EXPECT_EQ(f.dialog.opened.size(), opened);

  // Recorded and retired while the dialog is open: the other reservation stays as it was.
  const ScheduleItem later = f.scheduler.Reservations()[1];
  f.dialog.while_open = [&] {
    f.scheduler.Tick(At(21, 10, 2));  // 21:00 ends
    f.scheduler.DeleteItem(0, true);  // 23:00 deleted meanwhile (another process, say)
  };
  EXPECT_EQ(f.editor.ChangeReservation(later), ReservationEditor::Change::kActive);
  EXPECT_TRUE(f.scheduler.Reservations().empty());
  EXPECT_EQ(f.editor.ChangeReservation(later), ReservationEditor::Change::kNotListed);
}

TEST(ReservationEditor, ChangeOfAnEventResolvedMeanwhileAndOverlapRefusal) {
  Fixture f;
  ScheduleItem ev{};
  ev.flags = SI_BY_EVENT | SI_SERVICE_LIMIT;
  ev.service_id = 1024;
  ev.event_id = 0x1234;
  f.scheduler.StoreItem(ev, -1);
  ProgrammeEvent pe{};
  pe.kind = 1;
  pe.version = 3;
  pe.service_id = 1024;
  pe.event_id = 0x1234;
  pe.start_day = kDay;
  pe.start_second = At(22, 0).seconds;
  pe.duration = 600;
  f.host.event = pe;
  f.dialog.while_open = [&] { f.scheduler.Tick(At(12, 0)); };  // the event is found
  f.dialog.edit = [](ScheduleItem* item) { item->event_id = 0x1235; };
  EXPECT_EQ(f.editor.ChangeReservation(f.scheduler.Reservations()[0]), ReservationEditor::Change::kStored);
  ASSERT_EQ(f.scheduler.Reservations().size(), 1u);
  EXPECT_EQ(f.scheduler.Reservations()[0].event_id, 0x1235);

  f.scheduler.StoreItem(ByTime(At(20, 0), 600), -1);
  f.scheduler.StoreItem(ByTime(At(21, 0), 600), -1);
  f.dialog.while_open = nullptr;
  f.dialog.edit = [](ScheduleItem* item) { item->start_second = At(20, 5).seconds; };
  f.host.answer = false;
  const ScheduleItem nine = f.scheduler.Reservations()[1];
  EXPECT_EQ(f.editor.ChangeReservation(nine), ReservationEditor::Change::kRefused);
  EXPECT_EQ(f.scheduler.Reservations()[1].start_second, At(21, 0).seconds);
  f.host.answer = true;
  EXPECT_EQ(f.editor.ChangeReservation(nine), ReservationEditor::Change::kStored);
  EXPECT_EQ(f.scheduler.Reservations()[1].start_second, At(20, 5).seconds);
  EXPECT_EQ(f.scheduler.Reservations().size(), 3u);
}

TEST(ReservationEditor, DeleteActsOnTheShownReservation) {
  Fixture f;
  f.scheduler.StoreItem(ByTime(At(22, 0), 600), -1);
  const ScheduleItem shown = f.scheduler.Reservations()[0];
  f.scheduler.StoreItem(ByTime(At(20, 0), 600), -1);  // moves 22:00 to row 1
  EXPECT_TRUE(f.editor.DeleteReservation(shown));
  ASSERT_EQ(f.scheduler.Reservations().size(), 1u);
  EXPECT_EQ(f.scheduler.Reservations()[0].start_second, At(20, 0).seconds);
  EXPECT_FALSE(f.editor.DeleteReservation(shown));
  // A reservation being prepared is cancelled.
  f.scheduler.Tick(At(19, 59, 40));
  ASSERT_TRUE(f.scheduler.ActiveItem());
  EXPECT_TRUE(f.editor.DeleteReservation(f.scheduler.Reservations()[0]));
  EXPECT_FALSE(f.scheduler.ActiveItem());
  EXPECT_TRUE(f.scheduler.Reservations().empty());
  EXPECT_TRUE(f.scheduler.Finished().empty());
}

TEST(ReservationMatch, StateAndWhatTheEventBringsDoNotCount) {
  ScheduleItem a = ByTime(At(21, 0), 600);
  ScheduleItem b = a;
  SetItemState(&b, ST_RECORDING);
  EXPECT_TRUE(IsSameReservation(a, b));
  b.duration = 601;
  EXPECT_FALSE(IsSameReservation(a, b));
  b = a;
  SetText(b.file_name, "x");
  EXPECT_FALSE(IsSameReservation(a, b));

  ScheduleItem e{};
  e.flags = SI_BY_EVENT;
  e.event_id = 7;
  ScheduleItem resolved = e;
  resolved.start_day = kDay;
  resolved.duration = 60;
  resolved.programme_version = 2;
  SetText(resolved.title, "t");
  EXPECT_TRUE(IsSameReservation(e, resolved));
  resolved.event_id = 8;
  EXPECT_FALSE(IsSameReservation(e, resolved));
  EXPECT_EQ(FindReservation({a, e}, resolved), -1);
  EXPECT_EQ(FindReservation({a, e}, e), 1);
}

}  // namespace
}  // namespace pelkan
