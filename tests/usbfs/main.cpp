// The emulated devices need umockdev's preload library in this process (it redirects /sys and /dev
// and hands the device ioctls to the emulation). CTest sets LD_PRELOAD; run by hand, the program
// starts itself again with it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef PELKAN_UMOCKDEV_PRELOAD
#define PELKAN_UMOCKDEV_PRELOAD "libumockdev-preload.so.0"
#endif

// Reports inside the libraries, whose ordering ThreadSanitizer cannot follow (they are not built
// for it): umockdev's worker thread and GLib, which only the emulation uses (its own accesses are
// not tracked either, see usbfs_emulator.cpp), and libusb freeing a synchronous transfer its event
// handler has just unlocked.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libumockdev.so.0\n"
         "race:libglib-2.0.so.0\n"
         "race:libusb_free_transfer\n";
}

int main(int argc, char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::string(preload).find("libumockdev-preload") == std::string::npos) {
    if (std::getenv("PELKAN_USBFS_RESTARTED") != nullptr) {
      std::fprintf(stderr, "usbfs_tests: libumockdev-preload could not be loaded\n");
      return 1;
    }
    std::string libs = PELKAN_UMOCKDEV_PRELOAD;
    if (preload != nullptr && *preload != '\0') libs += std::string(":") + preload;
    setenv("LD_PRELOAD", libs.c_str(), 1);
    // AddressSanitizer wants to come first among the loaded libraries; the preload library does.
    const char* asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0").c_str(),
           1);
    setenv("PELKAN_USBFS_RESTARTED", "1", 1);
    execv("/proc/self/exe", argv);
    std::perror("usbfs_tests: execv");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
