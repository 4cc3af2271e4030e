#include "app/recorder_handoff.h"

namespace pelkan {

std::string HandoffQuestion(size_t pending) {
  return "予約が " + std::to_string(pending) + " 件あります。録画サービスに任せますか？";
}

RecorderHandoff::QuitPlan RecorderHandoff::PlanQuit(size_t pending) const {
  QuitPlan plan;
  // Stopped for this session: it is started again at the quit and takes the reservations back.
  if (pending == 0 || stopped_for_session_) return plan;
  const RecorderUnitState state = service_.Query();
  if (!state.reachable || !state.installed) {
    plan.line = std::to_string(pending) + " reservations will not be recorded after the quit: " + state.error;
  } else if (!state.Running()) {
    plan.question = HandoffQuestion(pending);
  }
  return plan;
}

bool RecorderHandoff::Answered(Answer answer, std::string* error) {
  if (answer == Answer::kCancel) return false;
  if (answer == Answer::kNo) return true;
  std::string why;
  if (!service_.Enable(&why)) {
    *error = "録画サービスを有効にできませんでした。\n(" + why + ")";
    return false;
  }
  start_at_exit_ = true;
  return true;
}

std::string RecorderHandoff::ConnectQuestion() const {
  if (stopped_for_session_ || !service_.Query().Running()) return {};
  return "録画サービスがチューナーを使っています。\n終了するまで録画サービスを止めて接続しますか？";
}

bool RecorderHandoff::StopForSession(std::string* error) {
  std::string why;
  if (!service_.Stop(&why)) {
    *error = "録画サービスを止められませんでした。\n(" + why + ")";
    return false;
  }
  stopped_for_session_ = true;
  start_at_exit_ = true;
  return true;
}

bool RecorderHandoff::Finish(std::string* error) {
  if (!start_at_exit_) return true;
  start_at_exit_ = false;
  return service_.Start(error);
}

}  // namespace pelkan
