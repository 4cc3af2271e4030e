// The run-time loader behind the bus and HTTP libraries: what it finds works, and what is missing
// is named in the error, at the use rather than at start.
#include "platform/shared_library.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/sd_bus_library.h"

namespace pelkan::platform {
namespace {

bool Names(const std::string& error, const char* what) {
  return error.find(what) != std::string::npos;
}

TEST(SharedLibrary, ResolvesWhatItHasAndNamesWhatIsMissing) {
  SharedLibrary libc("libc.so.6");
  ASSERT_TRUE(libc.IsOpen()) << libc.error();
  decltype(::strlen)* length = nullptr;
  ASSERT_TRUE(libc.Resolve("strlen", &length));
  EXPECT_EQ(length("pelkan"), 6u);
  EXPECT_EQ(libc.error(), "");
  EXPECT_FALSE(libc.Resolve("pelkan_no_such_function", &length));
  EXPECT_EQ(length, nullptr);
  EXPECT_TRUE(Names(libc.error(), "pelkan_no_such_function")) << libc.error();

  SharedLibrary missing("libpelkan-no-such-library.so.0");
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_TRUE(Names(missing.error(), "libpelkan-no-such-library.so.0")) << missing.error();
  EXPECT_FALSE(missing.Resolve("strlen", &length));
}

struct LibcTable {
  decltype(&::strlen) strlen = nullptr;
  decltype(&::strcmp) strcmp = nullptr;
};

// A table is whole or not there at all: one missing function leaves none of the others to call.
TEST(SharedLibrary, ATableIsLoadedOnceWholeOrNotAtAll) {
  int fills = 0;
  const auto load = [&fills](std::string* error) {
    return LoadLibraryTable<LibcTable>(
        "libc.so.6",
        [&fills](SharedLibrary& library, LibcTable& table) {
          ++fills;
          return library.Resolve("strlen", &table.strlen) && library.Resolve("strcmp", &table.strcmp);
        },
        error);
  };
  std::string error;
  const LibcTable* table = load(&error);
  ASSERT_NE(table, nullptr) << error;
  EXPECT_EQ(table->strlen("abc"), 3u);
  EXPECT_EQ(table, load(nullptr));
  EXPECT_EQ(fills, 1);

  const LibcTable* partial = LoadLibraryTable<LibcTable>(
      "libc.so.6",
      [](SharedLibrary& library, LibcTable& t) {
        return library.Resolve("strlen", &t.strlen) && library.Resolve("pelkan_no_such_function", &t.strcmp);
      },
      &error);
  EXPECT_EQ(partial, nullptr);
  EXPECT_TRUE(Names(error, "pelkan_no_such_function")) << error;
  EXPECT_EQ(LoadLibraryTable<LibcTable>(
                "libpelkan-no-such-library.so.0", [](SharedLibrary&, LibcTable&) { return true; }, &error),
            nullptr);
  EXPECT_TRUE(Names(error, "libpelkan-no-such-library.so.0")) << error;

  // Where libsystemd is installed its table has every function this program calls.
  EXPECT_NE(SdBus(&error), nullptr) << error;
}

}  // namespace
}  // namespace pelkan::platform
