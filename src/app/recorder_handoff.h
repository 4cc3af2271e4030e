#pragma once

#include <cstddef>
#include <string>

#include "app/recorder_service.h"

namespace pelkan {

// The desktop program and the recorder service cannot both hold the tuner. What the desktop
// program does about the service: at its quit with reservations pending it offers to hand them to
// the service (enabled, and started once the program has let go of the tuner); before a connection
// while the service runs it offers to stop it for this session, and starts it again at the quit.
// The texts are UTF-8. Owning thread only.
class RecorderHandoff {
 public:
  enum class Answer { kYes, kNo, kCancel };

  // What the quit needs: a question to ask (はい/いいえ/キャンセル), or one line for the log that
  // says why the reservations stay with nobody; both empty when the program just quits.
  struct QuitPlan {
    std::string question;
    std::string line;
  };

  explicit RecorderHandoff(RecorderService service) : service_(std::move(service)) {}

  const RecorderService& service() const { return service_; }

  // The quit with `pending` reservations in the list.
  QuitPlan PlanQuit(size_t pending) const;
  // The user's answer to the quit question: false to stay (キャンセル, or はい and the unit could
  // not be enabled: the notice in `*error`).
  bool Answered(Answer answer, std::string* error);

  // Before a connection: the question when the service runs (it holds the tuner), else "".
  std::string ConnectQuestion() const;
  // はい to it: stops the service until the quit. False with the notice in `*error`.
  bool StopForSession(std::string* error);

  // Once the program has let go of the tuner: starts the service when the reservations were
  // handed to it or it was stopped for this session. False with the reason in `*error`.
  bool Finish(std::string* error);
  bool starts_at_exit() const { return start_at_exit_; }

 private:
  RecorderService service_;
  bool stopped_for_session_ = false;
  bool start_at_exit_ = false;
};

// "予約が 3 件あります。録画サービスに任せますか？"
std::string HandoffQuestion(size_t pending);

}  // namespace pelkan
