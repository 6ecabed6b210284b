// Host-controller and hub answers: the bytes the application reads and
// Windows' behaviour for short buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "usb/hub_answers.h"

namespace {

using winsim::usb::Answer;
using winsim::usb::AnswerConnectionInformation;
using winsim::usb::AnswerName;
using winsim::usb::PortView;

ULONG UlongAt(const std::vector<uint8_t>& bytes, size_t offset) {
  ULONG value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof(value));
  return value;
}

std::u16string NameAt(const std::vector<uint8_t>& bytes, size_t offset, size_t limit) {
  std::u16string name;
  for (size_t at = offset; at + 1 < limit; at += 2) {
    const char16_t c = static_cast<char16_t>(bytes[at] | (bytes[at + 1] << 8));
    if (c == u'\0') {
      break;
    }
    name += c;
  }
  return name;
}

TEST(HubAnswers, NamesFollowTheTwoCallPattern) {
  const std::u16string name = u"USB#ROOT_HUB#4&1&0";
  const ULONG whole = static_cast<ULONG>(4 + (name.size() + 1) * 2);
  struct Case {
    ULONG nameOffset;
    ULONG outputLength;
    NTSTATUS status;
    ULONG information;
    size_t characters;  // of the name in the answer
  };
  const Case cases[] = {
      {4, 3, STATUS_BUFFER_TOO_SMALL, 0, 0},           // below the fixed part
      {4, 5, STATUS_BUFFER_TOO_SMALL, 0, 0},           // no room for one character
      {4, 6, STATUS_SUCCESS, 6, 1},                    // the probe: ActualLength and one character
      {4, 7, STATUS_SUCCESS, 6, 1},                    // whole characters only
      {4, whole, STATUS_SUCCESS, whole, name.size()},  // the second call
      {4, whole + 10, STATUS_SUCCESS, whole, name.size()},
      {8, 10, STATUS_SUCCESS, 10, 1},  // port names: ConnectionIndex first
      {8, whole + 4, STATUS_SUCCESS, whole + 4, name.size()},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> buffer(c.outputLength + 16, 0xCC);
    buffer[0] = 2;  // a ConnectionIndex the answer must keep
    const Answer answer = AnswerName(buffer.data(), c.outputLength, c.nameOffset, name);
    SCOPED_TRACE(testing::Message() << "offset " << c.nameOffset << " length " << c.outputLength);
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.information, c.information);
    if (answer.status == STATUS_SUCCESS) {
      EXPECT_EQ(UlongAt(buffer, c.nameOffset - 4), whole + (c.nameOffset - 4));
      EXPECT_EQ(NameAt(buffer, c.nameOffset, answer.information), name.substr(0, c.characters));
      // Nothing beyond the caller's buffer is touched.
      EXPECT_EQ(buffer[c.outputLength], 0xCC);
    }
    if (c.nameOffset == 8) {
      EXPECT_EQ(buffer[0], 2);
    }
  }
}

TEST(HubAnswers, ConnectionInformationAtThePublishedOffsets) {
  PortView port;
  port.status = DeviceConnected;
  port.deviceIsHub = true;
  port.deviceDescriptor.assign(18, 0);
  port.deviceDescriptor[8] = 0x17;  // idVendor low byte
  port.configurationValue = 1;
  port.deviceAddress = 3;
  port.openPipes = {
      {7, 5, 0x81, 3, 8, 0, 10}, {7, 5, 0x02, 2, 64, 0, 0}, {7, 5, 0x83, 2, 64, 0, 0}};
  struct Case {
    ULONG outputLength;
    NTSTATUS status;
    ULONG information;
  };
  const Case cases[] = {
      {34, STATUS_BUFFER_TOO_SMALL, 0},
      {35, STATUS_SUCCESS, 35},  // no pipe fits
      {50, STATUS_SUCCESS, 46},  // one pipe fits
      {365, STATUS_SUCCESS, 68},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> buffer(400, 0);
    buffer[0] = 5;  // ConnectionIndex as sent
    const Answer answer = AnswerConnectionInformation(buffer.data(), c.outputLength, port);
    SCOPED_TRACE(c.outputLength);
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.information, c.information);
    if (answer.status != STATUS_SUCCESS) {
      continue;
    }
    EXPECT_EQ(UlongAt(buffer, 0), 5u);
    EXPECT_EQ(buffer[4 + 8], 0x17);
    EXPECT_EQ(buffer[22], 1);            // CurrentConfigurationValue
    EXPECT_EQ(buffer[24], 1);            // DeviceIsHub
    EXPECT_EQ(UlongAt(buffer, 27), 3u);  // NumberOfOpenPipes counts them all
    EXPECT_EQ(UlongAt(buffer, 31), ULONG{DeviceConnected});
    if (answer.information >= 46) {
      EXPECT_EQ(buffer[35 + 2], 0x81);  // the first pipe's endpoint address
    }
  }
}

TEST(HubAnswers, AFailedPortReportsItsStatusAndNoDevice) {
  PortView port;
  port.status = DeviceNotEnoughPower;
  std::vector<uint8_t> buffer(365, 0xEE);
  const Answer answer = AnswerConnectionInformation(buffer.data(), 365, port);
  EXPECT_EQ(answer.information, 35u);
  EXPECT_EQ(UlongAt(buffer, 31), ULONG{DeviceNotEnoughPower});
  EXPECT_EQ(buffer[24], 0);
  EXPECT_EQ(buffer[4], 0);  // the device descriptor is zero
}

}  // namespace
