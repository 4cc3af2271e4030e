#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace pelkan::testing {

// The pelkan-cli program of this build.
std::string CliPath();

// Starts pelkan-cli with `args` in the folder `dir`, its standard output and error going to
// out.txt and err.txt there; returns the child's process id (the caller waits for it).
pid_t StartCliInFolder(const std::string& dir, std::vector<std::string> args);

}  // namespace pelkan::testing
