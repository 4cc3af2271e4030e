#include "tests/support/report_table.h"

#include "ts/pid_checker.h"
#include "ts/stream_check.h"

namespace pelkan::testing {

std::string ReportTable(const std::string& text) {
  const size_t from = text.find("\nPID ");
  const size_t total = text.find("\ntotal ");
  if (from == std::string::npos || total == std::string::npos) return std::string();
  return text.substr(from + 1, text.find('\n', total + 1) - from);
}

std::string CheckTable(const std::string& path) {
  StreamCheck check;
  std::string error;
  if (!check.FeedFile(path, &error)) return error;
  std::string table;
  for (const std::string& line : PidTableLines(check.checker())) table += line + "\n";
  return table;
}

}  // namespace pelkan::testing
