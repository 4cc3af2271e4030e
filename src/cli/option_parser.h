#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The command line of pelkan-cli and of each of its commands: options declared once, parsed from
// argv, and written out as the usage text that --help prints. Every command reads its arguments
// through one of these, so that numbers, messages and exit codes take one form everywhere.
namespace pelkan::cli {

// A number as the command line gives it: decimal digits, or hexadecimal digits after "0x" / "0X".
// A leading 0 is just a digit ("0100" is one hundred, never octal). No sign, no blanks, nothing
// after the digits; nullopt when the text is no such number or exceeds `max`.
std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max);

// Why a file or folder name from the command line (UTF-8) cannot be kept in the program's Shift-JIS
// form, which would later lead to a different, '?'-spoilt name; empty when it can. Worded to follow
// "OPTION 'VALUE'", as an option check returns it.
std::string ShiftJisProblem(std::string_view utf8);

class OptionParser {
 public:
  // Checks and stores the text of an option's value; returns why the value is refused (worded to
  // follow "OPTION 'VALUE'", e.g. "is not HOST:PORT"), or an empty text when it is taken.
  using Take = std::function<std::string(const std::string& value)>;
  // A command run with the arguments after its name; returns the process exit code.
  using Run = std::function<int(int argc, char** argv)>;

  // `command` names the program or command in messages ("pelkan-cli capture"). The usage text is
  // `head` (the synopsis and description, each line ending in '\n'), one entry per declaration in
  // the order declared, then `tail`. An entry's term starts at column 2 and its help at `column`;
  // a term too wide for that has a line of its own. Help lines are separated by '\n'.
  OptionParser(std::string command, std::string head, std::string tail = {}, size_t column = 21);

  // The declarations. A term is the entry's left side as the usage shows it: the option's spellings
  // separated by ", " ("-q, --quiet"), for a value option followed by the value's name
  // ("--device N"); the first word of each spelling is what the command line gives.

  // An option without a value; sets *flag.
  void Flag(const std::string& term, const std::string& help, bool* flag);
  // An option without a value, with an action.
  void Flag(const std::string& term, const std::string& help, std::function<void()> action);
  // An option that prints something on standard output instead of going on, as --help does; Parse
  // then returns 0.
  void Info(const std::string& term, const std::string& help, std::function<void(std::FILE*)> print);
  // An option with a value (the next argument), checked and stored by `take`. Given again, the
  // later value counts.
  void Value(const std::string& term, const std::string& help, Take take);
  // An option with a number from `min` to `max` (ParseNumber) stored in *out.
  template <typename T>
  void Number(const std::string& term, const std::string& help, uint64_t min, uint64_t max, T* out) {
    Value(term, help, NumberIn(min, max, [out](uint64_t v) { *out = static_cast<T>(v); }));
  }
  template <typename T>
  void Number(const std::string& term, const std::string& help, uint64_t min, uint64_t max,
              std::optional<T>* out) {
    Value(term, help, NumberIn(min, max, [out](uint64_t v) { *out = static_cast<T>(v); }));
  }
  // The check of a number from `min` to `max` (ParseNumber), handing it to `store`; refused as
  // "is not a number from MIN to MAX".
  static Take NumberIn(uint64_t min, uint64_t max, std::function<void(uint64_t)> store);
  // An option that may be given several times, each value checked by `take` (which collects it).
  void Repeated(const std::string& term, const std::string& help, Take take);
  // Another spelling of a declared option, not shown in the usage.
  void Alias(const std::string& name, const std::string& of);
  // The arguments that are not options ('-' alone is one; so is everything after "--"), each
  // checked by `take`; between `min` and `max` of them. Not shown in the usage (the head names them).
  void Positionals(const std::string& name, size_t min, size_t max, Take take);
  // A command: the first argument that is not an option runs `run` with the arguments after it.
  // The usage shows "NAME  HELP". Without a command named, Parse fails with the usage.
  void Command(const std::string& name, const std::string& help, Run run);
  // Literal text at this place of the usage.
  void Text(const std::string& text);

  // Where the usage and messages go (tests); standard output and error by default.
  void SetStreams(std::FILE* out, std::FILE* err);

  // Parses `argc` arguments (without the program or command name). nullopt: the options are good
  // and stored, go on. Otherwise the exit code to return: 0 after --help or -h printed the usage on
  // standard output; 2 after a message "COMMAND: ..." and the usage on standard error; or what a
  // declared command returned.
  std::optional<int> Parse(int argc, char** argv);

  // Bad arguments (also a bad combination found after parsing): "COMMAND: MESSAGE" and the usage
  // on standard error. Returns 2, the exit code of bad arguments.
  int Fail(const std::string& message) const;

  // The usage text built from the declarations.
  std::string Usage() const;
  void PrintUsage(std::FILE* out) const;

  const std::string& command() const { return command_; }

 private:
  enum class Kind { kFlag, kInfo, kValue, kRepeated, kCommand, kText };
  struct Entry {
    Kind kind;
    std::string term;
    std::string help;
    std::vector<std::string> names;
    std::function<void()> action;
    std::function<void(std::FILE*)> print;
    Take take;
    Run run;
  };

  Entry& Add(Kind kind, const std::string& term, const std::string& help);
  const Entry* Find(std::string_view name) const;

  std::string command_;
  std::string head_;
  std::string tail_;
  size_t column_;
  std::vector<Entry> entries_;
  std::vector<std::pair<std::string, std::string>> aliases_;  // name, declared name
  std::string positional_name_;
  size_t positional_min_ = 0;
  size_t positional_max_ = 0;
  Take positional_take_;
  std::FILE* out_ = stdout;
  std::FILE* err_ = stderr;
};

}  // namespace pelkan::cli
