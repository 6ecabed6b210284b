// The update-mode trigger's attempt rules, against the Q417 device model
// scripted through the bus (the request goes through the hub's control code).
#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "app_machine.h"
#include "update_trigger.h"
#include "usb/models/q417.h"
#include "usb_devices.h"

namespace apptest {
namespace {

using namespace winsim::usb;
using Reply = TriggerReply;

constexpr ULONG DescriptorFromNodeConnection = 0x220410;

struct TriggerCase {
  const char* name;
  std::vector<Reply> replies;
  uint32_t leaveAfter;                  // the device leaves the bus after that many triggers
  std::optional<uint16_t> totalLength;  // wTotalLength the device reports
  ULONG result;
  uint32_t triggerRequests;  // trigger requests the device saw
  uint32_t requestedLength;  // wLength of the trigger requests (0: none sent)
  bool leftTheBus;
};

class TriggerTest : public AppMachineTest {
 protected:
  // A root hub with a mouse on port 1 and the scripted Q417 on port 2.
  void StartQ417(const std::vector<Reply>& replies, uint32_t leaveAfter,
                 std::optional<uint16_t> totalLength) {
    Q417Script q417;
    q417.triggerPattern = replies;
    q417.leaveAfterTriggers = leaveAfter;
    PortScript q417Port = Q417Port(q417);
    q417Port.device->faults.totalLengthOverride = totalLength;
    StartBus({{Controller({DevicePort(Named(DefaultMouse(), "mouse")), q417Port})}});
  }
  // The sizes of the descriptor requests the application sent, in order.
  std::vector<std::string> DescriptorRequestSizes() const {
    std::vector<std::string> sizes;
    for (const winsim::Event& event : machine_->Log().OfKind(winsim::EventKind::User)) {
      if (event.text.rfind("DeviceIoControl", 0) == 0 && event.Field("ioctl") == "0x00220410") {
        sizes.push_back(event.Field("in"));
      }
    }
    return sizes;
  }
};

std::vector<Reply> Times(int n, Reply reply) { return std::vector<Reply>(n, reply); }

TEST_F(TriggerTest, AttemptRules) {
  std::vector<Reply> ninthStallThenAnswer = Times(9, Reply::Stall);
  ninthStallThenAnswer.push_back(Reply::Answer);
  const std::vector<TriggerCase> cases = {
      {"answered at once", {Reply::Answer}, 0, {}, 1, 1, 32, false},
      {"31 and 23 mixed, ten times",
       {Reply::Stall, Reply::Crc, Reply::Crc},
       10,
       {},
       0,
       10,
       32,
       true},
      {"31 nine times, answered at the tenth", ninthStallThenAnswer, 0, {}, 1, 10, 32, false},
      // The port is vacated after the third signal: the fourth attempt fails
      // with ERROR_INVALID_PARAMETER (the hub has no device there), which is
      // not one of the two.
      {"another error ends at once", {Reply::Stall}, 3, {}, 1, 3, 32, true},
      {"wTotalLength 8", {Reply::Stall}, 10, uint16_t{8}, 1, 0, 0, false},
      {"wTotalLength 9", {Reply::Stall}, 10, uint16_t{9}, 0, 10, 9, true},
      {"wTotalLength 0xFFFF", {Reply::Crc}, 10, uint16_t{0xFFFF}, 0, 10, 0xFFFF, true},
  };
  for (const TriggerCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    StartQ417(c.replies, c.leaveAfter, c.totalLength);
    const Q417Device* q417 = AsQ417(bus_->DeviceAt("0/2"));
    ASSERT_NE(q417, nullptr);
    RunApp([&] {
      ULONG count = 0;
      EnumerateUsbDevices(&count);
      ASSERT_EQ(count, 2u);
      EXPECT_EQ(TriggerUpdateMode(1), c.result);
      ClearDeviceTable();
    });
    EXPECT_EQ(q417->TriggerRequests(), c.triggerRequests);
    for (const DeviceRequest& request : q417->Requests()) {
      if (request.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
          request.descriptorIndex == TriggerDescriptorIndex) {
        EXPECT_EQ(request.requestedLength, c.requestedLength);
      }
    }
    EXPECT_EQ(bus_->DeviceAt("0/2") != q417, c.leftTheBus);
    // The header request is 21 bytes; each trigger request wTotalLength + 12.
    std::vector<std::string> sizes = DescriptorRequestSizes();
    ASSERT_FALSE(sizes.empty());
    EXPECT_EQ(sizes.front(), "21");
    const size_t attempts =
        c.requestedLength == 0 ? 0 : c.triggerRequests + (c.result == 1 && c.leftTheBus);
    EXPECT_EQ(sizes.size(), 1 + attempts);
    for (size_t i = 1; i < sizes.size(); ++i) {
      EXPECT_EQ(sizes[i], std::to_string(c.requestedLength + 12));
    }
  }
}

TEST_F(TriggerTest, AHeaderAnswerOf20BytesSendsNoTrigger) {
  Q417Script q417;
  PortScript port = Q417Port(q417);
  // Every read of the configuration after the first comes back a byte short.
  port.device->faults.secondReadShortBy = 1;
  StartBus({{Controller({port})}});
  const Q417Device* device = AsQ417(bus_->DeviceAt("0/1"));
  RunApp([&] {
    ULONG count = 0;
    EnumerateUsbDevices(&count);
    ASSERT_EQ(count, 1u);
    // A first, whole read of the configuration's first 9 bytes.
    BYTE request[sizeof(USB_DESCRIPTOR_REQUEST) + 9] = {};
    auto* header = reinterpret_cast<USB_DESCRIPTOR_REQUEST*>(request);
    header->ConnectionIndex = 1;
    header->SetupPacket.wValue = 0x0200;
    header->SetupPacket.wLength = 9;
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(UsbDeviceTable.Entries[0].HubHandle, DescriptorFromNodeConnection,
                                request, sizeof(request), request, sizeof(request), &returned,
                                NULL));
    EXPECT_EQ(returned, 21u);
    EXPECT_EQ(TriggerUpdateMode(0), 1u);
    ClearDeviceTable();
  });
  EXPECT_EQ(device->TriggerRequests(), 0u);
  bool sawShortAnswer = false;
  for (const winsim::Event& event : machine_->Log().OfKind(winsim::EventKind::User)) {
    if (event.Field("ioctl") == "0x00220410" && event.Field("returned") == "20") {
      sawShortAnswer = true;
    }
  }
  EXPECT_TRUE(sawShortAnswer);
}

TEST_F(TriggerTest, ASlotTheWalkDidNotFillIsRefused) {
  StartBus({{Controller({DevicePort(Named(DefaultMouse(), "mouse"))})}});
  RunApp([&] {
    ULONG count = 0;
    EnumerateUsbDevices(&count);
    EXPECT_EQ(TriggerUpdateMode(1), 1u);
    EXPECT_EQ(TriggerUpdateMode(MaxDeviceEntries), 1u);
    ClearDeviceTable();
    EXPECT_EQ(TriggerUpdateMode(0), 1u);
  });
}

}  // namespace
}  // namespace apptest
