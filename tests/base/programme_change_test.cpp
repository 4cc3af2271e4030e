#include "base/programme_change.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelkan {
namespace {

TEST(ProgrammeChange, ParsesOptionTextsAndSettingsLists) {
  using K = ProgrammeChangeKind;
  struct Row {
    K kind;
    const char* text;
    bool good;
    ProgrammeChange change;
  };
  const Row rows[] = {
      {K::kLate, "1024:5:420", true, {K::kLate, 1024, 5, 420}},
      {K::kLate, " 1024:5:-300 ", true, {K::kLate, 1024, 5, -300}},
      {K::kExtend, "1032:65534:86400", true, {K::kExtend, 1032, 65534, 86400}},
      {K::kUndetermined, "1025:7", true, {K::kUndetermined, 1025, 7, 0}},
      {K::kLate, "1024:5:0", false, {}},
      {K::kLate, "1024:5:86401", false, {}},
      {K::kLate, "1024:5:+3", false, {}},
      {K::kLate, "1024:5", false, {}},
      {K::kLate, "1024:5:3:4", false, {}},
      {K::kExtend, "1024:5:-60", false, {}},
      {K::kExtend, "1024:5:0", false, {}},
      {K::kUndetermined, "1024:5:60", false, {}},
      {K::kUndetermined, "0:5", false, {}},
      {K::kUndetermined, "1024:65536", false, {}},
      {K::kLate, "0x400:5:60", false, {}},
      {K::kLate, "", false, {}},
      {K::kLate, "a:b:c", false, {}},
  };
  for (const Row& r : rows) {
    ProgrammeChange c;
    const std::string problem = ParseProgrammeChange(r.kind, r.text, &c);
    EXPECT_EQ(problem.empty(), r.good) << r.text << ": " << problem;
    if (r.good) {
      EXPECT_EQ(c, r.change) << r.text;
    } else {
      EXPECT_EQ(problem.rfind(
                    r.kind == K::kUndetermined ? "is not SERVICE:EVENT" : "is not SERVICE:EVENT:SECONDS", 0),
                0u)
          << r.text;
    }
  }
  // A settings file's list: the good entries are kept, each bad one is named.
  std::vector<ProgrammeChange> list;
  const std::vector<std::string> problems =
      ParseProgrammeChangeList(K::kLate, "1024:5:420, x ,,1032:9:-60,", &list);
  EXPECT_EQ(list, (std::vector<ProgrammeChange>{{K::kLate, 1024, 5, 420}, {K::kLate, 1032, 9, -60}}));
  ASSERT_EQ(problems.size(), 1u) << "empty entries are passed over";
  EXPECT_EQ(problems[0].rfind("'x' is not SERVICE:EVENT:SECONDS", 0), 0u) << problems[0];
  EXPECT_TRUE(ParseProgrammeChangeList(K::kLate, "  ", &list).empty());
}

}  // namespace
}  // namespace pelkan
