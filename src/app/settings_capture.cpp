#include "app/settings_capture.h"

#include "app/main_window_rules.h"
#include "core/status_text.h"

namespace pelkan {

namespace {

// Both directions walk the same list of fields.
template <typename S, typename C>
void VisitFields(S& s, C& c, void (*copy)(int32_t&, int&), void (*copy_text)(std::string&, std::string&)) {
  copy(s.sorvalink_init, c.sorvalink_init);
  copy(s.arib_b25_proc, c.arib_b25_proc);
  copy(s.rec_autofilename, c.rec_autofilename);
  copy_text(s.rec_autopath, c.rec_autopath);
  copy(s.timer_period, c.timer_period);
  copy(s.rec_time, c.rec_time);
  copy_text(s.network_address, c.network_address);
  copy(s.network_port, c.network_port);
  copy(s.network_send_size, c.network_send_size);
  copy(s.last_channel, c.last_channel);
  copy(s.decode_psi, c.decode_psi);
  copy(s.proc_epg, c.proc_epg);
  copy(s.schedule_use_system_time, c.schedule_use_system_time);
}

}  // namespace

CaptureSettings ToCaptureSettings(const Settings& settings) {
  Settings s = settings;
  CaptureSettings c;
  VisitFields(
      s, c, [](int32_t& from, int& to) { to = from; }, [](std::string& from, std::string& to) { to = from; });
  return c;
}

void StoreCaptureSettings(const CaptureSettings& capture, Settings* settings) {
  CaptureSettings c = capture;
  VisitFields(
      *settings, c, [](int32_t& to, int& from) { to = from; },
      [](std::string& to, std::string& from) { to = from; });
}

bool SwitchOnTableProcessing(CaptureApp& app, Settings* settings, UserMessages& messages) {
  if (app.IsConnected()) {
    messages.Notify(desktop_text::kOptionsWhileConnected, status_text::kCaptionApp);
    return false;
  }
  StoreCaptureSettings(app.settings(), settings);
  settings->decode_psi = 1;
  settings->proc_epg = 1;
  app.settings() = ToCaptureSettings(*settings);
  return true;
}

}  // namespace pelkan
