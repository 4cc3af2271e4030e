#include "guide/guide_coverage.h"

#include <gtest/gtest.h>

#include "platform/text_codec.h"

namespace pelkan {
namespace {

constexpr GuideTime kDay = GuideTime{61383} * 86400;  // 2026-12-09
constexpr GuideTime kNow = kDay + 12 * 3600;

TEST(GuideCoverage, TextAndStaleness) {
  struct Case {
    GuideTime known_until, heard_at;
    const char* text;
    bool stale_tonight;  // of a programme at 21:00 today
  } const cases[] = {
      {kDay + 6 * 86400 + 3600, kNow - 180, "番組情報: 12/15 まで (3分前に更新)", false},
      {kDay + 86400, kNow - 5 * 3600, "番組情報: 12/9 まで (5時間前に更新)", false},
      {kDay + 20 * 3600, kNow - 600, "番組情報: 12/9 まで (10分前に更新)", true},  // beyond its programmes
      {kDay + 6 * 86400 + 3600, kNow - 3 * 86400, "番組情報: 12/15 まで (3日前に更新)", true},  // silent for days
      {kDay + 6 * 86400 + 3600, -1, "番組情報: 12/15 まで", false},
      {-1, -1, "番組情報: なし", true},
  };
  for (const Case& c : cases) {
    GuideCoverage coverage;
    coverage.known_until = c.known_until;
    coverage.heard_at = c.heard_at;
    EXPECT_EQ(platform::SjisToUtf8(coverage.Text(kNow)), c.text);
    EXPECT_EQ(coverage.Stale(kDay + 21 * 3600, kNow), c.stale_tonight) << c.text;
  }
}

}  // namespace
}  // namespace pelkan
