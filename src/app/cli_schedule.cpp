#include <cstdio>

#include "app/cli_commands.h"

namespace pelkan::cli {

int RunSchedule(int, char**) {
  std::fprintf(stderr, "pelkan-cli schedule: not available in this build yet\n");
  return 1;
}

}  // namespace pelkan::cli
