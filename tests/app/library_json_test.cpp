#include "app/library_json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "hooks/recording_outcome.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

// What `write` puts into a file, read back whole.
std::string Written(const std::function<bool(std::FILE*)>& write, bool* ok) {
  std::FILE* f = std::tmpfile();
  *ok = f != nullptr && write(f);
  std::string text;
  if (f == nullptr) return text;
  std::rewind(f);
  char buffer[65536];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
  std::fclose(f);
  return text;
}

// The list as it was written before it was streamed: every entry's object joined, kept whole.
std::string ListOfObjects(const std::vector<LibraryEntry>& entries) {
  if (entries.empty()) return "{\"recordings\": []}\n";
  std::string out = "{\"recordings\": [";
  for (size_t i = 0; i < entries.size(); ++i) out += (i == 0 ? "\n  " : ",\n  ") + LibraryEntryJson(entries[i]);
  return out + "\n]}\n";
}

// The list written row by row as the catalogue is read, across many pieces, is byte for byte the
// list kept whole, with texts a writer gets wrong (quotes, backslashes, control characters, bytes
// that are no UTF-8, the broadcast's symbols), unknown times, no rule and a recording in progress.
TEST(LibraryListJson, StreamedEqualsTheWholeList) {
  test::TempDir dir;
  std::string error;
  auto library = RecordingLibrary::Open(dir.File("library.sqlite"), nullptr, &error);
  ASSERT_TRUE(library) << error;
  bool ok = false;
  EXPECT_EQ(Written([&](std::FILE* f) { return WriteLibraryListJson(*library, {}, f); }, &ok), "{\"recordings\": []}\n");
  EXPECT_TRUE(ok);

  const char* const titles[] = {"ニュース \"特集\" \\ 🈑🈞", "tab\tline\nbell\x07", "bad \xff\xfe utf-8", "", "羅生門 [字]"};
  for (int i = 0; i < 600; ++i) {
    hooks::RecordingOutcome o;
    o.file = "/rec/" + std::to_string(i) + " \"名\".ts";
    o.report = o.file + ".err";
    o.title = titles[i % 5];
    o.service_id = static_cast<uint16_t>(1024 + i % 3);
    o.service_name = i % 4 == 0 ? "" : "ペルカン総合・サブ";
    o.result = i % 7 == 0 ? "partial" : "complete";
    o.reason = i % 7 == 0 ? "cut short" : "";
    o.rule_id = i % 2 == 0 ? 0 : static_cast<uint32_t>(i);
    if (i % 9 != 0) o.actual_start = "2026-12-0" + std::to_string(1 + i % 8) + "T21:00:00+09:00";
    if (i % 11 != 0) o.actual_end = "2026-12-0" + std::to_string(1 + i % 8) + "T21:30:00+09:00";
    o.bytes = 1'000'000'000ull * static_cast<uint64_t>(i);
    o.drop = static_cast<uint64_t>(i % 4);
    ASSERT_TRUE(library->Complete(o, o.file, 100 + i, i == 5));
  }
  const std::vector<LibraryEntry> entries = library->List();
  ASSERT_EQ(entries.size(), 600u);
  const std::string whole = ListOfObjects(entries);
  ASSERT_GT(whole.size(), 3 * LibraryListWriter::kChunk);
  EXPECT_EQ(Written([&](std::FILE* f) { return WriteLibraryListJson(*library, {}, f); }, &ok), whole);
  EXPECT_TRUE(ok);
  EXPECT_EQ(LibraryListJson(*library), whole);
  EXPECT_EQ(LibraryListJson(entries), whole);

  // A narrowed list the same way.
  LibraryQuery partial;
  partial.result = LibraryResult::kPartial;
  EXPECT_EQ(Written([&](std::FILE* f) { return WriteLibraryListJson(*library, partial, f); }, &ok),
            ListOfObjects(library->List(partial)));

  // A full disk: said, not taken for a whole list.
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  EXPECT_FALSE(WriteLibraryListJson(*library, {}, full));
  std::fclose(full);
}

}  // namespace
}  // namespace pelkan
