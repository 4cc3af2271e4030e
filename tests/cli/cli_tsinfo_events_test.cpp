// pelkan-cli inspect prints programme events in the programme-text form of the filtering window.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/ts_builder.h"

namespace pelkan {
namespace {

std::string RunInspect(const std::string& path) {
  const std::string cmd =
      std::string(PELKAN_BINARY_DIR) + "/src/cli/pelkan-cli inspect " + path + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

TEST(CliInspectEvents, EventsUseProgrammeText) {
  test::SyntheticOptions o;
  o.packets = 3000;
  const test::Bytes s = test::SyntheticBroadcast(o);
  const std::string path = std::string(PELKAN_BINARY_DIR) + "/cli_inspect_events.ts";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(s.data()), static_cast<long>(s.size()));
  const std::string out = RunInspect(path);
  std::remove(path.c_str());
  EXPECT_NE(out.find("2023/02/25(土) 21:00 - "), std::string::npos) << out;
  EXPECT_NE(out.find("<< ＴＩＴＬＥ >>"), std::string::npos) << out;
}

}  // namespace
}  // namespace pelkan
