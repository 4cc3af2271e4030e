#include "core/tuner_dropout.h"

#include <cerrno>
#include <cstdio>

#include "core/dtv_ezusb_fx2.h"
#include "core/status_text.h"
#include "platform/clock.h"
#include "platform/text_codec.h"

namespace pelkan {

void TunerDropout::Log(const std::string& text_utf8) const {
  if (log_) {
    log_(text_utf8);
    return;
  }
  const platform::CalendarTime c = platform::LocalTimeNow();
  std::fprintf(stderr, "%s: %04d-%02d-%02d %02d:%02d:%02d %s\n", program_invocation_short_name, c.year,
               c.month, c.day, c.hour, c.minute, c.second, text_utf8.c_str());
}

void TunerDropout::Lost(uint32_t now, bool stalled, const std::function<void()>& wake, uint32_t wait_ms) {
  away_tick_.store(now);
  away_.store(true);
  // The processing thread feeds what the tuner delivered before, then marks the gap; the tuner's
  // next bytes (once it is back) come only after this returns.
  break_done_.Reset();
  break_pending_.store(true);
  wake();
  break_done_.Wait(wait_ms);
  std::string line = status_text::kTunerAwayUtf8;
  line += stalled ? " (no data for " + std::to_string(core::CDTV_EzUSBFX2::kStallMs / 1000) + " s)"
                  : std::string(" (removed)");
  Log(line);
}

void TunerDropout::Back(uint32_t now) {
  const uint32_t away_ms = now - away_tick_.load();
  away_.store(false);
  std::string line = platform::SjisToUtf8(status_text::kTunerBack);
  line += " (away " + FormatMinutesSeconds(away_ms / 1000) + ")";
  Log(line);
}

void TunerDropout::Reset() {
  away_.store(false);
  break_pending_.store(false);
}

std::optional<std::string> TunerDropout::GiveUpReason(const RecordingStop& stop, bool in_gap, uint32_t now,
                                                      int dropout_wait_minutes) const {
  if (!in_gap || stop.error != 0) return std::nullopt;
  const uint32_t away_ms = now - away_tick_.load();
  const bool waited_out =
      dropout_wait_minutes > 0 && away_ms >= static_cast<uint32_t>(dropout_wait_minutes) * 60000u;
  if (stop.kind != RecordingStop::Kind::kTimerReached && !waited_out) return std::nullopt;
  return "the tuner dropped out " + FormatMinutesSeconds(away_ms / 1000) + " ago and was not back " +
         (stop.kind == RecordingStop::Kind::kTimerReached
              ? std::string("by the stop time")
              : "within DROPOUT_WAIT (" + std::to_string(dropout_wait_minutes) + " min)");
}

}  // namespace pelkan
