#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/capture_stats.h"
#include "base/mjd_time.h"
#include "core/save_path_provider.h"
#include "core/settings.h"
#include "core/status_text.h"
#include "core/user_messages.h"
#include "output/recording.h"
#include "output/recording_report.h"
#include "platform/listener_list.h"
#include "platform/sleep_inhibitor.h"
#include "ts/stream_listener.h"

namespace pelkan {

class CaptureApp;
class TunerDropout;

// The manual recording of a capture ("録画開始"): its file from the start to the report, its stop
// timer, the stops that end it on their own (the timer, a failed write, a removed folder, a nearly
// full disk, a tuner that stayed away) and the listeners of its end. It hears processor output 0
// and the stream's breaks on the capture's bus; the capture's status refresh applies its stops and
// takes its texts (Refresh). CaptureApp is its front (ToggleRecording and the status texts).
//
// Threads: the packets and the break on the processing thread, the resume on the receive thread;
// everything else on the owning (UI) thread, under the capture's application lock.
class ManualRecording : public StreamListener {
 public:
  static constexpr uint32_t kRecorderBlock = 0x100000;

  // `capture` gives the figures a report follows, the services on air and the programme look-ups;
  // `settings` the automatic naming (REC_AUTOFILENAME, REC_AUTOPATH), the stop timer (REC_TIME,
  // written when a start takes the stop-timer edit) and DROPOUT_WAIT; `last_error` takes the
  // reason of a failure (English). All outlive the recording.
  ManualRecording(CaptureApp& capture, const TunerDropout& dropout, Settings& settings, UserMessages* messages,
                  std::string& last_error);
  // Stops a running recording (its report is written).
  ~ManualRecording() override;
  ManualRecording(const ManualRecording&) = delete;
  ManualRecording& operator=(const ManualRecording&) = delete;

  void SetSavePathProvider(SavePathProvider* provider) { save_path_ = provider; }
  void SetTickSource(std::function<uint32_t()> tick) { tick_ = std::move(tick); }
  void SetFreeSpaceQuery(std::function<bool(const std::string&, uint64_t*)> query) {
    free_space_query_ = std::move(query);
  }
  // Runs `listener` after each recording has stopped and its report was written, with its file
  // (UTF-8, as created) and totals, after the listeners added before it. Returns the id that
  // removes it. Owning thread.
  using EndFn = platform::ListenerList<std::string, RecordingSummary>::Fn;
  int AddEndListener(EndFn listener) { return end_listeners_.Add(std::move(listener)); }
  void RemoveEndListener(int id) { end_listeners_.Remove(id); }

  // Starts a recording as CaptureApp::ToggleRecording describes; true when recording afterwards.
  bool Start(const std::string& path, std::optional<int> stop_minutes, bool replace);
  // The user's stop: closes the file and writes its report; a failed write is told.
  void StopByUser();
  // Closes the file and writes its report (saying `how`, or that a write failed: `error` is the
  // errno when the recorder has none). False when a write of the file failed (the file lacks data).
  bool Stop(RecordingEnd how = RecordingEnd::kComplete, int error = 0);
  // Takes the capture's figures into the running recording's report before they are zeroed.
  void NoteDisconnect();

  bool IsRecording() const { return recording_ != nullptr; }
  std::string Path() const { return recording_ ? recording_->path() : std::string(); }
  uint64_t BytesWritten() const { return recording_ ? recording_->BytesWritten() : 0; }
  // "+10分": see CaptureApp::ExtendStopTimer.
  int ExtendStopTimer(int edit_minutes);
  void ArmStopTimer(uint32_t ms);
  std::optional<uint32_t> StopDeadline() const { return recording_ ? recording_->deadline() : std::nullopt; }
  const std::optional<RecordingSummary>& Last() const { return last_; }

  // The status refresh at `now` (tick): applies the stops (the recording may end here, saying so),
  // notes the programmes on air at `broadcast_now` (date 0: unknown) in the report, and fills the
  // free-space text and the status bar's parts 1 and 2 of `s`.
  void Refresh(uint32_t now, MjdTime broadcast_now, StatusSnapshot& s);

  // StreamListener: output 0 into the file; the break and the return of the tuner as its gap.
  void OnPacket(uint16_t output, const uint8_t* packet, uint32_t length) override;
  void OnPackets(uint16_t output, const uint8_t* packets, uint32_t length, uint32_t packet_size) override;
  void OnStreamBreak() override;
  void OnStreamResume() override;

 private:
  std::string AutomaticPath(bool* failed) const;
  // The recording gives up when the tuner has been away past its stop timer or the wait. True when
  // it ended.
  bool GiveUp(const RecordingStop& stop, uint32_t now);
  // Notes every service's name and programme on air at broadcast time `now` in the report.
  void NoteServicesOnAir(MjdTime now);
  // What the report was last told of a service, as the broadcast wrote it: a name and a programme
  // that stay are not converted and told again at every refresh. Owning thread; one recording's.
  struct Noted {
    std::string name;
    std::optional<std::string> title;
  };
  std::map<uint16_t, Noted> noted_;

  CaptureApp& capture_;
  const TunerDropout& dropout_;
  Settings& settings_;
  UserMessages* messages_;
  std::string& last_error_;
  SavePathProvider* save_path_ = nullptr;
  std::function<uint32_t()> tick_;
  std::function<bool(const std::string&, uint64_t*)> free_space_query_;
  platform::ListenerList<std::string, RecordingSummary> end_listeners_;
  // Guards recording_ against the processing thread's packets; the owning thread alone replaces it.
  mutable std::mutex mutex_;
  std::unique_ptr<Recording> recording_;
  std::optional<RecordingSummary> last_;
  // Keeps the computer awake while the recording runs.
  platform::SleepInhibitor awake_;
};

}  // namespace pelkan
