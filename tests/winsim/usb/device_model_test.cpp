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

// The trigger's replies follow the scripted pattern: a stall, a CRC error,
// an answer cut to the request's length, then a stall again.
TEST(DeviceModel, TriggerRepliesFollowTheScriptedPattern) {
  Q417Script q417 = DefaultQ417();
  q417.triggerPattern = {TriggerReply::Stall, TriggerReply::Crc, TriggerReply::Answer};
  Q417Device device(DefaultQ417NormalMode(), q417, false);
  for (const NTSTATUS status :
       {STATUS_UNSUCCESSFUL, STATUS_DEVICE_DATA_ERROR, STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
    const Reply reply = device.GetDescriptor(2, 0x55, 0, 9);
    EXPECT_EQ(reply.status, status);
    EXPECT_EQ(reply.data.size(), status == STATUS_SUCCESS ? 9u : 0u);
  }
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

// A descriptor read gets at most the bytes it asks for, and at most the
// descriptor's own (a configuration's: wTotalLength).
TEST(DeviceModel, ADescriptorReadGetsWhatItAsksForAtMost) {
  UsbDevice device(DefaultQ417UpdateMode());
  EXPECT_EQ(device.GetDescriptor(2, 0, 0, 9).data.size(), 9u);
  EXPECT_EQ(device.GetDescriptor(2, 0, 0, 255).data.size(), 9u + 9 + 7 + 7);
  EXPECT_EQ(device.GetDescriptor(1, 0, 0, 12).data.size(), 12u);
}

// A string scripted with an odd bLength comes with that many bytes, at
// least its 2-byte header.
TEST(DeviceModel, OddStringsHaveTheirScriptedLength) {
  DeviceScript script = DefaultStorage();
  script.faults.oddStrings = {{1, 7}, {3, 1}};
  UsbDevice device(script);
  const std::vector<uint8_t> seven = device.GetDescriptor(3, 1, 0x409, 256).data;
  ASSERT_EQ(seven.size(), 7u);
  EXPECT_EQ(seven[0], 7);
  const std::vector<uint8_t> one = device.GetDescriptor(3, 3, 0x409, 256).data;
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[0], 1);
}

// Reads after the first may be scripted to announce another wTotalLength.
TEST(DeviceModel, ASecondConfigurationReadCanAnnounceAnotherLength) {
  DeviceScript script = DefaultQ417UpdateMode();
  script.faults.secondReadTotalLength = 64;
  UsbDevice device(script);
  const std::vector<uint8_t> first = device.GetDescriptor(2, 0, 0, 9).data;
  ASSERT_EQ(first.size(), 9u);
  EXPECT_EQ(first[2] | first[3] << 8, 32);
  const std::vector<uint8_t> second = device.GetDescriptor(2, 0, 0, 32).data;
  ASSERT_EQ(second.size(), 32u);
  EXPECT_EQ(second[2] | second[3] << 8, 64);
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
