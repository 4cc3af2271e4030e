#include "app/reservation_request.h"

#include <sys/stat.h>

#include <tuple>

#include "app/scheduled_capture.h"
#include "app/settings.h"
#include "guide/programme_resolver.h"
#include "platform/text_codec.h"
#include "schedule/schedule_edit_form.h"
#include "schedule/schedule_edit_item.h"

namespace pelkan {

namespace {

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The record the edit dialog starts from, and the request as the user would set it in the dialog.
struct OpenedForm {
  ScheduleItem item{};
  DeviceChannels device;
  ScheduleEditForm form;
  std::optional<GuideEvent> guide_event;
};

// The margins and priority the request gives, over those the form opened with.
void SetMarginsAndPriority(const ReservationRequest& o, ScheduleEditForm* form) {
  if (o.margin_before) form->margin_before = static_cast<int>(*o.margin_before);
  if (o.margin_after) form->margin_after = static_cast<int>(*o.margin_after);
  if (o.priority) form->priority = static_cast<int>(*o.priority);
}

// `margins` are those of new reservations (the settings').
OpenedForm OpenForm(const ReservationRequest& o, const std::string& directory,
                    std::pair<uint16_t, uint16_t> margins, const std::string& guide_path) {
  const MjdTime now = UnpackMjdTime(LocalMjdTime());
  OpenedForm f;
  if (o.start) {
    // As the list window's 追加 opens it at that time.
    f.item = MakeTimeReservation(directory, 0, nullptr, 0, std::nullopt, *o.start);
    std::tie(f.item.margin_before, f.item.margin_after) = margins;
    f.form = FormFromItem(f.item, f.device, now);
    SetMarginsAndPriority(o, &f.form);
    f.form.duration = static_cast<uint32_t>(o.minutes.value_or(0) * 60);
    f.form.after_end = o.daily ? kAfterEndDaily : o.weekly ? kAfterEndWeekly : kAfterEndDelete;
    if (o.service) {
      f.form.service_limit = true;
      f.form.service_id_text = std::to_string(*o.service);
    }
    if (o.channel) {
      f.device.capabilities |= kCanSelectChannel;
      f.form.channel = static_cast<int>(*o.channel);
    }
    if (o.channel_string) {
      f.device.capabilities |= kCanSendString;
      f.form.channel_string = *o.channel_string;
    }
    if (o.file) {
      f.form.file_name_flag = true;
      f.form.file_name = *o.file;
    }
    return f;
  }
  const auto [sid, eid] = o.event.value_or(std::pair<uint16_t, uint16_t>{0, 0});
  ProgrammeResolver guide(guide_path.empty() ? GuidePath() : guide_path);
  if (ResolvedProgramme programme = guide.Find(sid, eid); programme.in_guide) f.guide_event = std::move(programme.event);
  if (f.guide_event) {
    const GuideEventKey& k = f.guide_event->key;
    f.item = MakeEventReservation(directory, k.original_network_id, k.transport_stream_id, k.service_id,
                                  k.event_id, f.guide_event->title, now);
  } else {
    f.item = MakeEventReservation(directory, 0, 0, sid, eid, std::nullopt, now);
  }
  std::tie(f.item.margin_before, f.item.margin_after) = margins;
  f.form = FormFromItem(f.item, f.device, now);
  SetMarginsAndPriority(o, &f.form);
  return f;
}

}  // namespace

std::optional<std::string> ReservationDirectory(const ReservationRequest& request, const Settings& settings,
                                                std::string* error) {
  const std::string directory = request.dir ? *request.dir : settings.rec_autopath;
  if (directory.empty()) {
    *error =
        "the current directory has a character without a Shift-JIS form and pelkan.ini gives no "
        "REC_AUTOPATH: "
        "give --dir";
    return std::nullopt;
  }
  const std::string directory_utf8 = platform::SjisToUtf8(directory);
  if (!IsDirectory(directory_utf8)) {
    *error = "no such directory: " + directory_utf8;
    return std::nullopt;
  }
  return directory;
}

std::optional<ScheduleItem> BuildReservation(const ReservationRequest& request, const std::string& directory,
                                             const Settings& settings, std::string* error,
                                             const std::string& guide_path) {
  if (directory.size() >= kPathSize) {
    *error = "the directory path is too long";
    return std::nullopt;
  }
  const OpenedForm opened = OpenForm(request, directory, NewReservationMargins(settings), guide_path);
  const ScheduleEditResult built = BuildScheduleItem(opened.form, opened.item, opened.device);
  if (!built.item) {
    const std::string why = platform::SjisToUtf8(built.message);
    *error = why.empty() ? "the reservation cannot be made" : why;
    return std::nullopt;
  }
  ScheduleItem item = *built.item;
  if (opened.guide_event) TakeGuideEvent(*opened.guide_event, &item);
  return item;
}

std::optional<size_t> SameEventReservation(const std::vector<ScheduleItem>& items, const ScheduleItem& item) {
  if ((item.flags & SI_BY_EVENT) == 0) return std::nullopt;
  for (size_t i = 0; i < items.size(); ++i) {
    const ScheduleItem& e = items[i];
    if ((e.flags & SI_BY_EVENT) && e.service_id == item.service_id && e.event_id == item.event_id) return i;
  }
  return std::nullopt;
}

}  // namespace pelkan
