#include "schedule/schedule_texts.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "platform/text_codec.h"
#include "schedule/recording_scheduler.h"

namespace pelkan {
namespace {

using platform::Sjis;

std::string Format(const char* sjis_format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* sjis_format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, sjis_format);
  const int n = std::vsnprintf(buf, sizeof(buf), sjis_format, ap);
  va_end(ap);
  if (n < 0) return std::string();
  return std::string(buf, static_cast<size_t>(n) < sizeof(buf) ? static_cast<size_t>(n) : sizeof(buf) - 1);
}

}  // namespace

std::string StateText(uint32_t state) {
  switch (state) {
    case ST_PREPARING:
      return Sjis("[ 録画準備中 ]");
    case ST_RECORDING:
      return Sjis("[ 録画中 ]");
    case ST_FINISHED:
      return Sjis("[ 終了 ]");
    case ST_ERROR:
      return Sjis("[ エラー ]");
    case ST_INVALID:
      return Sjis("[ 無効 ]");
    case ST_CANCELLED:
      return Sjis("[ キャンセル ]");
    case ST_GONE:
      return Sjis("[ 番組なし ]");
    default:
      return std::string();
  }
}

std::string ItemTypeText(const ScheduleItem& item) {
  std::string text;
  if (item.flags & SI_BY_TIME) {
    text = Sjis("日付");
  } else if (item.flags & SI_BY_EVENT) {
    text = Sjis("イベント");
  }
  return text + StateText(ItemState(item));
}

std::string WeekdayName(uint32_t mjd) {
  static const char* const kNames[7] = {"水", "木", "金", "土", "日", "月", "火"};
  return Sjis(kNames[mjd % 7]);
}

std::string ItemStartText(const ScheduleItem& item) {
  if (item.start_day == 0) {
    return Format("%s(ID=%04X:%04X:%04X:%04X)", Sjis("不明").c_str(), item.network_id, item.stream_id,
                  item.service_id, item.event_id);
  }
  int y, mo, d, h, mi, s;
  MjdToDate(item.start_day, &y, &mo, &d);
  SecondsToHms(item.start_second, &h, &mi, &s);
  const std::string f = Sjis("%04d年%02d月%02d日(%s) %02d時%02d分%02d秒");
  return Format(f.c_str(), y, mo, d, WeekdayName(item.start_day).c_str(), h, mi, s);
}

std::string ItemDurationText(const ScheduleItem& item) {
  if (item.start_day == 0) return Sjis("不明");
  if (HasUndeterminedLength(item)) return UndeterminedLengthText();
  int h, m, s;
  SecondsToHms(item.duration, &h, &m, &s);
  const std::string f = Sjis("%02d 時間 %02d 分 %02d 秒");
  return Format(f.c_str(), h, m, s);
}

std::string UndeterminedLengthText() {
  return Sjis("未定");
}

std::string UndeterminedLengthToolTip(uint32_t follow_limit) {
  const std::string f = Sjis("長さ未定の番組: 放送が終わるまで録画します (最長で開始から %u時間%02u分)");
  return Format(f.c_str(), follow_limit / 3600, follow_limit % 3600 / 60);
}

std::string ItemDetailText(const ScheduleItem& item) {
  std::string text;
  if (item.flags & SI_DAILY) text += Sjis("[毎日]");
  if (item.flags & SI_WEEKLY) text += Sjis("[毎週]");
  if (item.flags & SI_CHANNEL_VALUE) text += Format(Sjis("[チャンネル設定=%d]").c_str(), item.channel_value);
  if (item.flags & SI_CHANNEL_STRING) {
    text += Sjis("[チャンネル文字列=") + std::string(GetText(item.channel_string)) + "]";
  }
  if (item.flags & SI_SERVICE_LIMIT) {
    text += Sjis("[サービスID=") + std::string(GetText(item.service_id_text)) + "]";
  }
  if (item.flags & SI_FILE_NAME) text += Sjis("[ファイル名指定]");
  return text;
}

std::string ItemMarginPriorityText(const ScheduleItem& item) {
  std::string text;
  if (item.margin_before != kDefaultMarginBefore || item.margin_after != kDefaultMarginAfter) {
    text += Format(Sjis("[マージン=%u秒前/%u秒後]").c_str(), unsigned{item.margin_before}, unsigned{item.margin_after});
  }
  if (item.priority != kDefaultPriority) text += Format(Sjis("[優先度=%u]").c_str(), unsigned{item.priority});
  return text;
}

std::string ItemFileNameText(const ScheduleItem& item) {
  if (!(item.flags & SI_FILE_NAME) && !HasStart(item)) return std::string();
  return RecordingFileName(item);
}

std::string ListChoiceText(bool finished, size_t count) {
  return Sjis(finished ? "録画終了(" : "録画予約(").append(std::to_string(count)).append(Sjis("件)"));
}

std::string PlanWinnerName(const ScheduleItem& item) {
  if (!GetText(item.title).empty()) return std::string(GetText(item.title));
  return RecordingFileName(item);
}

namespace {

int64_t MinutesUp(int64_t seconds) {
  return (seconds + 59) / 60;
}

std::string WinnerOf(int by, std::span<const ScheduleItem> items) {
  if (by < 0 || static_cast<size_t>(by) >= items.size()) return std::string();
  return PlanWinnerName(items[static_cast<size_t>(by)]);
}

std::string ClockText(int64_t instant) {
  const int64_t s = ((instant % 86400) + 86400) % 86400;
  return Format("%02d:%02d:%02d", static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                static_cast<int>(s % 60));
}

}  // namespace

std::string PlanText(const PlanLine& line, std::span<const ScheduleItem> items) {
  switch (line.verdict) {
    case PlanVerdict::kUnknown:
      return std::string();
    case PlanVerdict::kWhole:
      return Sjis("全体");
    case PlanVerdict::kNone:
      return Sjis("録画不可 (") + WinnerOf(line.by, items) + Sjis(" と重複)");
    case PlanVerdict::kPart:
      break;
  }
  std::string text = Sjis("一部 (");
  if (line.head_lost > 0) text += Format(Sjis("開始 %d分遅れ").c_str(), static_cast<int>(MinutesUp(line.head_lost)));
  if (line.head_lost > 0 && line.tail_lost > 0) text += Sjis("、");
  if (line.tail_lost > 0) text += Format(Sjis("終了 %d分早め").c_str(), static_cast<int>(MinutesUp(line.tail_lost)));
  return text + ")";
}

std::string PlanToolTip(const PlanLine& line, std::span<const ScheduleItem> items,
                        std::span<const PlanLine> lines) {
  std::string text;
  for (const int by : {line.verdict == PlanVerdict::kNone ? line.by : line.head_by, line.tail_by}) {
    if (by < 0 || static_cast<size_t>(by) >= lines.size()) continue;
    const PlanLine& w = lines[static_cast<size_t>(by)];
    if (!text.empty()) text += "\n";
    text += ClockText(w.start) + "-" + ClockText(w.end) + " " + WinnerOf(by, items) + Sjis(" が録画");
  }
  return text;
}

namespace schedule_status {

std::string Preparing() {
  return Sjis("予約録画準備中");
}

std::string Recording(uint64_t bytes_written, uint64_t free_bytes) {
  char buf[160];
  const std::string f = Sjis("予約録画中(%" PRIu64 "MB 残%" PRIu64 " MB)");
  std::snprintf(buf, sizeof(buf), f.c_str(), bytes_written >> 20, free_bytes >> 20);
  return buf;
}

std::string WaitingForEvent() {
  return Sjis("イベント情報取得待ち");
}

std::string UntilStart(int64_t seconds) {
  char buf[160];
  if (seconds <= 60) {
    std::snprintf(buf, sizeof(buf), Sjis("録画開始まであと%02d秒").c_str(),
                  static_cast<int>(std::max<int64_t>(seconds, INT32_MIN)));
  } else if (seconds >= 86400) {
    return Sjis("1日以内に予約はありません");
  } else {
    std::snprintf(buf, sizeof(buf), Sjis("録画開始まであと%d:%02d").c_str(), static_cast<int>(seconds / 60),
                  static_cast<int>(seconds % 60));
  }
  return buf;
}

}  // namespace schedule_status

}  // namespace pelkan
