// Device faults at every step of an update, in whole runs of the program:
// the trigger's sizing request and a signal answered or failed, each
// transfer failed when it ends (the header and a block refused at once),
// the pipe resets, and the device leaving mid-download. (quillfw's start failing at each of its
// reads is a driver test: no device to open, and the worker gives up.) Each fault ends in the
// dialog's message for it, with one final message, idle, no finding, no hang, and a second update
// completes.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "download_worker.h"
#include "update_session.h"
#include "user_messages.h"

namespace sweep_testing {
namespace {

using winsim::usb::DescriptorFault;
using winsim::usb::Failure;
using winsim::usb::PortScript;
using winsim::usb::TransferFault;
using winsim::usb::TriggerReply;

// Each fault point runs under the default schedule and PCT seeds 1 to
// kPctSchedules (a fresh machine each): its message holds in every
// interleaving. scripts/explore.sh explores further.
constexpr uint64_t kPctSchedules = 2;

// The sample firmware is 3,000 bytes: the header request and 12 block
// requests, each one transfer.
constexpr uint32_t kTransfers = 13;

struct FaultPoint {
  std::string name;
  std::function<void(PortScript&)> prepare;
  std::vector<std::string> outcomes;  // of each Program press before the recovery
  int retriesInUpdateMode = 0;
};

std::string TransferFailure(uint32_t transfer) {
  return transfer == 1 ? FailureHeaderNotSent : FailureBlockNotSent;
}

DescriptorFault Once(uint8_t type, int index) {
  DescriptorFault fault;
  fault.type = type;
  fault.index = index;
  fault.count = 1;
  return fault;
}

// A fault family: the points of one step of the update.
struct Family {
  const char* name;
  std::vector<FaultPoint> (*points)();
};

const Family kFamilies[] = {
    {"Trigger",
     [] {
       // The request that sizes the trigger (configuration descriptor 0
       // through the hub) fails, so no signal is sent; the device answers the
       // fifth signal instead of failing it; the fifth fails with an error
       // other than 31 and 23. (Every attempt rule: tests/app/usb.)
       return std::vector<FaultPoint>{
           {"sizing request stalls",
            [](PortScript& port) {
              port.device->faults.failDescriptors = {Once(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0)};
            },
            {MessageDeviceCannotBeOpened}},
           {"signal 5 answered",
            [](PortScript& port) {
              Q417ScriptOf(port)->triggerPattern =
                  std::vector<TriggerReply>(4, TriggerReply::Stall);
              Q417ScriptOf(port)->triggerPattern.push_back(TriggerReply::Answer);
            },
            {MessageDeviceCannotBeOpened}},
           {"signal 5 fails otherwise",
            [](PortScript& port) {
              Q417ScriptOf(port)->failTriggers = {TransferFault{
                  5, Failure{USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER}}};
            },
            {MessageDeviceCannotBeOpened}}};
     }},
    {"TransferFails",
     [] {
       std::vector<FaultPoint> points;
       for (uint32_t n = 1; n <= kTransfers; ++n) {
         points.push_back(
             {"transfer " + std::to_string(n),
              [n](PortScript& port) {
                Q417ScriptOf(port)->updateMode.faults.failTransfers = {TransferFault{n, {}}};
              },
              {TransferFailure(n)}});
       }
       return points;
     }},
    {"SubmissionFails",
     [] {
       // The header and a block refused at once; the driver resets the pipe
       // straight away, and that reset fails too for the block.
       return std::vector<FaultPoint>{
           {"header",
            [](PortScript& port) {
              Q417ScriptOf(port)->updateMode.faults.failSubmissions = {TransferFault{1, {}}};
            },
            {FailureHeaderNotSent}},
           {"block 6, reset fails",
            [](PortScript& port) {
              Q417ScriptOf(port)->updateMode.faults.failSubmissions = {TransferFault{6, {}}};
              Q417ScriptOf(port)->updateMode.faults.failResetPipes = {1};
            },
            {FailureBlockNotSent}}};
     }},
    {"OwedReset",
     [] {
       // The header fails; the user presses Program again with the device
       // still in update mode, and the driver first resets the pipe it owes.
       // A failed reset fails that request; the next one goes through.
       return std::vector<FaultPoint>{
           {"reset succeeds",
            [](PortScript& port) {
              Q417ScriptOf(port)->updateMode.faults.failTransfers = {TransferFault{1, {}}};
            },
            {FailureHeaderNotSent, MessageUpdateComplete},
            1},
           {"reset fails",
            [](PortScript& port) {
              Q417ScriptOf(port)->updateMode.faults.failTransfers = {TransferFault{1, {}}};
              Q417ScriptOf(port)->updateMode.faults.failResetPipes = {1};
            },
            {FailureHeaderNotSent, FailureHeaderNotSent, MessageUpdateComplete},
            2}};
     }},
    {"DeviceLeaves",
     [] {
       // Pulled out during the n-th transfer.
       std::vector<FaultPoint> points;
       for (uint32_t n : {1u, 2u, 7u, kTransfers}) {
         points.push_back({"transfer " + std::to_string(n),
                           [n](PortScript& port) {
                             Q417ScriptOf(port)->updateMode.faults.surpriseRemovalAtTransfer = n;
                           },
                           {TransferFailure(n)}});
       }
       return points;
     }},
};

void PrintTo(const Family& family, std::ostream* out) { *out << family.name; }

class DeviceFaultSweepTest : public SweepTest, public testing::WithParamInterface<Family> {};

TEST_P(DeviceFaultSweepTest, EachFaultEndsIdleWithItsMessageAndTheDeviceStaysUsable) {
  const std::vector<FaultPoint> points = GetParam().points();
  bool first = true;
  for (const FaultPoint& point : points) {
    for (uint64_t seed = 0; seed <= kPctSchedules; ++seed) {
      SCOPED_TRACE(point.name + (seed == 0 ? "" : ", PCT seed " + std::to_string(seed)));
      if (!first) FreshMachine(seed);
      first = false;
      Q417Port() = healthyPort_;
      point.prepare(Q417Port());
      SessionPlan plan;
      plan.retriesInUpdateMode = point.retriesInUpdateMode;
      const Observation observation = RunSession(plan);
      EXPECT_TRUE(SessionFaults(observation).empty()) << Describe(observation);
      std::vector<std::string> messages;
      for (const Outcome& outcome : observation.outcomes) {
        messages.push_back(outcome.message);
        EXPECT_EQ(outcome.status, StatusAfter(outcome.message)) << outcome.message;
      }
      EXPECT_EQ(messages, point.outcomes) << Describe(observation);
    }
  }
  std::printf("[ sweep    ] %s: %zu fault points, %llu schedules each\n", GetParam().name,
              points.size(), static_cast<unsigned long long>(kPctSchedules + 1));
}

INSTANTIATE_TEST_SUITE_P(Update, DeviceFaultSweepTest, testing::ValuesIn(kFamilies),
                         [](const testing::TestParamInfo<Family>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace sweep_testing
