#include "schedule/schedule_edit_form.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "schedule/recording_scheduler.h"
#include "schedule/schedule_edit_item.h"

namespace pelkan {
namespace {

using platform::Sjis;

std::string Utf8(std::string_view sjis) {
  return platform::SjisToUtf8(sjis);
}

// Lead byte of a two-byte Shift-JIS character.
bool IsSjisLead(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// `sjis` cut to at most `max` bytes without splitting a two-byte character.
std::string_view CutSjis(std::string_view sjis, size_t max) {
  size_t n = 0;
  while (n < sjis.size()) {
    const size_t len = IsSjisLead(static_cast<unsigned char>(sjis[n])) && n + 1 < sjis.size() ? 2 : 1;
    if (n + len > max) break;
    n += len;
  }
  return sjis.substr(0, n);
}

bool IsDirectory(const std::string& utf8_path) {
  struct stat st {};
  return !utf8_path.empty() && ::stat(utf8_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// "0x" and hexadecimal digits, blanks around allowed, of at most 0xFFFF.
std::optional<uint16_t> ParseEventId(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return std::nullopt;
  uint32_t value = 0;
  for (char c : text.substr(2)) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * 16 + static_cast<uint32_t>(digit);
    if (value > 0xFFFF) return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

std::vector<ChannelChoice> ChannelEntries(const DeviceChannels& device) {
  if ((device.capabilities & kCanSelectChannel) && !device.channels.empty()) {
    std::vector<ChannelChoice> entries{{"なし", -1}};
    entries.insert(entries.end(), device.channels.begin(), device.channels.end());
    return entries;
  }
  return {{"無効", -1}};
}

bool ChannelListUsable(const DeviceChannels& device) {
  return (device.capabilities & kCanSelectChannel) && !device.channels.empty();
}

ScheduleEditResult Refuse(std::string message, EditField field) {
  ScheduleEditResult r;
  r.message = std::move(message);
  r.field = field;
  return r;
}

void TakeMarginsAndPriority(const ScheduleEditForm& form, ScheduleItem* item) {
  item->margin_before = static_cast<uint16_t>(std::clamp<int>(form.margin_before, 0, kMaxMarginSeconds));
  item->margin_after = static_cast<uint16_t>(std::clamp<int>(form.margin_after, 0, kMaxMarginSeconds));
  item->priority = static_cast<uint8_t>(std::clamp<int>(form.priority, kMinPriority, kMaxPriority));
}

}  // namespace

ScheduleEditForm FormFromItem(const ScheduleItem& item, const DeviceChannels& device, MjdTime now) {
  ScheduleEditForm f;
  const bool by_time = (item.flags & SI_BY_TIME) != 0;
  const bool by_event = !by_time && (item.flags & SI_BY_EVENT) != 0;
  f.channel_entries = {{"無効", -1}};
  f.channel_string = "無効";
  f.network_ids = "0x0000/0x0000/0x0000";
  f.event_id = "0x0000";
  if (!by_time && !by_event) return f;  // no type: only キャンセル can close the dialog

  f.margin_before = item.margin_before;
  f.margin_after = item.margin_after;
  f.priority = item.priority;
  f.enabled.margins = true;
  MjdTime start{item.start_day, item.start_second};
  f.start_known = item.start_day != 0;
  if (by_time && !f.start_known) {
    // A date-time reservation without a date (a hand-edited file) has nothing to show: offer now.
    start = now;
    f.start_known = true;
  }
  if (f.start_known) {
    MjdToDate(start.date, &f.year, &f.month, &f.day);
    f.start_second = start.seconds;
  }
  f.duration = item.duration;

  if (by_time) {
    f.type = kEditTypeTime;
    f.channel_entries = ChannelEntries(device);
    if (ChannelListUsable(device) && (item.flags & SI_CHANNEL_VALUE)) {
      bool listed = false;
      for (const ChannelChoice& c : f.channel_entries) listed = listed || c.value == item.channel_value;
      // A value the device does not list (any more) stays selectable, so it is not lost.
      if (!listed) f.channel_entries.push_back({std::to_string(item.channel_value), item.channel_value});
      f.channel = item.channel_value;
    }
    if (device.capabilities & kCanSendString) f.channel_string = Utf8(GetText(item.channel_string));
    f.after_end = (item.flags & SI_DAILY) ? kAfterEndDaily : (item.flags & SI_WEEKLY) ? kAfterEndWeekly : 0;
    f.enabled.start = f.enabled.duration = true;
    f.enabled.channel = ChannelListUsable(device);
    f.enabled.channel_string = (device.capabilities & kCanSendString) != 0;
    f.enabled.service_limit = f.enabled.after_end = true;
    f.enabled.output = true;
  } else {
    f.type = kEditTypeEvent;
    char text[40];
    std::snprintf(text, sizeof(text), "0x%04X/0x%04X/0x%04X", item.network_id, item.stream_id,
                  item.service_id);
    f.network_ids = text;
    std::snprintf(text, sizeof(text), "0x%04X", item.event_id);
    f.event_id = text;
    f.enabled.event_id = true;
    f.enabled.convert = f.start_known;
    f.length_undetermined = HasUndeterminedLength(item);
  }
  f.service_limit = (item.flags & SI_SERVICE_LIMIT) != 0;
  f.service_id_text = Utf8(GetText(item.service_id_text));
  f.file_name_flag = (item.flags & SI_FILE_NAME) != 0;
  f.directory = Utf8(GetText(item.directory));
  // A name made from a programme title shows the broadcast's symbols, as the list does.
  f.file_name = platform::BroadcastToUtf8(GetText(item.file_name));
  f.extension = Utf8(GetText(item.extension));
  return f;
}

uint32_t ShownDuration(const ScheduleEditForm& form) {
  return EditableDuration(form.duration);
}

bool ConvertToTimeReservation(ScheduleEditForm* form, const DeviceChannels& device) {
  if (form->type != kEditTypeEvent || !form->start_known) return false;
  form->type = kEditTypeTime;
  form->channel_entries = ChannelEntries(device);
  form->channel = -1;
  form->channel_string = (device.capabilities & kCanSendString) ? std::string() : std::string("無効");
  form->after_end = kAfterEndDelete;
  form->duration = ShownDuration(*form);
  form->length_undetermined = false;
  ScheduleEditEnabled& e = form->enabled;
  e = ScheduleEditEnabled{};
  e.start = e.duration = true;
  e.channel = ChannelListUsable(device);
  e.channel_string = (device.capabilities & kCanSendString) != 0;
  e.service_limit = e.after_end = true;
  e.output = true;
  e.margins = true;
  return true;
}

ScheduleEditResult BuildScheduleItem(const ScheduleEditForm& form, const ScheduleItem& opened,
                                     const DeviceChannels& device) {
  if (form.type == kEditTypeEvent) {
    const std::optional<uint16_t> id = ParseEventId(form.event_id);
    if (!id) return Refuse(InvalidEventIdText(), EditField::kEventId);
    ScheduleItem item = opened;
    item.flags &= kItemStateClearMask;
    item.event_id = *id;
    item.start_day = item.start_second = item.duration = 0;
    item.programme_kind = item.programme_version = 0;
    TakeMarginsAndPriority(form, &item);
    ScheduleEditResult r;
    r.item = item;
    return r;
  }
  if (form.type != kEditTypeTime) return {};

  ScheduleItem item{};
  item.flags = SI_BY_TIME;
  // The day number is 16 bits in the file: a date it cannot hold (or one that does not exist) is
  // not taken. The date picker's range keeps to it.
  item.start_day = MjdFromDate(form.year, form.month, form.day);
  int y, mo, d;
  MjdToDate(item.start_day, &y, &mo, &d);
  if (item.start_day == 0 || y != form.year || mo != form.month || d != form.day) return {};
  item.start_second = form.start_second % 86400;
  item.duration = form.duration;

  if (device.capabilities & kCanSelectChannel) {
    if (form.channel != -1) {
      item.flags |= SI_CHANNEL_VALUE;
      item.channel_value = static_cast<uint8_t>(form.channel & 0xFF);
    }
  } else if ((opened.flags & SI_BY_TIME) && (opened.flags & SI_CHANNEL_VALUE)) {
    item.flags |= SI_CHANNEL_VALUE;  // nothing on screen could change it
    item.channel_value = opened.channel_value;
  }
  if (device.capabilities & kCanSendString) {
    item.flags |= SI_CHANNEL_STRING;
    SetText(item.channel_string, CutSjis(platform::Utf8ToSjis(form.channel_string), kChannelStringSize - 1));
  } else if ((opened.flags & SI_BY_TIME) && (opened.flags & SI_CHANNEL_STRING)) {
    item.flags |= SI_CHANNEL_STRING;
    std::memcpy(item.channel_string, opened.channel_string, sizeof(item.channel_string));
  }
  if (form.service_limit) item.flags |= SI_SERVICE_LIMIT;
  SetText(item.service_id_text, CutSjis(platform::Utf8ToSjis(form.service_id_text), kServiceIdTextSize - 1));
  if (form.after_end == kAfterEndDaily) item.flags |= SI_DAILY;
  if (form.after_end == kAfterEndWeekly) item.flags |= SI_WEEKLY;
  if (form.file_name_flag) item.flags |= SI_FILE_NAME;
  TakeMarginsAndPriority(form, &item);

  const std::optional<std::string> dir = ExactSjis(form.directory);
  if (!dir) return Refuse(InvalidPathText(), EditField::kDirectory);
  const std::optional<std::string> name =
      platform::Utf8ToBroadcast(form.file_name, GetText(opened.file_name));
  if (!name) return Refuse(InvalidPathText(), EditField::kFileName);
  const std::optional<std::string> ext = ExactSjis(form.extension);
  if (!ext) return Refuse(InvalidPathText(), EditField::kExtension);
  // The separator the recording's path adds makes 259 of these 258 bytes.
  if (dir->size() + name->size() + ext->size() > kPathSize - 2)
    return Refuse(PathTooLongText(), EditField::kDirectory);
  if (name->find('/') != std::string::npos) return Refuse(InvalidPathText(), EditField::kFileName);
  if (ext->find('/') != std::string::npos) return Refuse(InvalidPathText(), EditField::kExtension);
  if (form.file_name_flag && name->empty()) return Refuse(InvalidPathText(), EditField::kFileName);
  if (!IsDirectory(form.directory)) return Refuse(InvalidPathText(), EditField::kDirectory);
  SetText(item.directory, *dir);
  SetText(item.file_name, *name);
  SetText(item.extension, *ext);
  // Without a fixed name the recording adds its own "/YYYYMMDD-HHMM.ts": check what it will open.
  if (!BuildOutputPath(item)) return Refuse(PathTooLongText(), EditField::kDirectory);
  ScheduleEditResult r;
  r.item = item;
  return r;
}

std::string PathTooLongText() {
  return Sjis("パス名が長すぎます");
}
std::string InvalidPathText() {
  return Sjis("無効なパスです。");
}
std::string InvalidEventIdText() {
  return Sjis("無効なイベントIDです。");
}
std::string ActiveItemText() {
  return Sjis("録画中のアイテムは編集できません。");
}
std::string OverlapQuestionText() {
  return Sjis("録画予約時間が重複しています。\n重複予約を強行しますか？");
}
std::string OverlapCaption() {
  return Sjis("録画予約");
}

std::optional<std::string> ExactSjis(std::string_view utf8) {
  std::string sjis = platform::Utf8ToSjis(utf8);
  if (platform::SjisToUtf8(sjis) != utf8) return std::nullopt;
  return sjis;
}

}  // namespace pelkan
