#include "ts/service_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "base/crc32.h"
#include "tests/support/ts_builder.h"

namespace pelkan {
namespace {

using test::Bytes;

// Three services with long names, so that the SDT spans several packets.
std::vector<test::SdtService> Services() {
  std::vector<test::SdtService> services;
  for (uint16_t id : {0x400, 0x401, 0x402}) {
    const Bytes name(60, static_cast<uint8_t>('A' + (id & 0x0F)));
    services.push_back({id, test::ServiceDescriptor(0x01, Bytes(20, 'p'), name)});
  }
  return services;
}

// A recording or an HTTP stream of one service: its PAT entry, PMT, elementary streams and SDT
// entry alone reach it, whatever the packet size; the other stream's SDT does not; the SDT packets
// made carry the section whole with running continuity counters.
TEST(ServiceFilter, KeepsOnlyTheServicesPatPmtAndSdtEntry) {
  const uint16_t kept[] = {0x400};
  const std::map<uint16_t, std::vector<ComponentEntry>> components = {
      {0x400, {{0x02, 0x100}}}, {0x401, {{0x02, 0x110}}}, {0x402, {{0x02, 0x120}}}};
  const std::vector<ProgramListEntry> pat = {{0x400, 0x1F0}, {0x401, 0x1F1}, {0x402, 0x1F2}};
  test::TsBuilder b;
  b.Section(0, test::PatSection(1, 1, {{0x400, 0x1F0}, {0x401, 0x1F1}, {0x402, 0x1F2}}));
  for (const auto& [service, entries] : components) {
    b.Section(static_cast<uint16_t>(0x1F0 + (service & 0x0F)),
              test::PmtSection(service, 0, entries[0].elementary_pid, {{0x02, entries[0].elementary_pid, {}}}));
    b.Packet(entries[0].elementary_pid, {1});
  }
  // The SDT of this stream and of another one back to back, twice.
  const Bytes actual = test::SdtSection(0x42, 1, 4, 3, Services());
  const Bytes other = test::SdtSection(0x46, 2, 4, 3, Services());
  ASSERT_GT(actual.size(), 184u);
  b.Sections(0x11, {actual, other});
  b.Sections(0x11, {actual, other});
  const Bytes expected_sdt = test::SdtSection(0x42, 1, 4, 3, {Services()[0]});

  for (const uint32_t size : {188u, 204u}) {
    SCOPED_TRACE(size);
    const Bytes stream = test::Reframe(b.bytes(), size, 0xAA);
    ServiceFilter filter;
    filter.Limit(kept, components, pat);
    std::set<uint16_t> pids;
    Bytes sdt;
    int sdt_starts = 0;
    int expected_cc = -1;
    for (size_t at = 0; at + size <= stream.size(); at += size) {
      const std::span<const uint8_t> out = filter.Pass(stream.data() + at, size, pat);
      ASSERT_EQ(out.size() % size, 0u);
      for (size_t p = 0; p < out.size(); p += size) {
        const uint8_t* ts = out.data() + p;
        const uint16_t pid = static_cast<uint16_t>((ts[1] & 0x1F) << 8 | ts[2]);
        pids.insert(pid);
        if (pid == 0) {
          // The PAT lists the kept programme alone.
          const uint8_t* s = ts + 5;
          EXPECT_EQ((s[1] & 0x0F) << 8 | s[2], 13);
          EXPECT_EQ(s[8] << 8 | s[9], 0x400);
          EXPECT_EQ(Crc32Mpeg2(s, 16), 0u);
        }
        if (pid != 0x11) continue;
        if (expected_cc >= 0) {
          EXPECT_EQ(ts[3] & 0x0F, expected_cc);
        }
        expected_cc = ((ts[3] & 0x0F) + 1) & 0x0F;
        if ((ts[1] & 0x40) != 0) {
          ++sdt_starts;
          EXPECT_EQ(ts[4], 0);
          sdt.insert(sdt.end(), ts + 5, ts + 188);
        } else {
          sdt.insert(sdt.end(), ts + 4, ts + 188);
        }
        if (size == 204) {
          EXPECT_EQ(ts[188], 0xAA);
        }
      }
    }
    EXPECT_EQ(pids, (std::set<uint16_t>{0, 0x11, 0x100, 0x1F0}));
    // Each SDT actual once, its kept service alone, with a valid CRC; the other stream's is gone.
    EXPECT_EQ(sdt_starts, 2);
    ASSERT_GE(sdt.size(), 2 * expected_sdt.size());
    EXPECT_EQ(Bytes(sdt.begin(), sdt.begin() + static_cast<std::ptrdiff_t>(expected_sdt.size())), expected_sdt);
  }
}

// A damaged SDT section, or one cut off by a new start, is dropped; the next whole one goes out.
TEST(ServiceFilter, DamagedOrCutSdtSectionsAreDropped) {
  const uint16_t kept[] = {0x401};
  ServiceFilter filter;
  filter.Limit(kept, {}, {});
  const Bytes actual = test::SdtSection(0x42, 1, 4, 3, Services());
  test::TsBuilder b;
  b.Section(0x11, test::CorruptCrc(actual));
  // pointer_field 0, then the first 100 bytes: the next section starts anew.
  Bytes cut(101, 0);
  std::copy(actual.begin(), actual.begin() + 100, cut.begin() + 1);
  b.Packet(0x11, cut, true);
  b.Section(0x11, actual);
  int starts = 0;
  for (size_t at = 0; at < b.bytes().size(); at += 188) {
    const std::span<const uint8_t> out = filter.Pass(b.bytes().data() + at, 188, {});
    for (size_t p = 0; p < out.size(); p += 188) starts += (out[p + 1] & 0x40) != 0 ? 1 : 0;
  }
  EXPECT_EQ(starts, 1);
}

}  // namespace
}  // namespace pelkan
