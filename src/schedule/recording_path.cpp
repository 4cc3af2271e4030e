#include "schedule/recording_path.h"

#include <cstdio>
#include <string_view>

#include "base/mjd_time.h"
#include "platform/broadcast_text.h"

namespace pelkan {

std::string RecordingFileName(const ScheduleItem& item) {
  std::string name;
  if (item.flags & SI_FILE_NAME) {
    name = GetText(item.file_name);
    const size_t slash = name.rfind('/');
    const std::string_view last =
        slash == std::string::npos ? std::string_view(name) : std::string_view(name).substr(slash + 1);
    const size_t dot = last.rfind('.');
    const bool has_extension =
        dot != std::string_view::npos && last.find_first_not_of(' ', dot + 1) != std::string_view::npos;
    if (!has_extension) {
      const std::string_view ext = GetText(item.extension);
      name += ext.empty() ? std::string_view(".ts") : ext;
    }
  } else {
    int y, mo, d, h, mi, s;
    MjdToDate(item.start_day, &y, &mo, &d);
    SecondsToHms(item.start_second, &h, &mi, &s);
    char stamp[64];
    std::snprintf(stamp, sizeof(stamp), "%04d%02d%02d-%02d%02d", y, mo, d, h, mi);
    name = stamp;
    if ((item.flags & SI_BY_EVENT) != 0) {
      name += "-";
      name += GetText(item.title);
    }
    name += ".ts";
  }
  return name;
}

std::optional<std::string> BuildOutputPath(const ScheduleItem& item) {
  if (!(item.flags & SI_FILE_NAME) && (item.flags & SI_BY_EVENT) != 0 &&
      GetText(item.title).find('/') != std::string_view::npos)
    return std::nullopt;
  std::string path(GetText(item.directory));
  if (!path.empty() && path.back() != '/') path += '/';
  // The file itself gets the plain forms of the broadcast's symbols ("[字]"), which every file
  // system and terminal can show.
  path += platform::BroadcastToPlainSjis(RecordingFileName(item));
  if (path.size() > kPathSize - 1) return std::nullopt;
  return path;
}

}  // namespace pelkan
