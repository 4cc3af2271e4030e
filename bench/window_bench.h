#pragma once

// What the window benchmarks share: message boxes that show nothing, and the main that gives them
// a QApplication (on the offscreen platform unless a display is named).

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <string>

#include "core/user_messages.h"

namespace pelkan::bench {

class QuietMessages : public UserMessages {
 public:
  void Notify(const std::string&, const std::string&) override {}
  bool Ask(const std::string&, const std::string&) override { return false; }
};

inline int RunWindowBenchmarks(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr && std::getenv("DISPLAY") == nullptr)
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace pelkan::bench
