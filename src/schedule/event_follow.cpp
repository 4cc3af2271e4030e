#include "schedule/event_follow.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace pelkan {

bool IsOpenEnded(const ProgrammeEvent& ev) {
  return ev.duration == kUndefinedDuration || ev.duration > kMaxRecordSeconds;
}

bool TakeOverEvent(ScheduleItem* item, const ProgrammeEvent& ev, bool with_title) {
  if (ev.kind == item->programme_kind && ev.version == item->programme_version) return false;
  item->programme_kind = ev.kind;
  item->programme_version = ev.version;
  if (with_title) SetText(item->title, std::string_view(ev.title, ::strnlen(ev.title, sizeof(ev.title))));
  item->start_day = ev.start_day;
  item->start_second = ev.start_second;
  item->duration = IsOpenEnded(ev) ? kMaxRecordSeconds : ev.duration;
  return true;
}

std::optional<uint32_t> LengthUntilNextProgramme(const ScheduleItem& item, const ProgrammeEvent& next,
                                                 MjdTime now) {
  if (next.event_id == item.event_id) return std::nullopt;
  const int64_t next_start = int64_t{next.start_day} * 86400 + next.start_second;
  if (next_start <= ItemStart(item) || next_start > Instant(now)) return std::nullopt;
  return static_cast<uint32_t>(std::min<int64_t>(next_start - ItemStart(item), kMaxRecordSeconds));
}

namespace {

// How far past now a programme still on air (or awaited) is planned: re-decided at every tick.
constexpr int64_t kHoldSeconds = 10;

int64_t StartOf(const ProgrammeEvent& ev) {
  return int64_t{ev.start_day} * 86400 + ev.start_second;
}

std::string Clock(int64_t instant) {
  const int64_t s = ((instant % 86400) + 86400) % 86400;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                static_cast<int>(s % 60));
  return buf;
}

std::string Seconds(int64_t n) {
  return std::to_string(n) + " s";
}

}  // namespace

FollowSpan FollowEvent(const ScheduleItem& item, FollowState* st, const FollowFacts& f) {
  FollowSpan span;
  const int64_t now = f.now;
  const int64_t start = ItemStart(item);
  const bool open = f.event ? IsOpenEnded(*f.event) : item.duration >= kMaxRecordSeconds;
  // A new version of the tables that moves the programme is one decision each for its start and end.
  if (st->last_start && *st->last_start != start) {
    span.notes.push_back("start moved from " + Clock(*st->last_start) + " to " + Clock(start) + " by the tables");
  }
  st->last_start = start;
  if (!open && st->last_told_end && *st->last_told_end != ItemEnd(item)) {
    span.notes.push_back("end moved from " + Clock(*st->last_told_end) + " to " + Clock(ItemEnd(item)) +
                         " by the tables");
  }
  if (!open) st->last_told_end = ItemEnd(item);
  const int64_t told_end = ItemEnd(item) + item.margin_after;
  const int64_t cap = st->last_told_end.value_or(start) + f.follow_limit;
  const bool pf = f.pf.known;
  const bool present = pf && f.pf.present && f.pf.present->event_id == item.event_id;
  const bool following = pf && f.pf.following && f.pf.following->event_id == item.event_id;

  if (present && !st->on_air_since) {
    st->on_air_since = now;
    if (now < start) {
      span.notes.push_back("on air at " + Clock(now) + ", " + Seconds(start - now) +
                           " before its scheduled start: recorded from now");
    } else {
      span.notes.push_back("on air at " + Clock(now) + " (" + Seconds(now - start) + " after its scheduled start)");
    }
  }
  if (!present && st->on_air_since && !st->off_air_at) {
    st->off_air_at = now;
    span.notes.push_back("off the air at " + Clock(now) + " (the next programme is on): recorded " +
                         Seconds(item.margin_after) + " more");
  }
  span.start = start - item.margin_before;
  if (st->on_air_since) span.start = std::min(span.start, *st->on_air_since);
  const int64_t hold = now + kHoldSeconds;

  // Gone: it was never on air and the table has the station past its slot, or names another
  // programme next in its place; or the tables lost it.
  const bool past_slot =
      pf && !present && !following && !st->on_air_since &&
      ((f.pf.present && StartOf(*f.pf.present) >= (open ? start + 1 : ItemEnd(item))) ||
       (f.pf.following && f.pf.following->start_day != 0 && StartOf(*f.pf.following) >= start));
  if (!st->on_air_since && (past_slot || (pf && !f.event && !present && !following))) {
    if (!st->gone) span.notes.push_back("gone from the present/following and the event tables at " + Clock(now));
    st->gone = true;
    span.gone = true;
    span.end = now <= span.start ? span.start : now + item.margin_after;
    if (now > span.start) span.given_up = "the programme is gone from the broadcast's tables";
    return span;
  }
  st->gone = false;

  if (st->off_air_at) {
    span.end = *st->off_air_at + item.margin_after;
  } else if (present) {
    // A table that keeps it on air for ever (a stuck one) is believed up to the follow limit.
    span.end = std::min(open ? hold : std::max(told_end, hold), cap + item.margin_after);
    if (!open && hold > told_end && !st->over_noted) {
      st->over_noted = true;
      span.notes.push_back("still on air past its end " + Clock(ItemEnd(item)) + ": recording goes on");
    }
  } else if (following && now >= start) {
    if (now - start >= kLateStartLimit) {
      span.given_up = "the programme was not on air 3 hours after its scheduled start";
      span.notes.push_back(*span.given_up);
      span.end = now;
      return span;
    }
    span.end = std::max(open ? hold : told_end, hold);
    if (!st->late_noted) {
      st->late_noted = true;
      span.notes.push_back("not on air at its scheduled start " + Clock(start) + ": waiting for it");
    }
  } else if (!open) {
    span.end = told_end;
  } else if (now < start) {
    span.end = cap;  // planned for the worst: its end is not told
  } else if (f.on_air && f.on_air->event_id != item.event_id && StartOf(*f.on_air) > start &&
             StartOf(*f.on_air) <= now) {
    // No present/following to decide: the tables' next programme has started.
    span.end = StartOf(*f.on_air) + item.margin_after;
  } else {
    if (st->open_until == 0) st->open_until = std::max(start + kOpenEndStep, span.start);
    while (st->open_until <= now + kHoldSeconds && st->open_until < cap) {
      st->open_until = std::min(st->open_until + kOpenEndStep, cap);
      span.notes.push_back("length not told: recording extended to " + Clock(st->open_until));
    }
    if (st->open_until >= cap && !st->limit_noted) {
      st->limit_noted = true;
      span.notes.push_back("length not told: recorded up to the limit " + Clock(cap));
    }
    span.end = st->open_until;
  }
  span.end = std::min(span.end, span.start + int64_t{kMaxRecordSeconds});
  return span;
}

}  // namespace pelkan
