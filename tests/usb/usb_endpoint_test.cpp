#include "usb/usb_endpoint.h"

#include <gtest/gtest.h>

#include "fake_usb_driver.h"

namespace pelkan::usb {
namespace {

using testing::FakeDeviceState;
using testing::FakeHandle;

UsbEndpointDescriptor Desc(uint8_t address, uint8_t attributes, uint16_t max_packet) {
  UsbEndpointDescriptor d;
  d.bEndpointAddress = address;
  d.bmAttributes = attributes;
  d.wMaxPacketSize = max_packet;
  return d;
}

struct EndpointTest : ::testing::Test {
  std::shared_ptr<FakeDeviceState> state = std::make_shared<FakeDeviceState>();
  FakeHandle handle{state};
};

TEST_F(EndpointTest, DirectBeginSendsAHeaderOnlyBlockAndTheCallersBuffer) {
  UsbBulkEndpoint ep(&handle, Desc(0x86, 2, 512));
  state->data_pending = true;
  uint8_t buf[0x8000];
  Overlapped ov;
  ov.Reset();
  auto block = ep.BeginDataXfer(buf, sizeof(buf), &ov);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(ov.begin_error, kIoPending);
  ASSERT_EQ(state->calls.size(), 1u);
  const auto& call = state->calls[0];
  EXPECT_EQ(call.code, kIoctlDirectTransfer);
  ASSERT_EQ(call.in.size(), kBlockHeaderSize);
  EXPECT_EQ(call.in[kBlockEndpoint], 0x86);
  EXPECT_EQ(GetLe32(&call.in[kBlockDataOffset]), 0u);
  EXPECT_EQ(call.out_size, sizeof(buf));
  EXPECT_TRUE(call.overlapped);
  EXPECT_FALSE(ep.WaitForXfer(&ov, 0));
  state->pending[0]->Complete(true, 0, 0);
  EXPECT_TRUE(ep.WaitForXfer(&ov, 0));
  uint32_t len = sizeof(buf);
  EXPECT_TRUE(ep.FinishDataXfer(buf, &len, &ov, std::move(block)));
  EXPECT_EQ(len, 0u);  // a direct transfer returning 0 bytes reports 0
}

TEST_F(EndpointTest, BufferedInCopiesTheDataOutOfTheBlock) {
  UsbBulkEndpoint ep(&handle, Desc(0x86, 2, 512));
  ep.set_direct(false);
  for (int i = 0; i < 600; ++i) state->data_reply.push_back(static_cast<uint8_t>(i));
  std::vector<uint8_t> buf(512, 0xEE);
  Overlapped ov;
  ov.Reset();
  auto block = ep.BeginDataXfer(buf.data(), 512, &ov);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(state->calls[0].code, kIoctlBufferedTransfer);
  EXPECT_EQ(state->calls[0].in.size(), kBlockHeaderSize + 512);
  EXPECT_EQ(GetLe32(&state->calls[0].in[kBlockDataOffset]), kBlockHeaderSize);
  EXPECT_EQ(GetLe32(&state->calls[0].in[kBlockDataLength]), 512u);
  ASSERT_TRUE(ep.WaitForXfer(&ov, 0));
  uint32_t len = 512;
  ASSERT_TRUE(ep.FinishDataXfer(buf.data(), &len, &ov, std::move(block)));
  EXPECT_EQ(len, 512u);  // 38 + 512 returned
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[511], static_cast<uint8_t>(511));
}

TEST_F(EndpointTest, FinishFailsOnAStatusWord) {
  UsbBulkEndpoint ep(&handle, Desc(0x86, 2, 512));
  state->data_pending = true;
  uint8_t buf[512];
  Overlapped ov;
  ov.Reset();
  auto block = ep.BeginDataXfer(buf, sizeof(buf), &ov);
  WriteBlockStatus(block->data(), 0xC0000004, 0);
  state->pending[0]->Complete(true, 512, 0);
  uint32_t len = sizeof(buf);
  EXPECT_FALSE(ep.FinishDataXfer(buf, &len, &ov, std::move(block)));
  EXPECT_EQ(ep.status1(), 0xC0000004u);
}

TEST_F(EndpointTest, ControlBlockCarriesSetupAndRoundedTimeout) {
  UsbControlEndpoint ep(&handle, Desc(0, 0, 64));
  EXPECT_FALSE(ep.direct());
  ep.direction = 1;
  ep.request_type = 2;
  ep.recipient = 1;
  ep.request = 0xB5;
  ep.value = 0x1234;
  ep.index = 0x0002;
  ep.set_timeout(500);
  uint8_t buf[4] = {};
  Overlapped ov;
  ov.Reset();
  auto block = ep.BeginDataXfer(buf, 4, &ov);
  ASSERT_NE(block, nullptr);
  const auto& in = state->calls[0].in;
  EXPECT_EQ(state->calls[0].code, kIoctlControlTransfer);
  EXPECT_EQ(in[kBlockRequestType], 0x80 | 0x40 | 0x01);
  EXPECT_EQ(in[kBlockRequest], 0xB5);
  EXPECT_EQ(GetLe16(&in[kBlockValue]), 0x1234);
  EXPECT_EQ(GetLe16(&in[kBlockIndex]), 2);
  EXPECT_EQ(GetLe16(&in[kBlockLength]), 4);
  EXPECT_EQ(GetLe32(&in[kBlockTimeout]), 1u);  // 500 ms is sent as 1 s
  EXPECT_EQ(in[kBlockEndpoint], 0);
  EXPECT_TRUE(ep.is_in());
  EXPECT_EQ(UsbControlEndpoint::TimeoutSeconds(0), 0u);
  EXPECT_EQ(UsbControlEndpoint::TimeoutSeconds(999), 1u);
  EXPECT_EQ(UsbControlEndpoint::TimeoutSeconds(2500), 2u);
}

TEST_F(EndpointTest, TransferSizeRoundsUpToWholePackets) {
  UsbBulkEndpoint ep512(&handle, Desc(0x86, 2, 512));
  ep512.SetXferSize(0x8000);
  ASSERT_EQ(state->calls.back().code, kIoctlSetTransferSize);
  ASSERT_EQ(state->calls.back().in.size(), 5u);
  EXPECT_EQ(state->calls.back().in[0], 0x86);
  EXPECT_EQ(GetLe32(&state->calls.back().in[1]), 0x8000u);
  UsbBulkEndpoint ep1023(&handle, Desc(0x82, 2, 1023));
  ep1023.SetXferSize(0x8000);
  EXPECT_EQ(GetLe32(&state->calls.back().in[1]), 33759u);
}

TEST_F(EndpointTest, IsochronousBeginOfNothingIssuesNoRequest) {
  UsbIsoEndpoint ep(&handle, Desc(0x83, 1, 1024));
  Overlapped ov;
  ov.Reset();
  EXPECT_EQ(ep.BeginDataXfer(nullptr, 0, &ov), nullptr);
  EXPECT_TRUE(state->calls.empty());
  uint8_t buf[3000];
  auto block = ep.BeginDataXfer(buf, sizeof(buf), &ov);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(GetLe32(&state->calls[0].in[kBlockPacketLength]), 3u * 8);
}

TEST_F(EndpointTest, InvalidHandleBeginsNothing) {
  UsbBulkEndpoint ep(nullptr, Desc(0x86, 2, 512));
  Overlapped ov;
  ov.Reset();
  uint8_t buf[16];
  EXPECT_EQ(ep.BeginDataXfer(buf, 16, &ov), nullptr);
  uint32_t len = 16;
  EXPECT_FALSE(ep.XferData(buf, &len));
  EXPECT_FALSE(ep.Abort());
}

TEST_F(EndpointTest, SynchronousTransferThatTimesOutCancelsBeforeReturning) {
  UsbBulkEndpoint ep(&handle, Desc(0x02, 2, 512));
  ep.set_timeout(20);
  state->data_pending = true;
  uint8_t buf[2] = {0x80, 0x00};
  uint32_t len = 2;
  EXPECT_FALSE(ep.XferData(buf, &len));
  EXPECT_EQ(state->cancels, 1);
  EXPECT_TRUE(state->pending.empty());
}

TEST_F(EndpointTest, SynchronousOutTransferReportsItsLength) {
  UsbBulkEndpoint ep(&handle, Desc(0x02, 2, 512));
  uint8_t buf[1] = {0x8B};
  uint32_t len = 1;
  EXPECT_TRUE(ep.XferData(buf, &len));
  EXPECT_EQ(len, 1u);
}

}  // namespace
}  // namespace pelkan::usb
