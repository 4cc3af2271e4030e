#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

// Reading the values of pelkan-cli's options, shared by every subcommand.
namespace pelkan::cli {

// A number as the command line gives it: decimal digits, or hexadecimal digits after "0x" / "0X".
// A leading 0 is just a digit ("0100" is one hundred, never octal). No sign, no blanks, nothing
// after the digits; nullopt when the text is no such number or exceeds `max`.
std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max);

// A file or folder name from the command line (UTF-8) in the Shift-JIS form the program keeps,
// checked at once: nullopt (after saying so on stderr, prefixed with `command`) when the name has a
// character without a Shift-JIS form, which would later lead to a different, '?'-spoilt name.
// `what` names the option for the message ("--dir").
std::optional<std::string> SjisPath(const char* command, const char* what, std::string_view utf8);

// What a command does with the result of its option parsing (0 good, -1 --help, else the exit code
// of bad arguments): nullopt to go on; otherwise the usage has been printed (on standard output
// for --help, with exit code 0; on standard error for bad arguments) and the exit code is returned.
std::optional<int> UsageExit(int parsed, void (*print_usage)(std::FILE*));

}  // namespace pelkan::cli
