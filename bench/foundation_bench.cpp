// Throughput of the byte FIFO, the section CRC, the broadcast text decoder and the reading of its
// Shift-JIS as broadcast text (with the symbols of rows 85-94).
#include <benchmark/benchmark.h>

#include <vector>

#include "base/crc32.h"
#include "core/buffer.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "ts/arib_string.h"

namespace {

void BM_Crc32Section4KiB(benchmark::State& state) {
  std::vector<uint8_t> section(4096);
  for (size_t i = 0; i < section.size(); ++i) section[i] = static_cast<uint8_t>(i * 131 + 7);
  for (auto _ : state) benchmark::DoNotOptimize(pelkan::Crc32Mpeg2(section.data(), section.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_Crc32Section4KiB);

void BM_CBufferCrc32FourBlocks(benchmark::State& state) {
  pelkan::CBuffer buffer(0x10000);
  std::vector<uint8_t> chunk(1024, 0x5A);
  for (int i = 0; i < 4; ++i) buffer.Put(chunk.data(), 1024);
  for (auto _ : state) benchmark::DoNotOptimize(buffer.Crc32(4096));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_CBufferCrc32FourBlocks);

// The capture FIFO's pattern: one Put of a USB transfer, one consuming Get of the same size.
void BM_CBufferPutGet32KiB(benchmark::State& state) {
  pelkan::CBuffer buffer(0xA00000);
  std::vector<uint8_t> in(0x8000, 0x47), out(0x8000);
  // Keep some data queued so that Get walks a realistic list.
  for (int i = 0; i < 8; ++i) buffer.Put(in.data(), 0x8000);
  for (auto _ : state) {
    buffer.Put(in.data(), 0x8000);
    benchmark::DoNotOptimize(buffer.Get(out.data(), 0x8000, 1));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 0x8000);
}
BENCHMARK(BM_CBufferPutGet32KiB);

void BM_CBufferMTPutGet32KiB(benchmark::State& state) {
  pelkan::CBufferMT buffer(0xA00000);
  std::vector<uint8_t> in(0x8000, 0x47), out(0x8000);
  for (auto _ : state) {
    buffer.Put(in.data(), 0x8000);
    benchmark::DoNotOptimize(buffer.Get(out.data(), 0x8000, 1));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 0x8000);
}
BENCHMARK(BM_CBufferMTPutGet32KiB);

// An 80-byte event title: 38 kanji with a katakana run switched in through GR.
void BM_DecodeAribTitle80(benchmark::State& state) {
  std::vector<uint8_t> title;
  for (int i = 0; i < 30; ++i) title.insert(title.end(), {static_cast<uint8_t>(0x30 + i % 16), 0x21});
  title.insert(title.end(), {0x1B, 0x7C});
  while (title.size() < 80) title.push_back(static_cast<uint8_t>(0xA1 + title.size() % 80));
  char out[81];
  for (auto _ : state) {
    pelkan::DecodeAribString(title.data(), static_cast<uint32_t>(title.size()), out, sizeof(out));
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(title.size()));
}
BENCHMARK(BM_DecodeAribTitle80);

// A programme line of the filtering window: "21:00 - 21:54 [新]ドラマ「山﨑家の人々」[字][デ]", read
// as broadcast text (arg 1) or with the plain CP932 reading (arg 0), for comparison.
void BM_ReadBroadcastTitle(benchmark::State& state) {
  const std::string line = "21:00 - 21:54 \xED\xE9" + pelkan::platform::Utf8ToSjis("ドラマ「山") +
                           "\xEB\x5F" + pelkan::platform::Utf8ToSjis("家の人々」") + "\xED\xD4\xED\xD6";
  for (auto _ : state) {
    benchmark::DoNotOptimize(state.range(0) ? pelkan::platform::BroadcastToUtf8(line)
                                            : pelkan::platform::SjisToUtf8(line));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(line.size()));
}
BENCHMARK(BM_ReadBroadcastTitle)->Arg(0)->Arg(1);

}  // namespace
