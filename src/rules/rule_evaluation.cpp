#include "rules/rule_evaluation.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "base/mjd_time.h"
#include "platform/text_codec.h"
#include "rules/rule_text.h"

namespace pelkan {
namespace {

std::string DateText(GuideTime t) {
  int y = 0, m = 0, d = 0;
  MjdToDate(static_cast<uint32_t>(t / 86400), &y, &m, &d);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, m, d);
  return text;
}

std::string Replace(std::string text, std::string_view from, std::string_view to) {
  for (size_t i = 0; (i = text.find(from, i)) != std::string::npos; i += to.size()) text.replace(i, from.size(), to);
  return text;
}

}  // namespace

std::string EpisodeLabel(uint16_t episode_number) {
  return episode_number != 0 ? "第" + std::to_string(episode_number) + "話" : std::string();
}

std::string RuleMatchReason(const RuleMatch& m) {
  switch (m.verdict) {
    case RuleVerdict::kReserve:
      return m.no_episode ? "回の情報なし: 毎回録画" : "予約する";
    case RuleVerdict::kReserved:
      return "予約済み";
    case RuleVerdict::kDuplicate:
      return "同じ回の放送が先にあります";
    case RuleVerdict::kRecorded: {
      const std::string label = EpisodeLabel(m.recorded_episode);
      return "録画済み " + (label.empty() ? std::string() : label + " ") + DateText(m.recorded_start);
    }
    case RuleVerdict::kDeleted:
      return "手動で削除済み";
    case RuleVerdict::kOutside:
      return "期間外";
  }
  return {};
}

std::string RestoredReservationsText(int count) {
  return "予約ファイルが壊れていたか置き換えられたため、自動予約の予約を " + std::to_string(count) +
         " 件作り直しました。";
}

std::string_view RuleVerdictName(RuleVerdict verdict) {
  switch (verdict) {
    case RuleVerdict::kReserve:
      return "reserve";
    case RuleVerdict::kReserved:
      return "reserved";
    case RuleVerdict::kDuplicate:
      return "duplicate";
    case RuleVerdict::kRecorded:
      return "recorded";
    case RuleVerdict::kDeleted:
      return "deleted";
    case RuleVerdict::kOutside:
      return "outside";
  }
  return "";
}

uint64_t RuleContext::Id(const GuideEventKey& k) {
  return uint64_t{k.original_network_id} << 48 | uint64_t{k.transport_stream_id} << 32 |
         uint64_t{k.service_id} << 16 | k.event_id;
}

RuleContext::RuleContext(const std::vector<ScheduleItem>& reservations, const std::vector<RecordedEpisode>& recorded,
                         const std::vector<RuleMark>& marks) {
  for (const ScheduleItem& item : reservations) AddReservation(item);
  // The first recording of an episode is the one told.
  for (const RecordedEpisode& r : recorded) {
    by_episode_.try_emplace(r.episode_key, r);
    by_title_.try_emplace(r.title_key, r);
  }
  for (const RuleMark& m : marks) marks_[Id(m.key)] = m;
}

void RuleContext::AddReservation(const ScheduleItem& item) {
  if ((item.flags & SI_BY_EVENT) == 0) return;
  reservations_.push_back(item);
  by_event_[Id({item.network_id, item.stream_id, item.service_id, item.event_id})] = reservations_.size() - 1;
}

const ScheduleItem* RuleContext::Reservation(const GuideEventKey& key) const {
  const auto it = by_event_.find(Id(key));
  return it == by_event_.end() ? nullptr : &reservations_[it->second];
}

const RecordedEpisode* RuleContext::Recorded(std::string_view key, RuleDedup dedup) const {
  const auto& map = dedup == RuleDedup::kTitle ? by_title_ : by_episode_;
  if (map.empty()) return nullptr;
  const auto it = map.find(std::string(key));
  return it == map.end() ? nullptr : &it->second;
}

const RuleMark* RuleContext::Mark(const GuideEventKey& key) const {
  const auto it = marks_.find(Id(key));
  return it == marks_.end() ? nullptr : &it->second;
}

void RuleContext::AddRunning(std::string episode_key, std::string title_key) {
  running_episodes_.push_back(std::move(episode_key));
  running_titles_.push_back(std::move(title_key));
}

std::vector<RuleHit> MatchRule(const RuleMatcher& matcher, FoldedGuide& events) {
  const ReservationRule& rule = matcher.rule();
  std::vector<RuleHit> out;
  // A rule of the title looks only at the titles holding its needle (its longest word, or the text
  // its regular expression starts with).
  std::vector<size_t> candidates;
  const bool by_title = rule.scope == RuleTextScope::kTitle && matcher.valid() && !matcher.needle().word().empty();
  if (by_title) candidates = events.TitlesHolding(matcher.needle());
  const size_t count = by_title ? candidates.size() : events.size();
  for (size_t n = 0; n < count && matcher.stopped().empty(); ++n) {
    const size_t index = by_title ? candidates[n] : n;
    if (const std::optional<uint32_t> day = matcher.Match(events[index])) out.push_back({index, *day});
  }
  return out;
}

std::vector<RuleMatch> JudgeRule(const RuleMatcher& matcher, const std::vector<RuleHit>& hits,
                                 FoldedGuide& events, const RuleContext& context) {
  const ReservationRule& rule = matcher.rule();
  std::vector<RuleMatch> out;
  // Episodes reserved, or to be, at an earlier airing, and those recording now.
  std::unordered_set<std::string_view> taken;
  if (rule.dedup != RuleDedup::kOff)
    taken.insert(context.Running(rule.dedup).begin(), context.Running(rule.dedup).end());
  for (const RuleHit& hit : hits) {
    FoldedEvent& folded = events[hit.index];
    const GuideEvent& e = folded.event();
    RuleMatch m;
    m.event = &e;
    std::string_view key;
    if (rule.dedup == RuleDedup::kTitle) {
      key = folded.TitleKeyOf();
    } else if (rule.dedup == RuleDedup::kEpisode) {
      // A programme that tells no episode (news, a daily show) is not the same episode as another
      // airing of its title: each is recorded.
      m.no_episode = !(e.series_id >= 0 && e.episode_number != 0) && !HasEpisodeMark(folded.Title());
      if (!m.no_episode) key = folded.EpisodeKeyOf();
    }
    const RuleMark* mark = context.Mark(e.key);
    if (context.Reservation(e.key) != nullptr) {
      m.verdict = RuleVerdict::kReserved;
    } else if (!matcher.InPeriod(hit.day)) {
      m.verdict = RuleVerdict::kOutside;
    } else if (mark != nullptr && mark->forced) {
      m.verdict = RuleVerdict::kReserve;
    } else if (const RecordedEpisode* recorded = key.empty() ? nullptr : context.Recorded(key, rule.dedup)) {
      m.verdict = RuleVerdict::kRecorded;
      m.recorded_start = recorded->start;
      m.recorded_episode = recorded->episode_number;
    } else if (mark != nullptr && !context.LostWithFile(*mark)) {
      // Marked as made by a rule, yet not in the list of the file it went into: the user deleted it.
      m.verdict = RuleVerdict::kDeleted;
    } else if (!key.empty() && taken.count(key) != 0) {
      m.verdict = RuleVerdict::kDuplicate;
    } else {
      m.verdict = RuleVerdict::kReserve;
      m.lost = mark != nullptr;
    }
    if (!key.empty() && (m.verdict == RuleVerdict::kReserve || m.verdict == RuleVerdict::kReserved)) taken.insert(key);
    out.push_back(m);
  }
  return out;
}

std::vector<RuleMatch> EvaluateRule(const RuleMatcher& matcher, FoldedGuide& events,
                                    const RuleContext& context) {
  return JudgeRule(matcher, MatchRule(matcher, events), events, context);
}

ScheduleItem RuleReservation(const ReservationRule& rule, const GuideEvent& e, std::string_view default_directory) {
  ScheduleItem item{};
  item.flags = SI_BY_EVENT | SI_SERVICE_LIMIT;
  item.network_id = e.key.original_network_id;
  item.stream_id = e.key.transport_stream_id;
  item.service_id = e.key.service_id;
  item.event_id = e.key.event_id;
  SetText(item.service_id_text, std::to_string(e.key.service_id));
  SetText(item.directory, rule.directory.empty() ? std::string(default_directory) : platform::Utf8ToSjis(rule.directory));
  SetText(item.title, e.title);
  SetText(item.extension, ".ts");
  if (rule.file_template.empty()) {
    SetText(item.file_name, e.title);
  } else {
    int y = 0, mo = 0, d = 0;
    MjdToDate(static_cast<uint32_t>(e.start / 86400), &y, &mo, &d);
    const int second = static_cast<int>(e.start % 86400);
    char date[16], time[8];
    std::snprintf(date, sizeof date, "%04d%02d%02d", y, mo, d);
    std::snprintf(time, sizeof time, "%02d%02d", second / 3600, second / 60 % 60);
    std::string name = platform::Utf8ToSjis(rule.file_template);
    // A '/' of the title would lead the file into another folder: it becomes a full-width one.
    name = Replace(name, "{title}", Replace(e.title, "/", platform::Sjis("／")));
    name = Replace(name, "{date}", date);
    name = Replace(name, "{time}", time);
    name = Replace(name, "{episode}", e.episode_number != 0 ? std::to_string(e.episode_number) : "");
    name = Replace(name, "{service}", std::to_string(e.key.service_id));
    SetText(item.file_name, name);
    item.flags |= SI_FILE_NAME;
  }
  item.margin_before = rule.margin_before;
  item.margin_after = rule.margin_after;
  item.priority = rule.priority;
  item.rule_id = rule.id;
  return item;
}

}  // namespace pelkan
