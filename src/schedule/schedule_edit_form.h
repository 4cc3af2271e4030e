#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/mjd_time.h"
#include "schedule/schedule_item.h"

namespace pelkan {

// The reservation edit dialog without its widgets: what each control shows and whether it can be
// used, the conversion of an event reservation into a date-time one, and the OK step that turns
// the controls' contents into a reservation or refuses them with the text to show. The desktop
// dialog binds its widgets to this; `pelkan-cli schedule add` fills the same form from its
// options, so both store the same record. Pure functions (BuildScheduleItem also asks the file
// system whether the folder exists); texts of the form are UTF-8, those of the records Shift-JIS.

// Capability bits of the capture device (as core::CDTV_Base::GetCapabilities).
constexpr uint32_t kCanSelectChannel = 1;
constexpr uint32_t kCanSendString = 2;

// One entry of the channel list: its name (UTF-8) and the channel value (item data); -1 for the
// "なし" and "無効" entries.
struct ChannelChoice {
  std::string name;
  int value = -1;
};

// What the capture device offers for a reservation (core's ReadDeviceChannels reads it).
struct DeviceChannels {
  uint32_t capabilities = 0;
  std::vector<ChannelChoice> channels;  // in channel order, without the "なし" entry
};

// Item data of the type list.
constexpr int kEditTypeNone = -1;
constexpr int kEditTypeTime = 0;
constexpr int kEditTypeEvent = 1;

// Item data of the after-end list: "予約削除", "翌日の同じ時間帯に予約", "翌週の同じ時間帯に予約".
constexpr int kAfterEndDelete = 0;
constexpr int kAfterEndDaily = 1;
constexpr int kAfterEndWeekly = 2;

// Which controls can be used.
struct ScheduleEditEnabled {
  bool start = false;           // date and time pickers
  bool duration = false;        // duration picker
  bool channel = false;         // channel list
  bool channel_string = false;  // channel string
  bool service_limit = false;   // "サービスID限定" and its text
  bool after_end = false;       // after-end list
  bool event_id = false;        // event id text
  bool convert = false;         // "日付指定タイプに変換"
  bool output = false;          // folder, "保存ファイルを指定する", file name, extension
  bool margins = false;         // "録画マージン" (開始 … 秒前, 終了 … 秒後) and "優先度"
};

// The contents of the dialog's controls.
struct ScheduleEditForm {
  int type = kEditTypeNone;  // item data of the type list's selection
  // Date-time part. With `start_known` clear the three pickers show "指定なし".
  bool start_known = false;
  int year = 0, month = 0, day = 0;            // date picker
  uint32_t start_second = 0;                   // time picker (seconds of the day)
  uint32_t duration = 0;                       // duration picker; may exceed what the picker shows
  // An event whose length the broadcast leaves undetermined: the duration picker shows "未定".
  bool length_undetermined = false;
  std::vector<ChannelChoice> channel_entries;  // the list's entries, "なし"/"無効" first
  int channel = -1;                            // item data of the selected entry
  std::string channel_string;
  bool service_limit = false;
  std::string service_id_text;
  int after_end = kAfterEndDelete;
  // Event part.
  std::string network_ids;  // "0x%04X/0x%04X/0x%04X": network, stream, service id
  std::string event_id;     // "0x%04X"
  // Output part.
  std::string directory;
  bool file_name_flag = false;
  std::string file_name;
  std::string extension;
  // "録画マージン" and "優先度", of either type of reservation: seconds before and after the
  // programme (0-kMaxMarginSeconds) and the priority (kMinPriority-kMaxPriority).
  int margin_before = kDefaultMarginBefore;
  int margin_after = kDefaultMarginAfter;
  int priority = kDefaultPriority;

  ScheduleEditEnabled enabled;
};

// The dialog's initial contents for `item`; `now` (local time) stands in for the start of a
// date-time reservation that has none. Channel value, repetition and the other options of the
// record are selected, so that OK without a change keeps the reservation as it was.
ScheduleEditForm FormFromItem(const ScheduleItem& item, const DeviceChannels& device, MjdTime now);

// The duration the duration picker shows (EditableDuration of the form's duration).
uint32_t ShownDuration(const ScheduleEditForm& form);

// "日付指定タイプに変換": an event reservation whose event is known becomes a date-time one at the
// event's start and duration; the date-time part becomes usable, the event id does not. Returns
// false (and leaves the form) when the form is not an event reservation with a known start.
bool ConvertToTimeReservation(ScheduleEditForm* form, const DeviceChannels& device);

// The control a refusal puts the focus on.
enum class EditField { kNone, kDirectory, kFileName, kExtension, kEventId };

// OK: the new record, or why not.
struct ScheduleEditResult {
  std::optional<ScheduleItem> item;
  std::string message;  // Shift-JIS text of the refusal's message box (empty caption); may be empty
  EditField field = EditField::kNone;
};

// Builds the reservation the form describes. `opened` is the record the dialog was opened with:
// an event reservation keeps everything of it but a new event id, and a date-time one keeps the
// channel value and string that the device offers no control for. A date-time reservation is
// refused with "パス名が長すぎます" when folder, file name and extension exceed 258 bytes
// together or the recording's path would not fit 259 bytes, and with "無効なパスです。" when the
// folder does not exist, a folder or name has no Shift-JIS form, the file name or extension
// contains '/', or a fixed file name is empty. The file name is broadcast text
// (platform::Utf8ToBroadcast): what the user left of the name as it was shown keeps its bytes, and
// the broadcast's symbols have a form there too. An event id that is not "0x" and hexadecimal digits
// of at most 0xFFFF is refused with "無効なイベントIDです。". Either type takes the form's margins and
// priority, held to their ranges.
ScheduleEditResult BuildScheduleItem(const ScheduleEditForm& form, const ScheduleItem& opened,
                                     const DeviceChannels& device);

// Message texts (Shift-JIS).
std::string PathTooLongText();     // "パス名が長すぎます"
std::string InvalidPathText();     // "無効なパスです。"
std::string InvalidEventIdText();  // "無効なイベントIDです。"
std::string ActiveItemText();      // "録画中のアイテムは編集できません。"
std::string OverlapQuestionText();  // "録画予約時間が重複しています。\n重複予約を強行しますか？"
std::string OverlapCaption();  // "録画予約"

// Shift-JIS of a UTF-8 text when every character has a Shift-JIS form; nothing otherwise.
std::optional<std::string> ExactSjis(std::string_view utf8);

}  // namespace pelkan
