#include <cstdio>

#include "app/cli_commands.h"

namespace pelkan::cli {

int RunCapture(int, char**) {
  std::fprintf(stderr, "pelkan-cli capture: not available in this build yet\n");
  return 1;
}

}  // namespace pelkan::cli
