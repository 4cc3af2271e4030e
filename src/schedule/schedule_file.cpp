#include "schedule/schedule_file.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>

#include "platform/profile.h"

namespace pelkan {
namespace {

constexpr const char* kHeader = "Pelkan_Schedule";
constexpr const char* kItemPrefix = "schedule_";
constexpr const char* kNoFlag = "no reservation (its Flag is 0 or absent)";

// A text field as written: up to its NUL, cut at a line break so that no text can add lines
// (and so keys or sections) to the file.
std::string_view LineText(std::string_view text) {
  const size_t cut = text.find_first_of("\r\n");
  return cut == std::string_view::npos ? text : text.substr(0, cut);
}

void AppendLine(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void AppendLine(std::string* out, const char* format, ...) {
  char buf[128];
  va_list ap;
  va_start(ap, format);
  const int n = std::vsnprintf(buf, sizeof(buf), format, ap);
  va_end(ap);
  if (n > 0)
    out->append(buf, static_cast<size_t>(n) < sizeof(buf) ? static_cast<size_t>(n) : sizeof(buf) - 1);
  out->append("\r\n");
}

void AppendText(std::string* out, const char* key, std::string_view value) {
  out->append(key);
  out->append(LineText(value));
  out->append("\r\n");
}

// The number i of a section named "Schedule_i" exactly as SaveSchedule writes it (any case),
// or 0 for other names.
int64_t ItemSectionNumber(const std::string& name) {
  if (name.size() <= 9 || name.size() > 9 + 10) return 0;
  for (size_t i = 0; i < 9; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kItemPrefix[i]) return 0;
  }
  if (name[9] == '0') return 0;
  int64_t n = 0;
  for (size_t i = 9; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

template <size_t N>
void ReadText(const platform::Profile& p, const std::string& section, const char* key, char (&field)[N]) {
  SetText(field, p.GetString(section, key, ""));
}

// A margin key: its default when absent, held to 0-kMaxMarginSeconds (a hand-edited value).
uint16_t ReadMargin(const platform::Profile& p, const std::string& section, const char* key, uint16_t fallback) {
  const int32_t v = p.GetInt(section, key, fallback);
  return static_cast<uint16_t>(std::clamp<int32_t>(v, 0, kMaxMarginSeconds));
}

}  // namespace

std::string FormatSchedule(const std::vector<ScheduleItem>& items, std::string_view list_id) {
  std::string out;
  AppendLine(&out, "[%s]", kHeader);
  AppendLine(&out, "ScheduleNum=%d", static_cast<int>(items.size()));
  if (!list_id.empty()) AppendText(&out, "ListId=", list_id);
  AppendLine(&out, "%s", "");
  int index = 0;
  for (const ScheduleItem& item : items) {
    const uint32_t f = item.flags & kItemStateClearMask;
    const bool by_event = (item.flags & SI_BY_EVENT) != 0;
    const uint32_t day = by_event ? 0 : item.start_day;
    const uint32_t second = by_event ? 0 : item.start_second;
    const uint32_t duration = by_event ? 0 : item.duration;
    int y, mo, d;
    MjdToDate(day, &y, &mo, &d);
    int rh, rm, rs;
    SecondsToHms(duration, &rh, &rm, &rs);
    AppendLine(&out, "[Schedule_%d]", ++index);
    AppendLine(&out, ";0x%08X", f);
    AppendLine(&out, "Flag=%d", static_cast<int32_t>(f));
    AppendLine(&out, ";Start=%04d/%02d/%02d %02d:%02d", y, mo, d, static_cast<int>(second / 3600),
               static_cast<int>((second % 3600) / 60));
    AppendLine(&out, "StartDateMJD=%d", static_cast<int32_t>(day));
    AppendLine(&out, "StartTimeSec=%d", static_cast<int32_t>(second));
    AppendLine(&out, ";Rec=%02d:%02d:%2d", rh, rm, rs);
    AppendLine(&out, "RecordSec=%d", static_cast<int32_t>(duration));
    AppendLine(&out, "NetworkID=%d", item.network_id);
    AppendLine(&out, "StreamID=%d", item.stream_id);
    AppendLine(&out, "ServiceID=%d", item.service_id);
    AppendLine(&out, "EventID=%d", item.event_id);
    AppendText(&out, "Dir=", GetText(item.directory));
    AppendText(&out, "File=", GetText(item.file_name));
    AppendText(&out, "Ext=", GetText(item.extension));
    AppendLine(&out, "ChVal=%d", item.channel_value);
    AppendText(&out, "ChStr=", GetText(item.channel_string));
    AppendText(&out, "EnableServiceID=", GetText(item.service_id_text));
    // Written only when they differ from the defaults, so that a reservation without them keeps
    // the lines every build reads.
    if (item.margin_before != kDefaultMarginBefore) AppendLine(&out, "MarginBefore=%d", item.margin_before);
    if (item.margin_after != kDefaultMarginAfter) AppendLine(&out, "MarginAfter=%d", item.margin_after);
    if (item.priority != kDefaultPriority) AppendLine(&out, "Priority=%d", item.priority);
    if (item.rule_id != 0) AppendLine(&out, "Rule=%u", item.rule_id);
    AppendLine(&out, "%s", "");
  }
  return out;
}

bool SaveScheduleFile(const std::string& path, const std::vector<ScheduleItem>& items) {
  return platform::ReplaceFileContents(path, FormatSchedule(items));
}

std::vector<ScheduleItem> ParseSchedule(std::string_view text, std::vector<std::string>* dropped) {
  platform::Profile p;
  p.Parse(text);
  std::vector<ScheduleItem> items;
  const int32_t n = p.GetInt(kHeader, "ScheduleNum", 0);
  if (n <= 0) return items;
  // Visit only the sections that exist, in number order: a huge ScheduleNum costs nothing.
  std::map<int64_t, std::string> sections;
  for (const std::string& name : p.SectionNames()) {
    const int64_t i = ItemSectionNumber(name);
    if (i >= 1 && i <= n) sections.try_emplace(i, name);
  }
  for (const auto& [i, section] : sections) {
    ScheduleItem item{};
    item.flags = static_cast<uint32_t>(p.GetInt(section, "Flag", 0));
    if (item.flags == 0) {
      // A hand-edited file may hold many such sections: each is told, as a file of reservations
      // that lists as empty would otherwise be replaced by the next reservation added.
      if (dropped) dropped->push_back(section + ": " + kNoFlag);
      continue;
    }
    item.start_day = static_cast<uint32_t>(p.GetInt(section, "StartDateMJD", 0));
    item.start_second = static_cast<uint32_t>(p.GetInt(section, "StartTimeSec", 0));
    item.duration = static_cast<uint32_t>(p.GetInt(section, "RecordSec", 0));
    item.network_id = static_cast<uint16_t>(p.GetInt(section, "NetworkID", 0));
    item.stream_id = static_cast<uint16_t>(p.GetInt(section, "StreamID", 0));
    item.service_id = static_cast<uint16_t>(p.GetInt(section, "ServiceID", 0));
    item.event_id = static_cast<uint16_t>(p.GetInt(section, "EventID", 0));
    item.channel_value = static_cast<uint8_t>(p.GetInt(section, "ChVal", 0));
    ReadText(p, section, "Dir", item.directory);
    ReadText(p, section, "File", item.file_name);
    ReadText(p, section, "Ext", item.extension);
    ReadText(p, section, "ChStr", item.channel_string);
    ReadText(p, section, "EnableServiceID", item.service_id_text);
    item.margin_before = ReadMargin(p, section, "MarginBefore", kDefaultMarginBefore);
    item.margin_after = ReadMargin(p, section, "MarginAfter", kDefaultMarginAfter);
    const int32_t priority = p.GetInt(section, "Priority", kDefaultPriority);
    item.priority = priority >= kMinPriority && priority <= kMaxPriority ? static_cast<uint8_t>(priority)
                                                                        : kDefaultPriority;
    const int64_t rule = p.GetInt(section, "Rule", 0);
    item.rule_id = rule > 0 ? static_cast<uint32_t>(rule) : 0;
    if (item.flags & SI_BY_EVENT) {
      // Written as zeros: an event reservation takes its time from the broadcast anew.
      item.start_day = item.start_second = item.duration = 0;
    }
    if (const char* problem = ItemProblem(item)) {
      if (dropped) dropped->push_back(section + ": " + problem);
      continue;
    }
    items.push_back(item);
  }
  return items;
}

std::string ScheduleListId(std::string_view text) {
  platform::Profile p;
  p.Parse(text);
  return p.GetString(kHeader, "ListId", "");
}

std::string NewListId() {
  std::random_device random;
  const uint64_t value = (uint64_t{random()} << 32) | random();
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

bool IsScheduleText(std::string_view text) {
  platform::Profile p;
  p.Parse(text);
  if (p.HasSection(kHeader)) return true;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

bool EveryReservationDropped(std::string_view text) {
  std::vector<std::string> dropped;
  return ParseSchedule(text, &dropped).empty() && !dropped.empty();
}

std::vector<ScheduleItem> LoadScheduleFile(const std::string& path, std::vector<std::string>* dropped) {
  std::string text;
  if (!platform::ReadFileContents(path, &text)) return {};
  return ParseSchedule(text, dropped);
}

std::vector<ScheduleItem> MergeSchedule(const std::vector<ScheduleItem>& base,
                                        const std::vector<ScheduleItem>& ours,
                                        const std::vector<ScheduleItem>& theirs) {
  struct Count {
    int64_t base = 0, ours = 0, theirs = 0;
    std::vector<const ScheduleItem*> our_items, their_items;
  };
  std::map<std::string, Count> counts;
  std::vector<std::string> order;  // keys in first-seen order: ours, then theirs
  // A reservation as the file gives it back (its texts lose the blanks around them), so that the
  // copy read from the file is the same as the one in memory it was written from.
  auto key = [](const ScheduleItem& item) {
    const std::string text = FormatSchedule({item});
    const std::vector<ScheduleItem> back = ParseSchedule(text);
    return back.size() == 1 ? FormatSchedule(back) : text;
  };
  auto at = [&](const ScheduleItem& item) -> Count& {
    const auto [it, inserted] = counts.try_emplace(key(item));
    if (inserted) order.push_back(it->first);
    return it->second;
  };
  for (const ScheduleItem& item : ours) {
    Count& c = at(item);
    ++c.ours;
    c.our_items.push_back(&item);
  }
  for (const ScheduleItem& item : theirs) {
    Count& c = at(item);
    ++c.theirs;
    c.their_items.push_back(&item);
  }
  for (const ScheduleItem& item : base) ++at(item).base;
  std::vector<ScheduleItem> out;
  for (const std::string& k : order) {
    const Count& c = counts[k];
    const int64_t d_ours = c.ours - c.base;
    const int64_t d_theirs = c.theirs - c.base;
    int64_t n;
    if ((d_ours >= 0) == (d_theirs >= 0) || d_ours == 0 || d_theirs == 0) {
      // The same change on both sides (or one side unchanged) happens once.
      n = c.base + (std::abs(d_ours) >= std::abs(d_theirs) ? d_ours : d_theirs);
    } else {
      n = c.base + d_ours + d_theirs;
    }
    for (int64_t i = 0; i < n; ++i) {
      const size_t j = static_cast<size_t>(i);
      out.push_back(j < c.our_items.size() ? *c.our_items[j] : *c.their_items[j - c.our_items.size()]);
    }
  }
  return out;
}

}  // namespace pelkan
