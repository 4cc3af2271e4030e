// Fuzz target: the three-way merge of reservation lists (two programs changing schedule.ini), and
// saving and loading what it gives. The input builds a small pool of reservations from few
// distinct values, so that lists share them, and picks three lists from the pool: the base (the
// file as last read), ours and theirs; ours and theirs sometimes hold a reservation in another
// running state (which the file does not store). Checked: a reservation is in the result exactly
// when the three-way rule keeps it (added by either side, or kept by both), once; each comes from
// ours when ours has it, else from theirs; and the saved result loads back as it was.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "schedule/schedule_file.h"

namespace {

using pelkan::ScheduleItem;

class Recipe {
 public:
  Recipe(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
  std::string Take(size_t n) {
    std::string s;
    while (n-- > 0 && pos_ < size_) s.push_back(static_cast<char>(data_[pos_++]));
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Texts a user may give (Shift-JIS included) and some that an INI file treats specially.
const char* const kTexts[] = {
    "",       "rec",       "/home/pelkan/tv", "\x98^\x89\xE6",  // 録画
    ".ts",    "1024",      " 1032",           "news ",         "a=b", ";comment", "[Schedule_1]",
    "x\r\ny", "\\\\share", "\x82\xA0\x82",  // a cut double-byte character
};

std::string Text(Recipe& r) {
  const uint8_t op = r.Byte();
  if (op < 224) return kTexts[op % (sizeof kTexts / sizeof kTexts[0])];
  return r.Take(op % 16);
}

ScheduleItem MakeItem(Recipe& r) {
  ScheduleItem item{};
  const uint8_t kind = r.Byte();
  item.flags = (kind & 1) ? pelkan::SI_BY_EVENT : pelkan::SI_BY_TIME;
  if (kind & 0x02) item.flags |= pelkan::SI_DAILY;
  if (kind & 0x04) item.flags |= pelkan::SI_WEEKLY;
  if (kind & 0x08) item.flags |= pelkan::SI_SERVICE_LIMIT;
  if (kind & 0x10) item.flags |= pelkan::SI_FILE_NAME;
  if ((kind & 0xE0) == 0xE0) item.flags |= pelkan::SI_BY_TIME | pelkan::SI_BY_EVENT;  // never recordable
  if ((kind & 0xE0) == 0xC0) item.flags |= pelkan::SI_DELETED;
  pelkan::SetItemState(&item, r.Byte() % 0x15);
  item.start_day = 60000u + r.Byte() % 4;
  item.start_second = (r.Byte() % 4) * 30000u;  // 90000: an impossible start
  item.duration = (r.Byte() % 4) * 30000u;      // 90000: longer than a recording may be
  item.network_id = (r.Byte() & 1) ? 4 : 32742;
  item.stream_id = 0x7FE0;
  item.service_id = static_cast<uint16_t>(1024 + r.Byte() % 3);
  item.event_id = static_cast<uint16_t>(r.Byte() % 3);
  item.programme_kind = r.Byte() % 3;
  item.programme_version = r.Byte() % 3;
  pelkan::SetText(item.title, Text(r));
  pelkan::SetText(item.directory, Text(r));
  pelkan::SetText(item.file_name, Text(r));
  pelkan::SetText(item.extension, Text(r));
  item.channel_value = r.Byte() % 2;
  pelkan::SetText(item.channel_string, Text(r));
  pelkan::SetText(item.service_id_text, Text(r));
  return item;
}

// What the file gives back of a reservation: "the same reservation" for the merge.
std::string Key(const ScheduleItem& item) {
  const std::string text = pelkan::FormatSchedule({item});
  const std::vector<ScheduleItem> back = pelkan::ParseSchedule(text);
  return back.size() == 1 ? pelkan::FormatSchedule(back) : text;
}

bool Identical(const ScheduleItem& a, const ScheduleItem& b) {
  using pelkan::GetText;
  return a.flags == b.flags && a.start_day == b.start_day && a.start_second == b.start_second &&
         a.duration == b.duration && a.network_id == b.network_id && a.stream_id == b.stream_id &&
         a.service_id == b.service_id && a.event_id == b.event_id && a.programme_kind == b.programme_kind &&
         a.programme_version == b.programme_version && GetText(a.title) == GetText(b.title) &&
         GetText(a.directory) == GetText(b.directory) && GetText(a.file_name) == GetText(b.file_name) &&
         GetText(a.extension) == GetText(b.extension) && a.channel_value == b.channel_value &&
         GetText(a.channel_string) == GetText(b.channel_string) &&
         GetText(a.service_id_text) == GetText(b.service_id_text);
}

// Stops with the condition that failed.
#define CHECK(condition)                                      \
  do {                                                        \
    if (!(condition)) {                                       \
      std::fprintf(stderr, "check failed: %s\n", #condition); \
      __builtin_trap();                                       \
    }                                                         \
  } while (0)

// The pool items named by `mask`, each reservation once; those named by `restate` in another state.
std::vector<ScheduleItem> Pick(const std::vector<ScheduleItem>& pool, uint16_t mask, uint16_t restate,
                               uint8_t state, std::map<std::string, ScheduleItem>* by_key) {
  std::vector<ScheduleItem> list;
  for (size_t i = 0; i < pool.size(); ++i) {
    if (!(mask >> i & 1)) continue;
    ScheduleItem item = pool[i];
    if (restate >> i & 1) pelkan::SetItemState(&item, state);
    if (by_key->try_emplace(Key(item), item).second) list.push_back(item);
  }
  return list;
}

const std::string& FilePath() {
  // A memory-backed folder where there is one: the file is written on every run.
  static const std::string path = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                  "/pelkan-merge-fuzz-" + std::to_string(getpid()) + ".ini";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Recipe r(data, size);
  std::vector<ScheduleItem> pool(r.Byte() % 13);
  for (ScheduleItem& item : pool) item = MakeItem(r);
  const uint16_t base_mask = r.Word(), ours_mask = r.Word(), theirs_mask = r.Word();
  const uint16_t ours_restate = r.Word(), theirs_restate = r.Word();
  const uint8_t state = r.Byte() % 0x15;

  std::map<std::string, ScheduleItem> in_base, in_ours, in_theirs;
  const auto base = Pick(pool, base_mask, 0, 0, &in_base);
  const auto ours = Pick(pool, ours_mask, ours_restate, state, &in_ours);
  const auto theirs = Pick(pool, theirs_mask, theirs_restate, static_cast<uint8_t>(state + 1), &in_theirs);
  const auto merged = pelkan::MergeSchedule(base, ours, theirs);

  std::map<std::string, int> in_merged;
  for (const ScheduleItem& item : merged) {
    const std::string key = Key(item);
    CHECK(++in_merged[key] == 1);  // no reservation twice
    const bool b = in_base.count(key) != 0, o = in_ours.count(key) != 0, t = in_theirs.count(key) != 0;
    // Nothing that a side removed is kept, and each entry is one of the inputs' own.
    CHECK(!b || (o && t));
    CHECK(o || t);
    CHECK(Identical(item, o ? in_ours[key] : in_theirs[key]));
  }
  // Nothing that a side added, or that both kept, is lost.
  for (const auto* side : {&in_ours, &in_theirs}) {
    for (const auto& [key, item] : *side) {
      const bool b = in_base.count(key) != 0;
      if (!b || (in_ours.count(key) != 0 && in_theirs.count(key) != 0)) CHECK(in_merged.count(key) == 1);
    }
  }

  // Saved and loaded again, the result holds the same reservations in the same order (those that
  // could never be recorded are dropped at load).
  std::vector<std::string> expected;
  for (const ScheduleItem& item : merged) {
    if (pelkan::ItemProblem(item) == nullptr) expected.push_back(Key(item));
  }
  CHECK(pelkan::SaveScheduleFile(FilePath(), merged));
  const auto loaded = pelkan::LoadScheduleFile(FilePath());
  std::remove(FilePath().c_str());
  CHECK(loaded.size() == expected.size());
  for (size_t i = 0; i < loaded.size() && i < expected.size(); ++i) CHECK(Key(loaded[i]) == expected[i]);
  return 0;
}
