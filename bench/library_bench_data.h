#pragma once

// A recordings' catalogue for the benchmarks: 10,000 recordings over 8 services and 200 series
// (one in 17 partial), written once per process into a library.sqlite in a temporary folder that
// goes at exit.

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "hooks/recording_outcome.h"
#include "library/recording_library.h"

namespace pelkan::bench {

inline constexpr int kRecordings = 10000;

// The catalogue's path; "" when it could not be made.
inline const std::string& LibraryFile() {
  static const std::string path = [] {
    char pattern[] = "/tmp/pelkan-library-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return std::string();
    static const std::string dir = pattern;
    std::string error;
    auto l = RecordingLibrary::Open(dir + "/library.sqlite", nullptr, &error);
    if (!l) return std::string();
    const char* const titles[] = {"ニュース７", "Ｊリーグ中継", "歌謡コンサート", "ダーウィンが来た", "羅生門 [字]"};
    for (int i = 0; i < kRecordings; ++i) {
      hooks::RecordingOutcome o;
      o.file = dir + "/rec" + std::to_string(i) + ".ts";
      o.report = o.file + ".err";
      o.title = std::string(titles[i % 5]) + " 第" + std::to_string(i % 200) + "話";
      o.plain_title = o.title;
      o.service_id = static_cast<uint16_t>(1024 + i % 8);
      o.service_name = "ペルカン" + std::to_string(i % 8);
      o.result = i % 17 == 0 ? "partial" : "complete";
      o.actual_start = JapanIsoOfEpoch(1'700'000'000 + int64_t{i} * 3600);
      o.actual_end = JapanIsoOfEpoch(1'700'001'800 + int64_t{i} * 3600);
      o.bytes = 1800ull * 2'000'000;
      l->Complete(o, o.file, 1);
    }
    std::atexit([] { std::filesystem::remove_all(dir); });
    return dir + "/library.sqlite";
  }();
  return path;
}

}  // namespace pelkan::bench
