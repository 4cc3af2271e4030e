#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "schedule/recording_plan.h"
#include "schedule/schedule_item.h"

namespace pelkan {

// The texts that describe a reservation in the reservation list, one per column, in Shift-JIS.
// Pure functions; safe from any thread.

// State text: "[ 録画準備中 ]", "[ 録画中 ]", "[ 終了 ]", "[ エラー ]", "[ 無効 ]", "[ キャンセル ]",
// "[ 番組なし ]";
// empty for ST_WAITING and for values without a text.
std::string StateText(uint32_t state);
// Column 0: "日付" or "イベント" (empty when neither type bit is set), then the state text.
std::string ItemTypeText(const ScheduleItem& item);
// Column 1: "YYYY年MM月DD日(曜) HH時MM分SS秒", or "不明(ID=nnnn:ssss:vvvv:eeee)" without a start day.
std::string ItemStartText(const ScheduleItem& item);
// Column 2: "HH 時間 MM 分 SS 秒" (hours not reduced modulo 24), "不明" without a start day, "未定"
// for an event whose length the broadcast leaves undetermined (HasUndeterminedLength).
std::string ItemDurationText(const ScheduleItem& item);
// "未定": the length of such an event, in the list and the edit dialog.
std::string UndeterminedLengthText();
// The tool tip of "未定": how long such an event is followed, `follow_limit` seconds at most:
// "長さ未定の番組: 放送が終わるまで録画します (最長で開始から 3時間00分)".
std::string UndeterminedLengthToolTip(uint32_t follow_limit);
// Column 3: "[毎日]", "[毎週]", "[チャンネル設定=%d]", "[チャンネル文字列=%s]", "[サービスID=%s]",
// "[ファイル名指定]" for the options set, in that order.
std::string ItemDetailText(const ScheduleItem& item);
// The margins and priority of a reservation that does not have the defaults of the file, each
// only when it differs: "[マージン=30秒前/60秒後][優先度=5]".
std::string ItemMarginPriorityText(const ScheduleItem& item);
// Column 4: the name of the reservation's file (RecordingFileName), empty for an event reservation
// whose event is not known yet. Broadcast text: a programme title in it keeps its symbols.
std::string ItemFileNameText(const ScheduleItem& item);
// The reservation list's two choices with their counts: "録画予約(3件)", or "録画終了(0件)" for
// the finished ones.
std::string ListChoiceText(bool finished, size_t count);
// Column "録画予定": what the plan does with the reservation. "全体"; "一部 (開始 N分遅れ)",
// "一部 (終了 N分早め)" or both, "一部 (開始 N分遅れ、終了 M分早め)" (minutes rounded up); "録画不可
// (NAME と重複)" naming the winner (PlanWinnerName); empty while its time is not known.
// `items` are the reservations the plan was made of, in its order.
std::string PlanText(const PlanLine& line, std::span<const ScheduleItem> items);
// The name of a reservation in the plan's texts: its title, else its file name.
std::string PlanWinnerName(const ScheduleItem& item);
// The tool tip of a reservation that loses time: a line per winner, "HH:MM:SS-HH:MM:SS NAME が録画".
std::string PlanToolTip(const PlanLine& line, std::span<const ScheduleItem> items,
                        std::span<const PlanLine> lines);
// Weekday name of an MJD: day mod 7, 0 = "水".
std::string WeekdayName(uint32_t mjd);

// The scheduler's status-bar texts (Shift-JIS, at most 79 bytes).
namespace schedule_status {
// "予約録画準備中"
std::string Preparing();
// "予約録画中(N MB 残N MB)": megabytes written and free.
std::string Recording(uint64_t bytes_written, uint64_t free_bytes);
// "イベント情報取得待ち": the first reservation's event time is not known yet.
std::string WaitingForEvent();
// The time until the first reservation starts, `seconds` from now: "録画開始まであとNN秒" within a
// minute, "録画開始まであとM:SS" within a day, else "1日以内に予約はありません".
std::string UntilStart(int64_t seconds);
}  // namespace schedule_status

}  // namespace pelkan
