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

using Op = FakeDeviceState::Op;

TEST_F(EndpointTest, DirectBeginSubmitsTheCallersBuffer) {
  UsbBulkEndpoint ep(&handle, Desc(0x86, 2, 512));
  state->data_pending = true;
  uint8_t buf[0x8000];
  UsbTransfer xfer;
  xfer.Reset();
  ASSERT_TRUE(ep.BeginDataXfer(buf, sizeof(buf), &xfer));
  ASSERT_EQ(state->calls.size(), 1u);
  const auto& call = state->calls[0];
  EXPECT_EQ(call.op, Op::kSubmit);
  EXPECT_EQ(call.endpoint, 0x86);
  EXPECT_EQ(call.data, buf);
  EXPECT_EQ(call.length, sizeof(buf));
  EXPECT_FALSE(ep.WaitForXfer(&xfer, 0));
  state->pending[0]->Complete(UsbStatus::kOk, 0);
  EXPECT_TRUE(ep.WaitForXfer(&xfer, 0));
  uint32_t len = sizeof(buf);
  EXPECT_TRUE(ep.FinishDataXfer(buf, &len, &xfer));
  EXPECT_EQ(len, 0u);  // a direct transfer returning 0 bytes reports 0
}

TEST_F(EndpointTest, FinishFailsOnAStall) {
  UsbBulkEndpoint ep(&handle, Desc(0x86, 2, 512));
  state->data_pending = true;
  uint8_t buf[512];
  UsbTransfer xfer;
  xfer.Reset();
  ASSERT_TRUE(ep.BeginDataXfer(buf, sizeof(buf), &xfer));
  state->pending[0]->Complete(UsbStatus::kStall, 512);
  uint32_t len = sizeof(buf);
  EXPECT_FALSE(ep.FinishDataXfer(buf, &len, &xfer));
  EXPECT_EQ(len, 512u);  // the bytes before the stall are kept
  EXPECT_EQ(ep.status(), UsbStatus::kStall);
}

TEST_F(EndpointTest, ControlTransferCarriesSetupAndRoundedTimeout) {
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
  UsbTransfer xfer;
  xfer.Reset();
  ASSERT_TRUE(ep.BeginDataXfer(buf, 4, &xfer));
  const auto& call = state->calls[0];
  EXPECT_EQ(call.op, Op::kControl);
  EXPECT_EQ(call.setup.request_type, 0x80 | 0x40 | 0x01);
  EXPECT_EQ(call.setup.request, 0xB5);
  EXPECT_EQ(call.setup.value, 0x1234);
  EXPECT_EQ(call.setup.index, 2);
  EXPECT_EQ(call.length, 4u);
  EXPECT_EQ(call.timeout_ms, 1000u);  // 500 ms is sent as 1 s
  EXPECT_TRUE(ep.is_in());
  EXPECT_EQ(UsbControlEndpoint::TimeoutSeconds(0), 0u);
  EXPECT_EQ(UsbControlEndpoint::TimeoutSeconds(999), 1u);
  EXPECT_EQ(UsbControlEndpoint::TimeoutSeconds(2500), 2u);
}

TEST_F(EndpointTest, TransferSizeRoundsUpToWholePackets) {
  UsbBulkEndpoint ep512(&handle, Desc(0x86, 2, 512));
  ep512.SetXferSize(0x8000);
  ASSERT_EQ(state->calls.back().op, Op::kTransferSize);
  EXPECT_EQ(state->calls.back().endpoint, 0x86);
  EXPECT_EQ(state->calls.back().length, 0x8000u);
  UsbBulkEndpoint ep1023(&handle, Desc(0x82, 2, 1023));
  ep1023.SetXferSize(0x8000);
  EXPECT_EQ(state->calls.back().length, 33759u);
}

TEST_F(EndpointTest, IsochronousBeginOfNothingIssuesNoRequest) {
  UsbIsoEndpoint ep(&handle, Desc(0x83, 1, 1024));
  UsbTransfer xfer;
  xfer.Reset();
  EXPECT_FALSE(ep.BeginDataXfer(nullptr, 0, &xfer));
  EXPECT_TRUE(state->calls.empty());
  uint8_t buf[3000];
  xfer.Reset();
  ASSERT_TRUE(ep.BeginDataXfer(buf, sizeof(buf), &xfer));
  EXPECT_EQ(state->calls[0].length, 3000u);
}

TEST_F(EndpointTest, InvalidHandleBeginsNothing) {
  UsbBulkEndpoint ep(nullptr, Desc(0x86, 2, 512));
  UsbTransfer xfer;
  xfer.Reset();
  uint8_t buf[16];
  EXPECT_FALSE(ep.BeginDataXfer(buf, 16, &xfer));
  EXPECT_FALSE(ep.WaitForXfer(&xfer, 0));
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
