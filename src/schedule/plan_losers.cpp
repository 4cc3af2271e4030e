#include "schedule/plan_losers.h"

#include <cstdio>

#include "platform/text_codec.h"
#include "schedule/schedule_texts.h"

namespace pelkan {

namespace {

// "HH:MM" of a programme's start.
std::string StartClock(const ScheduleItem& item) {
  char text[8];
  const uint32_t s = item.start_second % 86400;
  std::snprintf(text, sizeof text, "%02u:%02u", s / 3600, s % 3600 / 60);
  return text;
}

bool Records(const PlanLine& line) {
  return line.verdict == PlanVerdict::kWhole || line.verdict == PlanVerdict::kPart;
}

}  // namespace

std::vector<std::string> PlanLoserTexts(std::span<const ScheduleItem> items, std::span<const PlanRequest> requests,
                                        size_t candidate, const PlanRequest& before) {
  std::vector<std::string> texts;
  if (candidate >= requests.size() || items.size() != requests.size()) return texts;
  std::vector<PlanRequest> without(requests.begin(), requests.end());
  without[candidate] = before;
  const std::vector<PlanLine> was = MakePlan(without);
  const std::vector<PlanLine> will = MakePlan(requests);
  for (size_t i = 0; i < items.size(); ++i) {
    if (i == candidate || !Records(was[i])) continue;
    const PlanLine& w = will[i];
    const int64_t lost_before = was[i].head_lost + was[i].tail_lost;
    std::string what;
    if (w.verdict == PlanVerdict::kNone) {
      what = platform::Sjis(" が録画不可になります");
    } else if (w.verdict == PlanVerdict::kPart && w.head_lost + w.tail_lost > lost_before) {
      // "一部 (終了 10分早め)" without its first word.
      const std::string part = PlanText(w, items);
      const size_t open = part.find('(');
      what = platform::Sjis(" が一部録画になります ") + (open == std::string::npos ? std::string() : part.substr(open));
    } else {
      continue;
    }
    texts.push_back(platform::Sjis("この予約により ") + StartClock(items[i]) + " " + PlanWinnerName(items[i]) + what);
  }
  return texts;
}

}  // namespace pelkan
