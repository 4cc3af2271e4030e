// pelkan-cli http: the web page's address with the control token from http-tokens (made private
// when missing or unreadable as tokens), and --rotate replacing both tokens.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "tests/support/cli_process.h"
#include "tests/support/temp_dir.h"

namespace pelkan::cli {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(CliHttp, UrlCarriesTheControlTokenAndRotateReplacesBoth) {
  test::TempDir temp;
  const std::string cd = "cd " + temp.path() + " && " + testing::CliPath();
  std::ofstream(temp.File("pelkan.ini")) << "[Pelkan_Q_HTTP]\r\nHTTP_ENABLED=1\r\nHTTP_PORT=8099\r\n";
  // A file that holds no two tokens is made anew.
  std::ofstream(temp.File("http-tokens")) << "view=short\n";
  chmod(temp.File("http-tokens").c_str(), 0644);
  const testing::CliRun url = testing::RunShell(cd + " http url");
  ASSERT_EQ(url.exit_code, 0);
  std::smatch m;
  const std::string out = url.out;
  ASSERT_TRUE(std::regex_match(out, m, std::regex("http://localhost:8099/#token=([0-9a-f]{64})\n"))) << out;
  const std::string control = m[1];
  const std::string tokens = ReadText(temp.File("http-tokens"));
  EXPECT_NE(tokens.find("control=" + control + "\n"), std::string::npos) << tokens;
  struct stat st {};
  ASSERT_EQ(stat(temp.File("http-tokens").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Read again, the same; rotated, both new.
  EXPECT_EQ(testing::RunShell(cd + " http url").out, out);
  const std::string view = testing::RunShell(cd + " http token").out;
  ASSERT_TRUE(std::regex_match(view, std::regex("[0-9a-f]{64}\n"))) << view;
  EXPECT_NE(tokens.find("view=" + view), std::string::npos);
  const testing::CliRun rotated = testing::RunShell(cd + " http token --rotate");
  ASSERT_EQ(rotated.exit_code, 0);
  EXPECT_NE(rotated.out, view);
  EXPECT_NE(testing::RunShell(cd + " http url").out, out);
  EXPECT_EQ(ReadText(temp.File("http-tokens")).find(control), std::string::npos);
}

}  // namespace
}  // namespace pelkan::cli
