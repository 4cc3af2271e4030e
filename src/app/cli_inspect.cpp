#include <cstdio>

#include "app/cli_commands.h"

namespace pelkan::cli {

int RunInspect(int, char**) {
  std::fprintf(stderr, "pelkan-cli inspect: not available in this build yet\n");
  return 1;
}

}  // namespace pelkan::cli
