// Stand-in for libFuzzer when the compiler has none: feeds the target random inputs of random
// sizes (with a bias towards short ones) for a given number of seconds.
// Usage: NAME [--seconds N] [--seed N] [--max-len N]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  double seconds = 5;
  uint64_t seed = 1;
  size_t max_len = 4096;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    else if (std::strcmp(argv[i], "--seed") == 0) seed = std::strtoull(argv[i + 1], nullptr, 0);
    else if (std::strcmp(argv[i], "--max-len") == 0) max_len = std::strtoull(argv[i + 1], nullptr, 0);
  }
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> buf;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  uint64_t runs = 0;
  LLVMFuzzerTestOneInput(nullptr, 0);
  while (std::chrono::steady_clock::now() < end) {
    for (int batch = 0; batch < 64; ++batch) {
      size_t len = rng() % (rng() % 4 == 0 ? max_len + 1 : 64);
      buf.resize(len);
      // Mostly random bytes, sometimes drawn from a small alphabet so that structure repeats.
      const bool small = rng() % 2 == 0;
      for (auto& b : buf) b = small ? static_cast<uint8_t>(rng() % 8 == 0 ? rng() : "\x00\x0e\x0f\x19\x1b\x1d\x24\x28\x47\x42\x20\x7e\xa1\xff\x21\x80"[rng() % 16])
                                    : static_cast<uint8_t>(rng());
      LLVMFuzzerTestOneInput(buf.data(), buf.size());
      ++runs;
    }
  }
  std::printf("%llu runs\n", static_cast<unsigned long long>(runs));
  return 0;
}
