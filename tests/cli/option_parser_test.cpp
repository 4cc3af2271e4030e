#include "cli/option_parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace pelkan::cli {
namespace {

TEST(ParseNumber, DecimalAndHexadecimalWithinTheLimit) {
  struct Case {
    const char* text;
    uint64_t max;
    std::optional<uint64_t> value;
  };
  const Case cases[] = {
      {"0", 10, 0},
      {"0100", 1000, 100},  // a leading 0 is a digit, not octal
      {"08", 10, 8},
      {"0x1F", 255, 31},
      {"0X1f", 255, 31},
      {"255", 255, 255},
      {"256", 255, std::nullopt},
      {"0x100", 255, std::nullopt},
      {"18446744073709551615", UINT64_MAX, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, std::nullopt},  // past 64 bits
      {"0x10000000000000000", UINT64_MAX, std::nullopt},
      {"", 10, std::nullopt},
      {"0x", 10, std::nullopt},
      {"-1", 10, std::nullopt},
      {"+1", 10, std::nullopt},
      {" 1", 10, std::nullopt},
      {"1 ", 10, std::nullopt},
      {"1e3", 10000, std::nullopt},
      {"12a", 1000, std::nullopt},
      {"0x1g", 1000, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseNumber(c.text, c.max), c.value) << "'" << c.text << "'";
}

TEST(ShiftJisProblem, OnlyForNamesWithoutAShiftJisForm) {
  EXPECT_EQ(ShiftJisProblem("録画/rec-1.ts"), "");
  EXPECT_NE(ShiftJisProblem("caf\xC3\xA9.ts"), "");
}

// Standard output and error of a parser, kept in memory.
class Streams {
 public:
  Streams() : out_(open_memstream(&out_text_, &out_size_)), err_(open_memstream(&err_text_, &err_size_)) {}
  ~Streams() {
    std::fclose(out_);
    std::fclose(err_);
    std::free(out_text_);
    std::free(err_text_);
  }
  Streams(const Streams&) = delete;
  Streams& operator=(const Streams&) = delete;
  std::FILE* out() { return out_; }
  std::FILE* err() { return err_; }
  std::string Out() {
    std::fflush(out_);
    return std::string(out_text_, out_size_);
  }
  std::string Err() {
    std::fflush(err_);
    return std::string(err_text_, err_size_);
  }

 private:
  char* out_text_ = nullptr;
  size_t out_size_ = 0;
  char* err_text_ = nullptr;
  size_t err_size_ = 0;
  std::FILE* out_;
  std::FILE* err_;
};

std::optional<int> Parse(OptionParser& parser, std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  return parser.Parse(static_cast<int>(argv.size()), argv.data());
}

// What the test parser stores.
struct Parsed {
  bool json = false;
  int device = -1;
  std::optional<uint16_t> service;
  std::string name;
  std::vector<std::string> tags;
  std::vector<std::string> files;
};

void Declare(OptionParser& p, Parsed* o) {
  p.Flag("-j, --json", "JSON", &o->json);
  p.Number("--device N", "device", 0, 255, &o->device);
  p.Number("--service ID", "service", 1, 0xFFFF, &o->service);
  p.Value("--name TEXT", "name", [o](const std::string& v) {
    if (v.empty()) return std::string("is empty");
    o->name = v;
    return std::string();
  });
  p.Alias("--title", "--name");
  p.Repeated("--tag T", "tag", [o](const std::string& v) {
    o->tags.push_back(v);
    return std::string();
  });
  p.Positionals("FILE", 1, 2, [o](const std::string& v) {
    o->files.push_back(v);
    return std::string();
  });
}

TEST(OptionParser, ParsesIntoTheDeclaredPlacesOrFailsInOneForm) {
  struct Case {
    std::vector<std::string> args;
    std::optional<int> exit_code;
    std::string message;  // the first line on standard error
    Parsed expected;
  };
  const auto with = [](auto change) {
    Parsed p;
    change(p);
    return p;
  };
  const Case cases[] = {
      {{"a.ts"}, std::nullopt, "", with([](Parsed& p) { p.files = {"a.ts"}; })},
      {{"-j", "a.ts", "b.ts"}, std::nullopt, "", with([](Parsed& p) {
         p.json = true;
         p.files = {"a.ts", "b.ts"};
       })},
      {{"--json", "--device", "0x10", "--service", "01024", "a"}, std::nullopt, "", with([](Parsed& p) {
         p.json = true;
         p.device = 16;
         p.service = 1024;
         p.files = {"a"};
       })},
      // A value given again: the later counts; a repeated option collects every value.
      {{"--name", "x", "--title", "y", "--tag", "1", "--tag", "2", "f"}, std::nullopt, "", with([](Parsed& p) {
         p.name = "y";
         p.tags = {"1", "2"};
         p.files = {"f"};
       })},
      // '-' alone is an argument; after "--" everything is.
      {{"-", "--", "--json"}, std::nullopt, "", with([](Parsed& p) { p.files = {"-", "--json"}; })},
      {{"--device", "256", "a"}, 2, "t: --device '256' is not a number from 0 to 255", with([](Parsed&) {})},
      {{"--service", "0", "a"}, 2, "t: --service '0' is not a number from 1 to 65535", with([](Parsed&) {})},
      {{"--device", "-1", "a"}, 2, "t: --device '-1' is not a number from 0 to 255", with([](Parsed&) {})},
      {{"--name", "", "a"}, 2, "t: --name '' is empty", with([](Parsed&) {})},
      {{"a", "--device"}, 2, "t: --device needs a value", with([](Parsed& p) { p.files = {"a"}; })},
      {{"--bogus", "a"}, 2, "t: unknown option '--bogus'", with([](Parsed&) {})},
      {{"a", "b", "c"}, 2, "t: unexpected argument 'c'", with([](Parsed& p) { p.files = {"a", "b"}; })},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += "[" + a + "]";
    Streams streams;
    Parsed parsed;
    OptionParser parser("t", "Usage: t FILE...\n");
    parser.SetStreams(streams.out(), streams.err());
    Declare(parser, &parsed);
    EXPECT_EQ(Parse(parser, c.args), c.exit_code) << joined;
    if (c.exit_code) {
      // The message, then the usage.
      EXPECT_EQ(streams.Err(), c.message + "\n" + parser.Usage()) << joined;
    } else {
      EXPECT_EQ(streams.Err(), "") << joined;
      EXPECT_EQ(parsed.json, c.expected.json) << joined;
      EXPECT_EQ(parsed.device, c.expected.device) << joined;
      EXPECT_EQ(parsed.service, c.expected.service) << joined;
      EXPECT_EQ(parsed.name, c.expected.name) << joined;
      EXPECT_EQ(parsed.tags, c.expected.tags) << joined;
    }
    EXPECT_EQ(parsed.files, c.expected.files) << joined;
    EXPECT_EQ(streams.Out(), "") << joined;
  }
}

TEST(OptionParser, HelpAndInfoPrintOnStandardOutputAndEnd) {
  for (const char* help : {"--help", "-h"}) {
    Streams streams;
    Parsed parsed;
    OptionParser parser("t", "Usage: t FILE...\n");
    parser.SetStreams(streams.out(), streams.err());
    Declare(parser, &parsed);
    parser.Info("--version", "version", [](std::FILE* out) { std::fputs("t 1.2.3\n", out); });
    // Asked for anywhere, even after a bad value would have been seen.
    EXPECT_EQ(Parse(parser, {"--json", help, "--device", "999"}), 0);
    EXPECT_EQ(streams.Out(), parser.Usage());
    EXPECT_EQ(Parse(parser, {"--version"}), 0);
    EXPECT_EQ(streams.Out(), parser.Usage() + "t 1.2.3\n");
    EXPECT_EQ(streams.Err(), "");
  }
  // Missing arguments: the usage alone on standard error.
  Streams streams;
  Parsed parsed;
  OptionParser parser("t", "Usage: t FILE...\n");
  parser.SetStreams(streams.out(), streams.err());
  Declare(parser, &parsed);
  EXPECT_EQ(Parse(parser, {"--json"}), 2);
  EXPECT_EQ(streams.Err(), parser.Usage());
  EXPECT_EQ(parser.Fail("--a and --b exclude each other"), 2);
  EXPECT_EQ(streams.Err(), parser.Usage() + "t: --a and --b exclude each other\n" + parser.Usage());
}

TEST(OptionParser, UsageComesFromTheDeclarations) {
  OptionParser p("t", "Usage: t [OPTIONS]\nDoes things.\n\n", "\nExit codes: 0 done.\n", 14);
  bool flag = false;
  int number = 0;
  p.Flag("-q, --quiet", "no summary", &flag);
  p.Number("--count N", "how many;\nat most 9", 0, 9, &number);
  p.Value("--a-very-long-option \"VALUE\"", "on its own line,\nthen the help", [](const std::string&) {
    return std::string();
  });
  p.Text("\nMore:\n");
  p.Flag("--x123456789", "one column too wide", &flag);
  EXPECT_EQ(p.Usage(),
            "Usage: t [OPTIONS]\nDoes things.\n\n"
            "  -q, --quiet no summary\n"
            "  --count N   how many;\n"
            "              at most 9\n"
            "  --a-very-long-option \"VALUE\"\n"
            "              on its own line,\n"
            "              then the help\n"
            "\nMore:\n"
            "  --x123456789\n"
            "              one column too wide\n"
            "\nExit codes: 0 done.\n");
}

TEST(OptionParser, CommandsRunWithTheArgumentsAfterTheirName) {
  static std::vector<std::string> received;
  OptionParser p("top", "Usage: top COMMAND\n\nCommands:\n", {}, 8);
  p.Command("one", "the first", [](int, char**) { return 5; });
  p.Command("two", "the second", [](int argc, char** argv) {
    received.assign(argv, argv + argc);
    return 7;
  });
  EXPECT_EQ(p.Usage(), "Usage: top COMMAND\n\nCommands:\n  one   the first\n  two   the second\n");
  Streams streams;
  p.SetStreams(streams.out(), streams.err());
  EXPECT_EQ(Parse(p, {"one"}), 5);
  EXPECT_EQ(Parse(p, {"two", "--x", "y"}), 7);
  EXPECT_EQ(received, (std::vector<std::string>{"--x", "y"}));
  EXPECT_EQ(streams.Err(), "");
  EXPECT_EQ(Parse(p, {"three"}), 2);
  EXPECT_EQ(streams.Err(), "top: unknown command 'three'\n" + p.Usage());
  EXPECT_EQ(Parse(p, {}), 2);
  EXPECT_EQ(streams.Err(), "top: unknown command 'three'\n" + p.Usage() + p.Usage());
}

}  // namespace
}  // namespace pelkan::cli
