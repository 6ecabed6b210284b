// Machine descriptions: the examples load, and every wrong description is
// refused with its JSON path and a clear message.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "machine/machine_description.h"
#include "usb/models/q417.h"

namespace {

using winsim::DescriptionError;
using winsim::ParseMachineDescription;

TEST(MachineDescription, EveryExampleLoads) {
  size_t examples = 0;
  for (const auto& entry : std::filesystem::directory_iterator(EXAMPLE_MACHINES_DIR)) {
    SCOPED_TRACE(entry.path().string());
    EXPECT_NO_THROW(winsim::LoadMachineDescription(entry.path().string()));
    ++examples;
  }
  EXPECT_GE(examples, 3u);
}

TEST(MachineDescription, ScriptsReachTheDeviceModels) {
  const winsim::MachineDescription machine =
      winsim::LoadMachineDescription(std::string(EXAMPLE_MACHINES_DIR) + "/q417-faults.json");
  EXPECT_EQ(machine.usb.completion, winsim::usb::CompletionMode::Inline);
  const auto& ports = machine.usb.controllers.at(0).rootPorts;
  EXPECT_EQ(ports.at(0).status, DeviceNotEnoughPower);
  const winsim::usb::Q417Script& q417 = *Q417ScriptOf(ports.at(1));
  EXPECT_EQ(q417.triggerPattern.size(), 2u);
  EXPECT_EQ(q417.returnDelay, 1500 * winsim::kTicksPerMillisecond);
  EXPECT_TRUE(q417.leaveAfterDownload);
  const winsim::usb::Faults& faults = q417.updateMode.faults;
  ASSERT_EQ(faults.failTransfers.size(), 1u);
  EXPECT_EQ(faults.failTransfers[0].failure.usbdStatus, USBD_STATUS_STALL_PID);
  EXPECT_EQ(faults.failTransfers[0].failure.status, STATUS_UNSUCCESSFUL);  // from the USBD status
  EXPECT_EQ(q417.updateMode.configuration.interfaces[0].endpoints[0].address, 0x82);
  EXPECT_EQ(ports.at(2).device->driverKey, std::optional<std::string>(""));
  EXPECT_FALSE(faults.failStart.has_value());
  const winsim::MachineDescription failingStart = winsim::ParseMachineDescription(
      R"({"usb":{"controllers":[{"ports":[{"device":{"kind":"storage",)"
      R"("faults":{"failStart":"0xC000009A","failDevicePower":"0xC0000001",)"
      R"("failDeviceWake":"0xC000009D"}}}]}]}})");
  const winsim::usb::Faults& scripted =
      failingStart.usb.controllers.at(0).rootPorts.at(0).device->faults;
  EXPECT_EQ(scripted.failStart, std::optional<NTSTATUS>(STATUS_INSUFFICIENT_RESOURCES));
  EXPECT_EQ(scripted.failDevicePower, std::optional<NTSTATUS>(STATUS_UNSUCCESSFUL));
  EXPECT_EQ(scripted.failDeviceWake, std::optional<NTSTATUS>(STATUS_DEVICE_NOT_CONNECTED));
}

TEST(MachineDescription, TriggerFaultsAndSkippedDescriptorReadsReachTheScripts) {
  const winsim::MachineDescription description = ParseMachineDescription(
      R"({"usb":{"controllers":[{"ports":[{"device":{"kind":"q417","q417":{)"
      R"("failTriggers":[{"trigger":3,"usbdStatus":"0xC0000004"}],)"
      R"("updateMode":{"faults":{"failDescriptors":[)"
      R"({"type":"configuration","index":0,"count":1,"skip":1}]}}}}}]}]}})");
  const winsim::usb::Q417Script& q417 =
      *Q417ScriptOf(description.usb.controllers.at(0).rootPorts.at(0));
  ASSERT_EQ(q417.failTriggers.size(), 1u);
  EXPECT_EQ(q417.failTriggers[0].transfer, 3u);
  EXPECT_EQ(q417.failTriggers[0].failure.usbdStatus, USBD_STATUS_STALL_PID);
  EXPECT_EQ(q417.failTriggers[0].failure.status, STATUS_UNSUCCESSFUL);
  const std::vector<winsim::usb::DescriptorFault>& reads = q417.updateMode.faults.failDescriptors;
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].type, USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(reads[0].count, 1);
  EXPECT_EQ(reads[0].skip, 1);
}

TEST(MachineDescription, WrongDescriptionsAreRefusedWithTheirPath) {
  const auto device = [](const std::string& fields) {
    return R"({"usb":{"controllers":[{"ports":[null,null,{"device":{)" + fields + "}}]}]}}";
  };
  struct Case {
    std::string json;
    std::string error;
  };
  const std::string deep =
      R"({"usb":{"controllers":[{"ports":[{"device":{"kind":"hub","ports":[{"device":{"kind":"hub","ports":[{"device":{"kind":"hub","ports":[{"device":{"kind":"hub","ports":[{"device":{"kind":"hub","ports":[{"device":{"kind":"hub","ports":[null]}}]}}]}}]}}]}}]}}]}]}})";
  const Case cases[] = {
      {device(R"("kind":"mouse","vendorId":70000)"),
       "/usb/controllers/0/ports/2/device/vendorId: expected an integer 0..65535"},
      {device(R"("kind":"mouse","vendorId":"0x1G")"),
       "/usb/controllers/0/ports/2/device/vendorId: expected an integer 0..65535"},
      {device(R"("vendorId":1)"),
       "/usb/controllers/0/ports/2/device/kind: missing (one of \"generic\", \"mouse\", "
       "\"keyboard\", \"storage\", \"hub\", \"q417\")"},
      {device(R"("kind":"printer")"),
       "/usb/controllers/0/ports/2/device/kind: expected one of \"generic\", \"mouse\", "
       "\"keyboard\", \"storage\", \"hub\", \"q417\""},
      {device(R"("kind":"mouse","colour":"red")"),
       "/usb/controllers/0/ports/2/device/colour: unknown key"},
      {device(R"("kind":"mouse","ports":[null])"),
       "/usb/controllers/0/ports/2/device/ports: only a hub has ports"},
      {device(R"("kind":"mouse","q417":{})"),
       "/usb/controllers/0/ports/2/device/q417: only a q417 device takes a q417 script"},
      {device(R"("kind":"q417","q417":{"updateMode":{"kind":"mouse"}})"),
       "/usb/controllers/0/ports/2/device/q417/updateMode: the update-mode device takes no "
       "\"kind\", \"ports\" or \"q417\""},
      {device(R"("kind":"hub")"),
       "/usb/controllers/0/ports/2/device/ports: missing (a hub needs "
       "1..127 ports)"},
      {device(R"("kind":"q417","q417":{"triggerReplies":["stall","nak"]})"),
       "/usb/controllers/0/ports/2/device/q417/triggerReplies/1: expected \"stall\", \"crc\" or "
       "\"answer\""},
      {device(
           R"("kind":"q417","q417":{"updateMode":{"configuration":{"interfaces":[{"endpoints":[{"address":"0x90"}]}]}}})"),
       "/usb/controllers/0/ports/2/device/q417/updateMode/configuration/interfaces/0/endpoints/0/"
       "address: expected an endpoint number 1..15, plus 0x80 for IN"},
      {device(R"("kind":"storage","faults":{"failTransfers":[{"usbdStatus":1}]})"),
       "/usb/controllers/0/ports/2/device/faults/failTransfers/0: missing \"transfer\" (the "
       "transfer's ordinal, from 1)"},
      {device(R"("kind":"storage","faults":{"failTransfers":[{"transfer":0}]})"),
       "/usb/controllers/0/ports/2/device/faults/failTransfers/0/transfer: expected an integer "
       "1..4294967295"},
      {device(R"("kind":"q417","q417":{"failTriggers":[{"status":1}]})"),
       "/usb/controllers/0/ports/2/device/q417/failTriggers/0: missing \"trigger\" (the signal's "
       "ordinal, from 1)"},
      {device(R"("kind":"storage","faults":{"failDescriptors":[{"skip":-1}]})"),
       "/usb/controllers/0/ports/2/device/faults/failDescriptors/0/skip: expected an integer "
       "0..1000000"},
      {device(R"("kind":"storage","faults":{"failStart":"0x103"})"),
       "/usb/controllers/0/ports/2/device/faults/failStart: expected an error status "
       "(0xC0000000 and above)"},
      {device(R"("kind":"storage","faults":{"failDevicePower":0})"),
       "/usb/controllers/0/ports/2/device/faults/failDevicePower: expected an error status "
       "(0xC0000000 and above)"},
      {device(R"("kind":"storage","lowSpeed":"yes")"),
       "/usb/controllers/0/ports/2/device/lowSpeed: expected true or false"},
      {R"({"os":"Windows95"})",
       "/os: expected one of \"Windows98\", \"Windows98SE\", \"WindowsMe\", \"Windows2000\", "
       "\"WindowsNT\""},
      {R"({"windowsDirectory":"/usr/windows"})",
       "/windowsDirectory: expected a drive path such as \"C:\\\\WINDOWS\""},
      {R"({"clock":"fast"})", "/clock: expected one of \"virtual\", \"realTime\""},
      {R"({"usb":{"timing":"highSpeed","controllers":[]}})",
       "/usb/timing: expected one of \"fullSpeed\", \"instant\""},
      {R"({"usb":{"controllers":[{"ports":[]}]}})",
       "/usb/controllers/0/ports: expected 1..15 ports"},
      {R"({"usb":{"controllers":[{"numberedName":false,"deviceInterface":false,"ports":[null]}]}})",
       "/usb/controllers/0: a controller needs \"numberedName\" or \"deviceInterface\""},
      {R"({"usb":{"controllers":[{"ports":[{"status":"connected"}]}]}})",
       "/usb/controllers/0/ports/0/device: missing (the port says \"connected\")"},
      {R"({"usb":{"controllers":[{"ports":[{"status":"noDevice","device":{"kind":"mouse"}}]}]}})",
       "/usb/controllers/0/ports/0/status: a port with a device is not \"noDevice\""},
      {R"({"usb":{"controllers":{}}})", "/usb/controllers: expected an array"},
      {R"([1,2])", "/: expected an object"},
      {deep,
       "/usb/controllers/0/ports/0/device/ports/0/device/ports/0/device/ports/0/device/ports/0/"
       "device/ports/0/device: hubs nest deeper than USB allows (5 below a root hub)"},
  };
  for (const Case& c : cases) {
    try {
      ParseMachineDescription(c.json);
      ADD_FAILURE() << "accepted: " << c.json;
    } catch (const DescriptionError& error) {
      EXPECT_EQ(std::string(error.what()), c.error) << c.json;
    }
  }
}

TEST(MachineDescription, NotJsonAtAll) {
  // A syntax error, and a number no type holds (the JSON library reports
  // that one as out of range, not as a parse error).
  for (const char* text : {"{\"os\": ", "{\"clock\": 1e999}", "[955555555555555555E555500]"}) {
    try {
      ParseMachineDescription(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const DescriptionError& error) {
      EXPECT_EQ(error.Path(), "");
      EXPECT_EQ(std::string(error.what()).rfind("/: not valid JSON", 0), 0u) << error.what();
    }
  }
}

}  // namespace
