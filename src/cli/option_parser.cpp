#include "cli/option_parser.h"

#include <limits>
#include <utility>

#include "platform/text_codec.h"

namespace pelkan::cli {

std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  if (value > max) return std::nullopt;
  return value;
}

std::string ShiftJisProblem(std::string_view utf8) {
  if (platform::Utf8ToSjisExact(utf8)) return {};
  return "has a character without a Shift-JIS form; recordings and reservations keep names in "
         "Shift-JIS, so choose a name without it";
}

OptionParser::OptionParser(std::string command, std::string head, std::string tail, size_t column)
    : command_(std::move(command)), head_(std::move(head)), tail_(std::move(tail)), column_(column) {}

OptionParser::Entry& OptionParser::Add(Kind kind, const std::string& term, const std::string& help) {
  Entry& e = entries_.emplace_back();
  e.kind = kind;
  e.term = term;
  e.help = help;
  // Each spelling's first word: "-q, --quiet" gives -q and --quiet, "--device N" gives --device.
  size_t start = 0;
  for (;;) {
    const size_t comma = term.find(", ", start);
    const std::string piece = term.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    e.names.push_back(piece.substr(0, piece.find(' ')));
    if (comma == std::string::npos) break;
    start = comma + 2;
  }
  return e;
}

void OptionParser::Flag(const std::string& term, const std::string& help, bool* flag) {
  Flag(term, help, [flag] { *flag = true; });
}

void OptionParser::Flag(const std::string& term, const std::string& help, std::function<void()> action) {
  Add(Kind::kFlag, term, help).action = std::move(action);
}

void OptionParser::Info(const std::string& term, const std::string& help, std::function<void(std::FILE*)> print) {
  Add(Kind::kInfo, term, help).print = std::move(print);
}

void OptionParser::Value(const std::string& term, const std::string& help, Take take) {
  Add(Kind::kValue, term, help).take = std::move(take);
}

void OptionParser::Repeated(const std::string& term, const std::string& help, Take take) {
  Add(Kind::kRepeated, term, help).take = std::move(take);
}

OptionParser::Take OptionParser::NumberIn(uint64_t min, uint64_t max, std::function<void(uint64_t)> store) {
  return [min, max, store = std::move(store)](const std::string& text) -> std::string {
    const auto v = ParseNumber(text, max);
    if (!v || *v < min) return "is not a number from " + std::to_string(min) + " to " + std::to_string(max);
    store(*v);
    return {};
  };
}

void OptionParser::Alias(const std::string& name, const std::string& of) { aliases_.emplace_back(name, of); }

void OptionParser::Positionals(const std::string& name, size_t min, size_t max, Take take) {
  positional_name_ = name;
  positional_min_ = min;
  positional_max_ = max;
  positional_take_ = std::move(take);
}

void OptionParser::Command(const std::string& name, const std::string& help, Run run) {
  Add(Kind::kCommand, name, help).run = std::move(run);
}

void OptionParser::Text(const std::string& text) { Add(Kind::kText, text, {}).names.clear(); }

void OptionParser::SetStreams(std::FILE* out, std::FILE* err) {
  out_ = out;
  err_ = err;
}

const OptionParser::Entry* OptionParser::Find(std::string_view name) const {
  for (const auto& [alias, of] : aliases_) {
    if (alias == name) name = of;
  }
  for (const Entry& e : entries_) {
    if (e.kind == Kind::kCommand || e.kind == Kind::kText) continue;
    for (const std::string& n : e.names) {
      if (n == name) return &e;
    }
  }
  return nullptr;
}

std::optional<int> OptionParser::Parse(int argc, char** argv) {
  bool has_commands = false;
  for (const Entry& e : entries_) has_commands = has_commands || e.kind == Kind::kCommand;
  bool options_end = false;
  size_t positionals = 0;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    const bool option = !options_end && a.size() > 1 && a[0] == '-';
    if (option && a == "--") {
      options_end = true;
    } else if (option && (a == "--help" || a == "-h")) {
      PrintUsage(out_);
      return 0;
    } else if (option) {
      const Entry* e = Find(a);
      if (e == nullptr) return Fail("unknown option '" + a + "'");
      if (e->kind == Kind::kFlag) {
        e->action();
      } else if (e->kind == Kind::kInfo) {
        e->print(out_);
        return 0;
      } else {
        if (i + 1 >= argc) return Fail(a + " needs a value");
        const std::string value = argv[++i];
        const std::string problem = e->take(value);
        if (!problem.empty()) return Fail(a + " '" + value + "' " + problem);
      }
    } else if (has_commands) {
      for (const Entry& e : entries_) {
        if (e.kind == Kind::kCommand && e.term == a) return e.run(argc - i - 1, argv + i + 1);
      }
      return Fail("unknown command '" + a + "'");
    } else if (positional_take_ && positionals < positional_max_) {
      ++positionals;
      const std::string problem = positional_take_(a);
      if (!problem.empty()) return Fail(positional_name_ + " '" + a + "' " + problem);
    } else {
      return Fail("unexpected argument '" + a + "'");
    }
  }
  if (has_commands || positionals < positional_min_) {
    // Nothing to do at all: the usage says what is needed.
    PrintUsage(err_);
    return 2;
  }
  return std::nullopt;
}

int OptionParser::Fail(const std::string& message) const {
  std::fprintf(err_, "%s: %s\n", command_.c_str(), message.c_str());
  PrintUsage(err_);
  return 2;
}

std::string OptionParser::Usage() const {
  std::string usage = head_;
  for (const Entry& e : entries_) {
    if (e.kind == Kind::kText) {
      usage += e.term;
      continue;
    }
    const std::string left = "  " + e.term;
    const std::string indent(column_, ' ');
    usage += left.size() < column_ ? left + std::string(column_ - left.size(), ' ') : left + "\n" + indent;
    size_t start = 0;
    for (;;) {
      const size_t nl = e.help.find('\n', start);
      usage += e.help.substr(start, nl == std::string::npos ? std::string::npos : nl - start) + "\n";
      if (nl == std::string::npos) break;
      usage += indent;
      start = nl + 1;
    }
  }
  return usage + tail_;
}

void OptionParser::PrintUsage(std::FILE* out) const { std::fputs(Usage().c_str(), out); }

}  // namespace pelkan::cli
