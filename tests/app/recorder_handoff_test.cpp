// The hand-off between the desktop program and the recorder service, against a stand-in for
// systemd's user manager (python3-dbusmock on a private session bus): what the quit asks, what each
// answer leaves the unit as once the program has let go of the tuner, and the stop for a session.
#include "app/recorder_handoff.h"

#include <gtest/gtest.h>

#include <optional>

#include "tests/support/mock_logind.h"

namespace pelkan {
namespace {

using Answer = RecorderHandoff::Answer;

struct HandoffCase {
  const char* name;
  const char* units;  // the manager's units (JSON); nullptr: no manager at all
  bool stop_for_session;  // the user had it stopped to connect
  size_t pending;
  std::optional<Answer> answer;  // to the quit question
  bool asks;
  const char* line;  // the start of the log line ("" none)
  bool quits;
  const char* active_after;  // the unit once the program is gone
  const char* file_after;
};

TEST(RecorderHandoff, QuitQuestionAnswersAndTheStopForASession) {
  const char* inactive = R"({"pelkan-recorder.service": "inactive"})";
  const char* active = R"({"pelkan-recorder.service": "active"})";
  const HandoffCase cases[] = {
      {"はい: enabled, started", inactive, false, 2, Answer::kYes, true, "", true, "active", "enabled"},
      {"いいえ: left off", inactive, false, 2, Answer::kNo, true, "", true, "inactive", "disabled"},
      {"キャンセル: stays", inactive, false, 2, Answer::kCancel, true, "", false, "inactive", "disabled"},
      {"nothing pending", inactive, false, 0, std::nullopt, false, "", true, "inactive", "disabled"},
      {"already running", active, false, 3, std::nullopt, false, "", true, "active", "disabled"},
      {"stopped to connect, started again", active, true, 3, std::nullopt, false, "", true, "active", "disabled"},
      {"unit not installed", "{}", false, 2, std::nullopt, false,
       "2 reservations will not be recorded after the quit: pelkan-recorder.service is not installed", true, "",
       ""},
      {"no user manager", nullptr, false, 1, std::nullopt, false,
       "1 reservations will not be recorded after the quit: no systemd user manager", true, "", ""},
  };
  for (const HandoffCase& c : cases) {
    SCOPED_TRACE(c.name);
    testing::MockUserManager manager;
    std::string address = "unix:path=/nonexistent/pelkan-test/user_bus";
    if (c.units != nullptr) {
      if (!manager.Start(c.units)) GTEST_SKIP() << manager.Error();
      address = manager.address();
    }
    RecorderService service(address);
    RecorderHandoff handoff(service);
    std::string error;
    if (c.stop_for_session) {
      EXPECT_EQ(handoff.ConnectQuestion(),
                "録画サービスがチューナーを使っています。\n終了するまで録画サービスを止めて接続しますか？");
      ASSERT_TRUE(handoff.StopForSession(&error)) << error;
      EXPECT_EQ(service.Query().active, "inactive");
      EXPECT_EQ(handoff.ConnectQuestion(), "");
    } else if (c.units == inactive) {
      EXPECT_EQ(handoff.ConnectQuestion(), "");
    }
    const RecorderHandoff::QuitPlan plan = handoff.PlanQuit(c.pending);
    EXPECT_EQ(plan.question, c.asks ? HandoffQuestion(c.pending) : "");
    EXPECT_EQ(plan.line.substr(0, std::string(c.line).size()), c.line) << plan.line;
    EXPECT_EQ(plan.line.empty(), *c.line == '\0') << plan.line;
    bool quits = true;
    if (c.answer) quits = handoff.Answered(*c.answer, &error);
    EXPECT_EQ(quits, c.quits) << error;
    if (!quits) continue;
    EXPECT_TRUE(handoff.Finish(&error)) << error;
    const RecorderUnitState after = service.Query();
    EXPECT_EQ(after.active, c.active_after);
    EXPECT_EQ(after.file, c.file_after);
  }
  EXPECT_EQ(HandoffQuestion(3), "予約が 3 件あります。録画サービスに任せますか？");
}

}  // namespace
}  // namespace pelkan
