// Device models as the bus and the hubs drive them: descriptors, the Q417
// device's trigger and download protocol, and the scripted faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "usb/models/q417.h"
#include "usb/usb_device.h"

namespace {

using namespace winsim::usb;

Q417Script DefaultQ417() {
  Q417Script q417;
  q417.updateMode = DefaultQ417UpdateMode();
  return q417;
}

// The Q417 in update mode with this update-mode script.
Q417Device InUpdateMode(DeviceScript updateMode) {
  Q417Script q417 = DefaultQ417();
  q417.updateMode = std::move(updateMode);
  return Q417Device(DefaultQ417NormalMode(), q417, true);
}

TEST(DeviceModel, DescriptorsFollowTheScript) {
  UsbDevice device(DefaultQ417UpdateMode());
  const std::vector<uint8_t> deviceDescriptor = device.GetDescriptor(1, 0, 0, 18).data;
  ASSERT_EQ(deviceDescriptor.size(), 18u);
  EXPECT_EQ(deviceDescriptor[8] | deviceDescriptor[9] << 8, 0x0417);
  EXPECT_EQ(deviceDescriptor[14], 1);  // iManufacturer
  const std::vector<uint8_t> header = device.GetDescriptor(2, 0, 0, 9).data;
  ASSERT_EQ(header.size(), 9u);
  const uint16_t total = static_cast<uint16_t>(header[2] | header[3] << 8);
  EXPECT_EQ(total, 9 + 9 + 7 + 7);
  const std::vector<uint8_t> whole = device.GetDescriptor(2, 0, 0, 255).data;
  ASSERT_EQ(whole.size(), total);  // a longer request gets wTotalLength bytes
  EXPECT_EQ(whole[9 + 4], 2);      // bNumEndpoints
  EXPECT_EQ(whole[18 + 2], 0x01);  // OUT first
  EXPECT_EQ(whole[25 + 2], 0x82);  // then IN
  const std::vector<uint8_t> languages = device.GetDescriptor(3, 0, 0, 256).data;
  EXPECT_EQ(languages, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
  const std::vector<uint8_t> maker = device.GetDescriptor(3, 1, 0x0409, 256).data;
  EXPECT_EQ(maker.size(), 2u + 2 * 5);  // "Quill"
  EXPECT_EQ(maker[2], 'Q');
  EXPECT_EQ(device.GetDescriptor(3, 9, 0x0409, 256).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(device.Requests().size(), 6u);
}

TEST(DeviceModel, TriggerFailsEachAttemptAndLeavesAfterTheTenth) {
  Q417Device device(DefaultQ417NormalMode(), DefaultQ417(), false);
  for (int attempt = 1; attempt <= 10; ++attempt) {
    const Reply reply = device.GetDescriptor(2, 0x55, 0, 32);
    SCOPED_TRACE(attempt);
    EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reply.usbdStatus, USBD_STATUS_STALL_PID);
    EXPECT_EQ(reply.after.leaveNow, attempt == 10);
    if (attempt == 10) {
      ASSERT_TRUE(reply.after.comeBack.has_value());
      EXPECT_EQ(reply.after.comeBack->delay, DefaultQ417().returnDelay);
      const std::unique_ptr<UsbDevice> back = reply.after.comeBack->make();
      ASSERT_NE(AsQ417(back.get()), nullptr);
      EXPECT_TRUE(AsQ417(back.get())->InUpdateMode());
      EXPECT_EQ(back->Script().productId, 0xF001);
    }
  }
  EXPECT_EQ(device.TriggerRequests(), 10u);
}

TEST(DeviceModel, TriggerRepliesFollowTheScriptedPattern) {
  struct Case {
    std::vector<TriggerReply> pattern;
    uint32_t leaveAfter;
    std::vector<NTSTATUS> statuses;
    int leavesAt;  // 0: never within the attempts
  };
  const Case cases[] = {
      {{TriggerReply::Stall, TriggerReply::Crc},
       10,
       {STATUS_UNSUCCESSFUL, STATUS_DEVICE_DATA_ERROR, STATUS_UNSUCCESSFUL},
       0},
      {{TriggerReply::Answer}, 10, {STATUS_SUCCESS}, 0},
      {{TriggerReply::Crc}, 2, {STATUS_DEVICE_DATA_ERROR, STATUS_DEVICE_DATA_ERROR}, 2},
      {{TriggerReply::Stall}, 0, std::vector<NTSTATUS>(12, STATUS_UNSUCCESSFUL), 0},
  };
  for (const Case& c : cases) {
    Q417Script q417 = DefaultQ417();
    q417.triggerPattern = c.pattern;
    q417.leaveAfterTriggers = c.leaveAfter;
    Q417Device device(DefaultQ417NormalMode(), q417, false);
    for (size_t i = 0; i < c.statuses.size(); ++i) {
      const Reply reply = device.GetDescriptor(2, 0x55, 0, 32);
      EXPECT_EQ(reply.status, c.statuses[i]) << "attempt " << i + 1;
      EXPECT_EQ(reply.after.leaveNow, static_cast<int>(i + 1) == c.leavesAt);
      if (c.statuses[i] == STATUS_SUCCESS) {
        EXPECT_EQ(reply.data.size(), 32u);  // the answer, cut to the request
      }
    }
  }
  // The update-mode device does not take the signal.
  Q417Device update(DefaultQ417NormalMode(), DefaultQ417(), true);
  EXPECT_EQ(update.GetDescriptor(2, 0x55, 0, 32).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(update.TriggerRequests(), 0u);
}

std::vector<uint8_t> Header(uint32_t length) {
  return {0xEE, 0, 0, static_cast<uint8_t>(length >> 8 & 0xFF), static_cast<uint8_t>(length)};
}

// The protocol is a byte stream: headers and images may be cut into
// transfers anywhere, and a transfer may finish one image and start the next.
TEST(DeviceModel, DownloadsCutIntoTransfersAnywhereGiveTheSameFlash) {
  struct Case {
    const char* name;
    uint32_t length;
    std::vector<uint32_t> cuts;  // transfer sizes; the rest goes in one more
  };
  const Case cases[] = {
      {"header and image in one transfer", 300, {}},
      {"byte by byte at the edges", 300, {1, 1, 1, 1, 1, 1, 1}},
      {"last byte alone", 300, {5, 299}},
      {"image of one byte", 1, {5}},
      {"full flash in blocks", 65536, {5, 256, 256, 256, 64000}},
      {"header split, image uneven", 1000, {3, 4, 1, 255, 511}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> stream;
    std::vector<uint8_t> second;  // a second download in the same stream
    for (const uint32_t length : {c.length, 2u}) {
      std::vector<uint8_t>& image = stream.empty() ? stream : second;
      const std::vector<uint8_t> header = Header(length);
      image.insert(image.end(), header.begin(), header.end());
      for (uint32_t i = 0; i < length; ++i) image.push_back(static_cast<uint8_t>(i * 13 + length));
    }
    const size_t firstEnd = stream.size();
    stream.insert(stream.end(), second.begin(), second.end());

    Q417Device device(DefaultQ417NormalMode(), DefaultQ417(), true);
    size_t at = 0;
    for (const uint32_t cut : c.cuts) {
      ASSERT_LT(at + cut, stream.size()) << c.name;
      EXPECT_EQ(device.Transfer(0x01, false, stream.data() + at, cut, true).bytesMoved, cut)
          << c.name;
      at += cut;
    }
    device.Transfer(0x01, false, stream.data() + at, static_cast<uint32_t>(stream.size() - at),
                    true);
    EXPECT_EQ(device.DownloadsCompleted(), 2u) << c.name;
    EXPECT_EQ(device.ImageLength(), 2u) << c.name;
    // The first image, then the second written over its first two bytes.
    std::vector<uint8_t> expected(stream.begin() + 5, stream.begin() + firstEnd);
    expected.resize(std::max<size_t>(expected.size(), 2));
    expected[0] = second[5];
    expected[1] = second[6];
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), device.Flash().begin())) << c.name;
    if (expected.size() < 65536) {
      EXPECT_EQ(device.Flash()[expected.size()], 0xFF) << c.name;
    }
  }
}

TEST(DeviceModel, HeaderRules) {
  struct Case {
    std::vector<uint8_t> header;
    NTSTATUS status;
    uint32_t length;
  };
  const Case cases[] = {
      {{0xEE, 0, 0, 0, 0}, STATUS_SUCCESS, 65536},  // 0 means 65,536
      {{0xEE, 0, 0, 0xFF, 0xFF}, STATUS_SUCCESS, 65535},
      {{0xEE, 0, 0, 0, 1}, STATUS_SUCCESS, 1},
      {{0xED, 0, 0, 0, 1}, STATUS_UNSUCCESSFUL, 0},
      {{0xEE, 1, 0, 0, 1}, STATUS_UNSUCCESSFUL, 0},
  };
  for (const Case& c : cases) {
    Q417Device device(DefaultQ417NormalMode(), DefaultQ417(), true);
    // The header may arrive split over transfers.
    device.Transfer(0x01, false, c.header.data(), 2, true);
    EXPECT_EQ(device.Transfer(0x01, false, c.header.data() + 2, 3, true).status, c.status);
    EXPECT_EQ(device.ImageLength(), c.length);
  }
}

TEST(DeviceModel, TransferFaultsHitTheScriptedOrdinal) {
  DeviceScript script = DefaultQ417UpdateMode();
  script.faults.failTransfers = {{2, {USBD_STATUS_CRC, STATUS_DEVICE_DATA_ERROR}}};
  script.faults.neverCompleteTransfers = {3};
  script.faults.failSubmissions = {{4, {USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER}}};
  script.faults.surpriseRemovalAtTransfer = 5;
  script.faults.failResetPipes = {2};
  Q417Device device = InUpdateMode(script);
  const uint8_t byte = 0;
  const Reply replies[] = {
      device.Transfer(1, false, &byte, 1, true), device.Transfer(1, false, &byte, 1, true),
      device.Transfer(1, false, &byte, 1, true), device.Transfer(1, false, &byte, 1, true),
      device.Transfer(1, false, &byte, 1, true), device.Transfer(1, false, &byte, 1, true)};
  EXPECT_EQ(replies[0].status, STATUS_SUCCESS);
  EXPECT_EQ(replies[1].usbdStatus, USBD_STATUS_CRC);
  EXPECT_EQ(replies[1].status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_TRUE(replies[2].neverCompletes);
  EXPECT_TRUE(replies[3].failsAtSubmission);
  EXPECT_EQ(replies[3].status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(replies[4].status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(replies[4].after.leaveNow);
  EXPECT_EQ(replies[5].status, STATUS_SUCCESS);
  EXPECT_EQ(device.ResetPipe(1).status, STATUS_SUCCESS);
  EXPECT_EQ(device.ResetPipe(1).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(device.ResetPipe(1).status, STATUS_SUCCESS);
}

TEST(DeviceModel, DescriptorFaultsAndOddStrings) {
  DeviceScript script = DefaultStorage();
  script.faults.failDescriptors = {
      {USB_STRING_DESCRIPTOR_TYPE, 2, 1, {}},
      {USB_DEVICE_DESCRIPTOR_TYPE, -1, -1, {USBD_STATUS_CRC, STATUS_DEVICE_DATA_ERROR}}};
  script.faults.oddStrings = {{1, 7}, {3, 1}};
  UsbDevice device(script);
  EXPECT_EQ(device.GetDescriptor(3, 2, 0x409, 256).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(device.GetDescriptor(3, 2, 0x409, 256).status, STATUS_SUCCESS);  // once only
  EXPECT_EQ(device.GetDescriptor(1, 0, 0, 18).status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(device.GetDescriptor(1, 0, 0, 18).status, STATUS_DEVICE_DATA_ERROR);
  const std::vector<uint8_t> seven = device.GetDescriptor(3, 1, 0x409, 256).data;
  ASSERT_EQ(seven.size(), 7u);
  EXPECT_EQ(seven[0], 7);
  const std::vector<uint8_t> one = device.GetDescriptor(3, 3, 0x409, 256).data;
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[0], 1);
}

TEST(DeviceModel, MalformedConfigurationReads) {
  struct Case {
    const char* what;
    Faults faults;
    uint16_t firstTotal;
    size_t secondSize;
    uint16_t secondTotal;
  };
  Faults low;
  low.totalLengthOverride = 8;
  Faults other;
  other.secondReadTotalLength = 64;
  Faults shortRead;
  shortRead.secondReadShortBy = 5;
  const Case cases[] = {
      {"wTotalLength below 9", low, 8, 8, 8},
      {"second read with another wTotalLength", other, 32, 32, 64},
      {"second read short", shortRead, 32, 27, 32},
  };
  for (const Case& c : cases) {
    DeviceScript script = DefaultQ417UpdateMode();
    script.faults = c.faults;
    Q417Device device = InUpdateMode(script);
    const std::vector<uint8_t> first = device.GetDescriptor(2, 0, 0, 9).data;
    EXPECT_EQ(first[2] | first[3] << 8, c.firstTotal) << c.what;
    const std::vector<uint8_t> second = device.GetDescriptor(2, 0, 0, c.firstTotal).data;
    EXPECT_EQ(second.size(), c.secondSize) << c.what;
    ASSERT_GE(second.size(), 4u);
    EXPECT_EQ(second[2] | second[3] << 8, c.secondTotal) << c.what;
  }
}

TEST(DeviceModel, SelectConfigurationCanBeScriptedToFail) {
  DeviceScript script = DefaultQ417UpdateMode();
  UsbDevice good(script);
  EXPECT_EQ(good.SelectConfiguration(true).status, STATUS_SUCCESS);
  EXPECT_TRUE(good.Configured());
  EXPECT_EQ(good.SelectConfiguration(false).status, STATUS_SUCCESS);
  EXPECT_FALSE(good.Configured());
  script.faults.failSelectConfiguration =
      Failure{USBD_STATUS_SET_CONFIG_FAILED, STATUS_UNSUCCESSFUL};
  UsbDevice bad(script);
  EXPECT_EQ(bad.SelectConfiguration(true).usbdStatus, USBD_STATUS_SET_CONFIG_FAILED);
  EXPECT_FALSE(bad.Configured());
}

// As the USB port driver maps them: data errors are no exception.
TEST(DeviceModel, UsbdStatusesMapAsWindowsMapsThem) {
  const struct {
    USBD_STATUS usbd;
    NTSTATUS status;
  } cases[] = {
      {USBD_STATUS_SUCCESS, STATUS_SUCCESS},
      {USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL},
      {USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL},
      {USBD_STATUS_CRC, STATUS_UNSUCCESSFUL},
      {USBD_STATUS_BABBLE_DETECTED, STATUS_UNSUCCESSFUL},
      {USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL},
      {USBD_STATUS_ERROR_BUSY, STATUS_UNSUCCESSFUL},
      {USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_UNSUCCESSFUL},
      {USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED},
      {USBD_STATUS_CANCELED, STATUS_CANCELLED},
      {USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
      {USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
      {USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER},
      {USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
      {USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
      {USBD_STATUS_BAD_START_FRAME, STATUS_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StatusForUsbd(c.usbd), c.status) << std::hex << c.usbd;
  }
}

}  // namespace
