#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "output/recording.h"
#include "platform/event.h"

namespace pelkan {

// A drop-out of the streaming tuner as the capture rides it out: the tuner is marked away, the
// processing thread is asked to break the stream after what the tuner delivered before (the open
// recordings begin a gap there) and waited for, the tuner's return is timed, both are said in the
// log with the local time, and a manual recording in its gap is given up past its stop timer or
// DROPOUT_WAIT. The outputs' gaps themselves are the caller's (CaptureApp). Used by the watch,
// receive and processing threads and the UI thread as each member says.
class TunerDropout {
 public:
  // Where the lines are said (UTF-8); standard error, with the program's name and the local time,
  // when none is set. Set before the capture starts.
  void SetLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }
  // Says `text_utf8` with the local time. Any thread.
  void Log(const std::string& text_utf8) const;

  // True from Lost until Back (or Reset). Any thread.
  bool IsAway() const { return away_.load(std::memory_order_relaxed); }
  // Watch thread: the tuner went away at `now` (tick; `stalled`: silent rather than removed).
  // Asks the processing thread for the break, wakes it with `wake` and waits up to `wait_ms` for
  // BreakMarked, then says it in the log.
  void Lost(uint32_t now, bool stalled, const std::function<void()>& wake, uint32_t wait_ms);
  // Processing thread: true once for each Lost; the stream is then to be broken and BreakMarked
  // called.
  bool TakeBreakRequest() { return break_pending_.exchange(false); }
  // Processing thread: the break is in every output (the watch thread's Lost returns).
  void BreakMarked() { break_done_.Set(); }
  // Receive thread: the tuner delivers again at `now` (tick), after the caller has ended the
  // outputs' gaps; says how long it was away.
  void Back(uint32_t now);
  // A capture starts or stopped: no tuner is away, no break is asked for.
  void Reset();

  // Why a manual recording whose check at `now` (tick) gave `stop` ends as kTunerLost (English,
  // for its report and the last error), nullopt when it goes on: only in its gap (`in_gap`), when
  // no write failed, at its stop timer or when the tuner has been away `dropout_wait_minutes`
  // (DROPOUT_WAIT; 0: no limit).
  std::optional<std::string> GiveUpReason(const RecordingStop& stop, bool in_gap, uint32_t now,
                                          int dropout_wait_minutes) const;

 private:
  std::atomic<bool> away_{false};
  std::atomic<uint32_t> away_tick_{0};  // when the tuner went away
  std::atomic<bool> break_pending_{false};
  platform::Event break_done_{true};
  std::function<void(const std::string&)> log_;
};

}  // namespace pelkan
