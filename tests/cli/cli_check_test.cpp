// pelkan-cli check, run as a program.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/cli_process.h"
#include "tests/support/ts_builder.h"

namespace pelkan {
namespace {

std::string Temp(const char* name) {
  return std::string(PELKAN_BINARY_DIR) + "/" + name;
}

void Write(const std::string& path, const test::Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(CliCheck, JsonOfACraftedStreamIsExact) {
  // A PAT, a PMT naming one video PID, then video packets with counters 0, 1, 4 (two dropped), one
  // with the error indicator, and two scrambled packets of another PID.
  test::TsBuilder b;
  b.Section(0x0000, test::PatSection(1, 0, {{0x0400, 0x1F0}}));
  b.Section(0x1F0, test::PmtSection(0x0400, 0, 0x100, {{0x02, 0x100, {}}}));
  b.PacketCc(0x100, 0, {}).PacketCc(0x100, 1, {}).PacketCc(0x100, 4, {});
  test::Bytes stream = b.bytes();
  // Five packets; the last one's header gets the transport_error_indicator.
  ASSERT_EQ(stream.size(), 5 * 188u);
  stream[4 * 188 + 1] |= 0x80;
  b = test::TsBuilder();
  b.Packet(0x200, {}, false, 2).Packet(0x200, {}, false, 3).Null(3);
  stream.insert(stream.end(), b.bytes().begin(), b.bytes().end());
  const std::string path = Temp("cli_check_crafted.ts");
  Write(path, stream);

  const testing::CliRun r = testing::RunCli("check --json " + path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out,
            "{\"file\":\"" + path +
                "\",\"packet_size\":188,\"sync_losses\":0,\"pids\":["
                "{\"pid\":0,\"packets\":1,\"drop\":0,\"error\":0,\"scrambled\":0,\"kind\":\"PAT\"},"
                "{\"pid\":256,\"packets\":3,\"drop\":2,\"error\":1,\"scrambled\":0,\"kind\":\"video\"},"
                "{\"pid\":496,\"packets\":1,\"drop\":0,\"error\":0,\"scrambled\":0,\"kind\":\"PMT\"},"
                "{\"pid\":512,\"packets\":2,\"drop\":0,\"error\":0,\"scrambled\":2,\"kind\":\"\"}],"
                "\"totals\":{\"packets\":7,\"drop\":2,\"error\":1,\"scrambled\":2}}\n");
  std::remove(path.c_str());
}

TEST(CliCheck, GeneratedStreamsAreCleanOrShowTheirFaultsWhateverThePacketSize) {
  const std::string clean = Temp("cli_check_clean.ts");
  const std::string faulty = Temp("cli_check_faulty.ts");
  const std::string cli = testing::CliPath();
  ASSERT_EQ(std::system((cli + " generate -q -o " + clean + " --seconds 1 --scramble 1025").c_str()), 0);
  ASSERT_EQ(std::system((cli + " generate -q -o " + faulty +
                         " --seconds 1 --packet-size 204 --fault drop@300 --fault sync@900")
                            .c_str()),
            0);

  const testing::CliRun ok = testing::RunCli("check " + clean);
  EXPECT_EQ(ok.exit_code, 0);
  EXPECT_NE(ok.out.find("packet size  188\nsync losses  0\n"), std::string::npos);
  EXPECT_NE(ok.out.find("PID 0x0000  packets "), std::string::npos);
  EXPECT_NE(ok.out.find("  PAT\n"), std::string::npos);
  EXPECT_NE(ok.out.find("  video\n"), std::string::npos);
  EXPECT_EQ(ok.out.find("drop 1"), std::string::npos);
  EXPECT_NE(ok.out.find("\ntotal       packets "), std::string::npos);

  const testing::CliRun bad = testing::RunCli("check " + faulty);
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_NE(bad.out.find("packet size  204\nsync losses  1\n"), std::string::npos);
  const size_t total = bad.out.find("\ntotal ");
  ASSERT_NE(total, std::string::npos);
  EXPECT_EQ(bad.out.find("drop 0", total), std::string::npos) << bad.out.substr(total);

  // Every file is checked; one that cannot be read makes it 2.
  const testing::CliRun both = testing::RunCli("check " + clean + " /nonexistent/x.ts " + faulty);
  EXPECT_EQ(both.exit_code, 2);
  EXPECT_NE(both.out.find("file         " + clean + "\n"), std::string::npos);
  EXPECT_NE(both.out.find("\n\nfile         " + faulty + "\n"), std::string::npos);
  std::remove(clean.c_str());
  std::remove(faulty.c_str());
}

TEST(CliCheck, BadArgumentsAndFilesWithoutPackets) {
  EXPECT_EQ(testing::RunCli("check").exit_code, 2);
  EXPECT_EQ(testing::RunCli("check --events x.ts").exit_code, 2);
  const std::string text = Temp("cli_check_text.txt");
  std::ofstream(text) << std::string(5000, 'x');
  const testing::CliRun r = testing::RunCli("check " + text);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("no run of 188, 192 or 204-byte packets found"), std::string::npos);
  const std::string empty = Temp("cli_check_empty.ts");
  std::ofstream(empty).close();
  // An empty file holds no packets either, read by name or from standard input.
  for (const std::string& args : {"check " + empty, "check - < " + empty}) {
    const testing::CliRun e = testing::RunCli(args);
    EXPECT_EQ(e.exit_code, 1) << args;
    EXPECT_NE(e.out.find("no packets: the file is empty\n"), std::string::npos) << args << e.out;
  }
  std::remove(text.c_str());
  std::remove(empty.c_str());
}

TEST(CliCheck, ATornLastPacketIsToldAsTrailingBytes) {
  struct Case {
    size_t cut;  // bytes taken off the end of ten whole packets
    int exit_code;
    const char* text;
    const char* json;
  };
  const Case cases[] = {
      {0, 0, nullptr, nullptr},
      {1, 1, "187 trailing bytes after the last whole packet (a torn packet)\n", ",\"trailing_bytes\":187}\n"},
      {150, 1, "38 trailing bytes after the last whole packet (a torn packet)\n", ",\"trailing_bytes\":38}\n"},
  };
  test::TsBuilder b;
  for (uint8_t cc = 0; cc < 10; ++cc) b.PacketCc(0x100, cc, {});
  for (const Case& c : cases) {
    test::Bytes bytes = b.bytes();
    bytes.resize(bytes.size() - c.cut);
    const std::string path = Temp("cli_check_torn.ts");
    Write(path, bytes);
    const testing::CliRun text = testing::RunCli("check " + path);
    const testing::CliRun json = testing::RunCli("check --json " + path);
    // The whole packets are clean; a file ending in a torn packet is not whole.
    EXPECT_EQ(text.exit_code, c.exit_code) << c.cut;
    EXPECT_EQ(json.exit_code, c.exit_code) << c.cut;
    if (c.text == nullptr) {
      EXPECT_EQ(text.out.find("trailing"), std::string::npos) << text.out;
      EXPECT_EQ(json.out.find("trailing"), std::string::npos) << json.out;
    } else {
      EXPECT_NE(text.out.find(c.text), std::string::npos) << text.out;
      EXPECT_NE(json.out.find(c.json), std::string::npos) << json.out;
    }
    std::remove(path.c_str());
  }
}

}  // namespace
}  // namespace pelkan

namespace pelkan {
namespace {

// A gap the recording's own report lists makes the file not whole, each gap named with its offset;
// a report beside the file that is another recording's (another name or byte count) is ignored
// with a note, its gaps hiding nothing.
TEST(CliCheck, GapsOfTheFilesOwnReportOnly) {
  test::TsBuilder b;
  for (uint8_t cc = 0; cc < 10; ++cc) b.PacketCc(0x100, cc < 5 ? cc : cc + 3, {});  // three lost at packet 5
  const std::string path = Temp("cli_check_gap.ts");
  Write(path, b.bytes());
  const std::string size = std::to_string(b.bytes().size());
  auto report = [](const std::string& file, const std::string& bytes) {
    return "Pelkan recording report\n"
           "file                " + file + "\n"
           "result              recovered (gap 0:00:07)\n"
           "bytes               " + bytes + "\n"
           "gaps                1, 0:00:07 in all (the tuner was away)\n\n"
           "gap  2026-12-08 21:00:00 to 2026-12-08 21:00:07  length 0:00:07  offset 940\n\n"
           "events              0\n";
  };
  struct Case {
    const char* name;
    std::string report;  // empty: none
    int exit_code;
    const char* text;
    const char* json;
    const char* totals;
  };
  const Case cases[] = {
      {"own report with a gap", report("/rec/cli_check_gap.ts", size), 1,
       "gap          at offset 940: the recording is not whole there\n", ",\"gaps\":1,\"gap_offsets\":[940]",
       "\"totals\":{\"packets\":10,\"drop\":0,"},
      {"another recording's report", report("/rec/other.ts", size), 1,
       "cli_check_gap.ts.err ignored: it is the report of other.ts\n",
       ",\"report_ignored\":\"it is the report of other.ts\"", "\"totals\":{\"packets\":10,\"drop\":3,"},
      {"another byte count", report("/rec/cli_check_gap.ts", "18800"), 1,
       "ignored: it counts 18800 bytes, the file has 1880\n", ",\"report_ignored\":\"it counts 18800 bytes",
       "\"totals\":{\"packets\":10,\"drop\":3,"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(path + ".err") << c.report;
    const testing::CliRun text = testing::RunCli("check " + path);
    const testing::CliRun json = testing::RunCli("check --json " + path);
    EXPECT_EQ(text.exit_code, c.exit_code);
    EXPECT_EQ(json.exit_code, c.exit_code);
    EXPECT_NE(text.out.find(c.text), std::string::npos) << text.out;
    EXPECT_NE(json.out.find(c.json), std::string::npos) << json.out;
    // An ignored report's gap hides nothing: the lost packets count as dropped.
    EXPECT_NE(json.out.find(c.totals), std::string::npos) << json.out;
  }
  std::remove((path + ".err").c_str());
  std::remove(path.c_str());
}

}  // namespace
}  // namespace pelkan
