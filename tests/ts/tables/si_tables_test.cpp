// NIT, SDT and time-table handlers, through the processor.
#include <gtest/gtest.h>

#include "platform/text_codec.h"
#include "tests/support/processor_harness.h"

namespace pelkan {
namespace {

using test::Bytes;
using test::ProcessorHarness;
using test::TsBuilder;

std::string Utf8(const char* sjis) { return platform::SjisToUtf8(sjis); }

// The given sections on `pid` after a PAT that names 0x0010 as network PID, padded so that the
// search window fills.
Bytes Stream(uint16_t pid, const std::vector<Bytes>& sections) {
  TsBuilder b;
  b.Section(0, test::PatSection(1, 1, {{0, 0x10}, {0x400, 0x1F0}}));
  for (const Bytes& s : sections) b.Section(pid, s);
  b.Null(3);
  return b.bytes();
}

TEST(NitHandler, NameAndSatelliteDelivery) {
  ProcessorHarness h;
  const Bytes sat = test::SatelliteDeliveryDescriptor(0x01172766, 0x1100, 0x80 | 0x20 | 0x08, 0x0288600, 0x3);
  h.Feed(Stream(0x10, {test::NitSection(0x40, 4, 1, test::Descriptor(0x40, test::AribAlnum("BS")),
                                        {{0x4010, 4, sat}, {0x4011, 4, {}}})}));
  EXPECT_EQ(h.log.TableEventTypes(), (std::vector<uint32_t>{EVENT_STREAM_RESET, EVENT_PROGRAM_LIST,
                                                             EVENT_SATELLITE_DELIVERY, EVENT_SATELLITE_DELIVERY,
                                                             EVENT_NETWORK_NAME}));
  const auto deliveries = h.log.OfType(EVENT_SATELLITE_DELIVERY);
  EXPECT_EQ(deliveries[0].param, 4);
  EXPECT_EQ(deliveries[0].count, 0x4010u);
  const auto sd = test::PayloadAs<SatelliteDelivery>(deliveries[0]);
  EXPECT_DOUBLE_EQ(sd.frequency, 1172766 * 0.01);
  EXPECT_DOUBLE_EQ(sd.orbital_position, 1100 * 0.1);
  EXPECT_EQ(sd.west_east_flag, 1);
  EXPECT_EQ(sd.polarisation, 1);
  EXPECT_EQ(sd.modulation, 8);
  EXPECT_DOUBLE_EQ(sd.symbol_rate, 288600 * 0.0001);
  EXPECT_EQ(sd.fec_inner, 3);
  const auto empty = test::PayloadAs<SatelliteDelivery>(deliveries[1]);
  EXPECT_EQ(empty.frequency, 0.0);
  EXPECT_EQ(deliveries[1].count, 0x4011u);
  const auto name = h.log.OfType(EVENT_NETWORK_NAME)[0];
  EXPECT_EQ(name.param, 4);
  EXPECT_EQ(name.count, 0u);
  EXPECT_EQ(Utf8(reinterpret_cast<const char*>(name.data.data())), test::FullWidthUtf8("BS"));
}

TEST(NitHandler, NameIsCutToEighteenBytes) {
  ProcessorHarness h;
  h.Feed(Stream(0x10, {test::NitSection(0x40, 4, 1, test::Descriptor(0x40, test::AribAlnum("ABCDEFGHIJKL")), {})}));
  const auto name = h.log.OfType(EVENT_NETWORK_NAME)[0];
  EXPECT_EQ(Utf8(reinterpret_cast<const char*>(name.data.data())), test::FullWidthUtf8("ABCDEFGHI"));
}

TEST(NitHandler, WithoutNameDescriptorNameIsEmpty) {
  ProcessorHarness h;
  h.Feed(Stream(0x10, {test::NitSection(0x40, 4, 1, {}, {})}));
  const auto names = h.log.OfType(EVENT_NETWORK_NAME);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].data, Bytes{0});
}

TEST(NitHandler, OtherNetworkKeepsItsOwnVersion) {
  ProcessorHarness h;
  h.Feed(Stream(0x10, {test::NitSection(0x41, 5, 3, {}, {}), test::NitSection(0x40, 4, 3, {}, {}),
                       test::NitSection(0x40, 4, 3, {}, {}), test::NitSection(0x41, 5, 3, {}, {}),
                       test::NitSection(0x40, 4, 4, {}, {})}));
  // NIT-other of version 3 does not stand for NIT-actual of version 3; each repeat is skipped.
  const auto names = h.log.OfType(EVENT_NETWORK_NAME);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0].param, 4);
}

TEST(NitHandler, EverySectionOfAVersionIsTakenIn) {
  ProcessorHarness h;
  h.Feed(Stream(0x10, {test::NitSection(0x40, 4, 2, {}, {{0x4010, 4, {}}}, 0, 1),
                       test::NitSection(0x40, 4, 2, {}, {{0x4011, 4, {}}}, 1, 1),
                       test::NitSection(0x40, 4, 2, {}, {{0x4010, 4, {}}}, 0, 1)}));
  const auto deliveries = h.log.OfType(EVENT_SATELLITE_DELIVERY);
  ASSERT_EQ(deliveries.size(), 2u);
  EXPECT_EQ(deliveries[0].count, 0x4010u);
  EXPECT_EQ(deliveries[1].count, 0x4011u);
}

TEST(NitHandler, Table7FGivesEmptyNameWithCountOne) {
  ProcessorHarness h;
  h.Feed(Stream(0x10, {test::LongSection(0x7F, 9, 1, {0xF0, 0x00})}));
  const auto names = h.log.OfType(EVENT_NETWORK_NAME);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].param, 9);
  EXPECT_EQ(names[0].count, 1u);
}

TEST(NitHandler, TruncatedTransportStreamEntryIsDropped) {
  // Transport stream loop: one entry whose descriptors claim 0x20 bytes, only 2 present.
  Bytes body{0xF0, 0x00, 0xF0, 0x08, 0x40, 0x10, 0x00, 0x04, 0xF0, 0x20, 0x01, 0x02};
  ProcessorHarness h;
  h.Feed(Stream(0x10, {test::LongSection(0x40, 4, 1, body)}));
  EXPECT_EQ(h.log.Count(EVENT_SATELLITE_DELIVERY), 0u);
  EXPECT_EQ(h.log.Count(EVENT_NETWORK_NAME), 1u);
}

TEST(NitHandler, NotRoutedWithoutPat) {
  TsBuilder b;
  b.Section(0x10, test::NitSection(0x40, 4, 1, {}, {}));
  b.Null(3);
  ProcessorHarness h;
  h.Feed(b.bytes());
  EXPECT_EQ(h.log.Count(EVENT_NETWORK_NAME), 0u);
}

TEST(SdtHandler, OneEventPerServiceInLoopOrder) {
  ProcessorHarness h;
  h.Feed(Stream(0x11, {test::SdtSection(0x42, 1, 4, 1,
                                        {{0x401, test::ServiceDescriptor(1, test::AribAlnum("P"), test::AribAlnum("ONE"))},
                                         {0x400, {}}})}));
  const auto names = h.log.OfType(EVENT_SERVICE_NAME);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0].param, 0x401);
  const auto first = test::PayloadAs<ServiceNames>(names[0]);
  EXPECT_EQ(Utf8(first.service_name), test::FullWidthUtf8("ONE"));
  EXPECT_EQ(Utf8(first.provider_name), test::FullWidthUtf8("P"));
  const auto second = test::PayloadAs<ServiceNames>(names[1]);
  EXPECT_EQ(names[1].param, 0x400);
  EXPECT_EQ(second.service_name[0], 0);
  EXPECT_EQ(second.provider_name[0], 0);
}

TEST(SdtHandler, SameVersionIgnoredOtherTableLeavesVersionAlone) {
  ProcessorHarness h;
  h.Feed(Stream(0x11, {test::SdtSection(0x42, 1, 4, 1, {{0x400, {}}}),
                       test::SdtSection(0x42, 1, 4, 1, {{0x401, {}}}),
                       test::SdtSection(0x46, 2, 4, 2, {{0x500, {}}}),
                       test::SdtSection(0x42, 1, 4, 1, {{0x402, {}}}),
                       test::SdtSection(0x42, 1, 4, 2, {{0x403, {}}})}));
  const auto names = h.log.OfType(EVENT_SERVICE_NAME);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0].param, 0x400);
  EXPECT_EQ(names[1].param, 0x403);
}

TEST(SdtHandler, MultiSectionTableNamesEveryService) {
  // A satellite multiplex's SDT: sections 0 and 1 back to back in one packet, then the next packet
  // of the PID starts section 2; the cycle repeats unchanged.
  const auto service = [](uint16_t id, const char* name) {
    return test::SdtService{id, test::ServiceDescriptor(1, test::AribAlnum("P"), test::AribAlnum(name))};
  };
  const Bytes s0 = test::SdtSection(0x42, 1, 4, 7, {service(0x400, "A")}, 0, 2);
  const Bytes s1 = test::SdtSection(0x42, 1, 4, 7, {service(0x401, "B")}, 1, 2);
  const Bytes s2 = test::SdtSection(0x42, 1, 4, 7, {service(0x402, "C")}, 2, 2);
  TsBuilder b;
  b.Section(0, test::PatSection(1, 1, {{0, 0x10}, {0x400, 0x1F0}}));
  for (int cycle = 0; cycle < 2; ++cycle) {
    b.Sections(0x11, {s0, s1});
    b.Section(0x11, s2);
  }
  b.Null(3);
  ProcessorHarness h;
  h.Feed(b.bytes());
  const auto names = h.log.OfType(EVENT_SERVICE_NAME);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0].param, 0x400);
  EXPECT_EQ(names[1].param, 0x401);
  EXPECT_EQ(names[2].param, 0x402);
  EXPECT_EQ(Utf8(test::PayloadAs<ServiceNames>(names[2]).service_name), test::FullWidthUtf8("C"));
}

TEST(SdtHandler, NamesAreCutTo28Bytes) {
  ProcessorHarness h;
  h.Feed(Stream(0x11, {test::SdtSection(0x42, 1, 4, 1,
                                        {{0x400, test::ServiceDescriptor(1, {}, test::AribAlnum("ABCDEFGHIJKLMNOPQRST"))}})}));
  const auto n = test::PayloadAs<ServiceNames>(h.log.OfType(EVENT_SERVICE_NAME)[0]);
  EXPECT_EQ(std::strlen(n.service_name), 28u);
}

TEST(SdtHandler, NameLengthPastDescriptorLeavesNameEmpty) {
  // service_descriptor: type 1, provider "" , name length 40 but only 2 bytes follow.
  const Bytes bad = test::Descriptor(0x48, {0x01, 0x00, 40, 0x0E, 0x41});
  ProcessorHarness h;
  h.Feed(Stream(0x11, {test::SdtSection(0x42, 1, 4, 1, {{0x400, bad}})}));
  const auto names = h.log.OfType(EVENT_SERVICE_NAME);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(test::PayloadAs<ServiceNames>(names[0]).service_name[0], 0);
}

TEST(TimeHandler, TimeOffsetTableGivesClock) {
  ProcessorHarness h;
  h.Feed(Stream(0x14, {test::TotSection(0xE39A, 0x12, 0x34, 0x56)}));
  const auto times = h.log.OfType(EVENT_BROADCAST_TIME);
  ASSERT_EQ(times.size(), 1u);
  const auto t = test::PayloadAs<BroadcastTime>(times[0]);
  EXPECT_EQ(t.date, 0xE39Au);
  EXPECT_EQ(t.seconds, 45296u);
  EXPECT_EQ(t.raw_time[0], 0x12);
  EXPECT_EQ(t.raw_time[2], 0x56);
  EXPECT_EQ(t.raw_time[3], 0);
  EXPECT_EQ(t.hour, 12);
  EXPECT_EQ(t.minute, 34);
  EXPECT_EQ(t.second, 56);
}

TEST(TimeHandler, TimeAndDateTableWithoutCrcGivesNothing) {
  ProcessorHarness h;
  h.Feed(Stream(0x14, {test::TdtSection(0xE39A, 0x12, 0x34, 0x56)}));
  EXPECT_EQ(h.log.Count(EVENT_BROADCAST_TIME), 0u);
}

TEST(TimeHandler, DecodedEvenWithPsiOff) {
  ProcessorHarness h(nullptr, false, false);
  h.Feed(Stream(0x14, {test::TotSection(0xE39A, 0x12, 0x34, 0x56)}));
  EXPECT_EQ(h.log.TableEventTypes(), (std::vector<uint32_t>{EVENT_BROADCAST_TIME}));
}

TEST(TimeHandler, SectionTooShortForTheTimeGivesNothing) {
  ProcessorHarness h;
  h.Feed(Stream(0x14, {test::ShortSection(0x73, {0xE3, 0x9A}, true)}));
  EXPECT_EQ(h.log.Count(EVENT_BROADCAST_TIME), 0u);
}

}  // namespace
}  // namespace pelkan
