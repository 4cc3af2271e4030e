// The reservation list window of the desktop program follows schedule.ini as others change it.
#include <gtest/gtest.h>

#include <QAction>
#include <QTableWidget>
#include <string>
#include <utility>
#include <vector>

#include "app/http_api.h"
#include "app/scheduled_capture.h"
#include "base/mjd_time.h"
#include "schedule/recording_scheduler.h"
#include "schedule/schedule_file.h"
#include "tests/ui/ui_test_support.h"
#include "ui/desktop_program.h"
#include "ui/main_window.h"

namespace pelkan::ui {
namespace {

// A reservation removed through the web page's API (schedule.ini changed under its lock, as
// `schedule remove` does) leaves the list window the desktop program shows at the session's next
// sync of the file; the other one stays.
TEST(ScheduleListWindowOfTheProgram, AReservationRemovedThroughTheApiLeavesTheList) {
  testing::DesktopFixture f;
  ScheduleItem first{}, second{};
  for (auto [item, hour] : {std::pair<ScheduleItem*, uint32_t>{&first, 21}, {&second, 22}}) {
    item->flags = SI_BY_TIME;
    item->start_day = MjdFromDate(2030, 1, 10);
    item->start_second = hour * 3600;
    item->duration = 1800;
    SetText(item->directory, f.dir.string());
  }
  ASSERT_TRUE(SaveScheduleFile(f.schedule_path(), {first, second}));
  f.Start();
  f.Find<QAction>("scheduleAction")->trigger();
  auto* list = f.Find<QTableWidget>("scheduleList");
  ASSERT_NE(list, nullptr);
  ASSERT_TRUE(list->isVisible());
  ASSERT_EQ(list->rowCount(), 2);

  HttpApiSources sources;
  sources.files = {f.schedule_path(), f.settings_path()};
  sources.guide_path = (f.dir / "epg.sqlite").string();
  sources.rules_path = (f.dir / "rules.sqlite").string();
  HttpRequest request;
  request.method = "DELETE";
  request.path = "/api/reservations/1";
  request.body = R"({"expect": {"start": "2030-01-10 21:00:00"}})";
  const HttpReply reply = AnswerApi(sources, request);
  ASSERT_EQ(reply.status, 200u) << (reply.body ? *reply.body : std::string());

  ASSERT_TRUE(testing::WaitFor([&] { return list->rowCount() == 1; }, 3000));
  const std::vector<ScheduleItem> left = f.program_->schedule().scheduler().Reservations();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].start_second, 22u * 3600);
  EXPECT_TRUE(f.Close());
}

}  // namespace
}  // namespace pelkan::ui
