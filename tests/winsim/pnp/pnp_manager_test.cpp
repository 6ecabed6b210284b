// The Plug and Play and power managers against small test drivers: arrival,
// stop and restart, orderly and surprise removal, unload with the leak check,
// system sleep and wake.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pnp_fixture.h"

using namespace winsim;
using pnp_test_drivers::Function;
using pnp_test_drivers::functionConfig;
using pnp_test_drivers::Pdo;
using Strings = std::vector<std::string>;

namespace {
using pnp_tests::PnpTest;

// The service registered for an identity loads for it in any case, and
// IRP_MN_QUERY_CAPABILITIES arrives with its Size and Version set, as
// Windows sends it (the rest of the arrival is the whole-program runs').
TEST_F(PnpTest, TheIdentityMatchesInAnyCaseAndCapabilitiesComeWithSizeAndVersion) {
  Run([&] {
    pnp::DeviceNode* node = Plug(0, "root\\test_device");
    pnp::DeviceArrived(node);
    pnp::WaitIdle();
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);
    EXPECT_EQ(Pdo(pdos_[0]).capabilitiesSize, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(Pdo(pdos_[0]).capabilitiesVersion, 1);
  });
}

// A driver whose AddDevice failed has no device left: it is unloaded.
TEST_F(PnpTest, ADriverWhoseAddDeviceFailsIsUnloaded) {
  Run([&] {
    functionConfig.failAddDevice = true;
    pnp::DeviceNode* node = Plug(0, "root\\test_device");
    pnp::DeviceArrived(node);
    pnp::WaitIdle();
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Failed);
    EXPECT_EQ(Function().driverEvents, (Strings{"DriverEntry", "AddDevice", "DriverUnload"}));
  });
}

TEST_F(PnpTest, SurpriseRemovalWithoutHandlesRemovesAtOnceChildrenFirst) {
  Run([&] {
    pnp::DeviceNode* parent = PlugAndStart(0);
    pnp::DeviceNode* child = PlugAndStart(1, parent);
    Pdo(pdos_[0]).gone = true;
    Pdo(pdos_[1]).gone = true;
    pnp::DeviceRemoved(parent, true);
    pnp::WaitIdle();
    EXPECT_EQ(pnp::State(child), pnp::NodeState::Removed);
    EXPECT_EQ(pnp::State(parent), pnp::NodeState::Removed);
    const Strings order = Requests("IRP_MN_");
    EXPECT_EQ(
        Strings(order.end() - 4, order.end()),
        (Strings{"IRP_MN_SURPRISE_REMOVAL ROOT\\TEST\\1", "IRP_MN_REMOVE_DEVICE ROOT\\TEST\\1",
                 "IRP_MN_SURPRISE_REMOVAL ROOT\\TEST\\0", "IRP_MN_REMOVE_DEVICE ROOT\\TEST\\0"}));
  });
}

// A vetoed stop is cancelled and the device stays started (an agreed stop
// and restart is the whole-program runs').
TEST_F(PnpTest, AVetoedStopIsCancelled) {
  Run([&] {
    functionConfig.vetoQueryStop = true;
    pnp::DeviceNode* node = PlugAndStart(0);
    pnp::StopAndRestart(node);
    pnp::WaitIdle();
    const Strings& seen = Function().deviceRequests[0];
    EXPECT_EQ(Strings(seen.begin() + 2, seen.end()),
              (Strings{"IRP_MN_QUERY_STOP_DEVICE", "IRP_MN_CANCEL_STOP_DEVICE"}));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);
  });
}

// Windows holds creates for a new stack until its start has ended: an open
// made while the start runs waits, then reaches the started device, or
// finds nothing when the failed start was followed by the removal.
TEST_F(PnpTest, AnOpenDuringTheStartWaitsForItsEnd) {
  struct Case {
    const char* name;
    bool failStart;
    NTSTATUS open;
    pnp::NodeState after;
  };
  const Case cases[] = {
      {"started", false, STATUS_SUCCESS, pnp::NodeState::Started},
      {"failed start", true, STATUS_OBJECT_NAME_NOT_FOUND, pnp::NodeState::Failed}};
  Run([&] {
    int index = 0;
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      functionConfig = {};
      functionConfig.failStart = c.failStart;
      functionConfig.startMilliseconds = 20;
      pnp::DeviceNode* node = Plug(index, pnp_tests::kHardwareId);
      pnp::DeviceArrived(node);
      LARGE_INTEGER delay;
      delay.QuadPart = -10000LL * 5;  // into the start
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
      const std::string name = "TESTFN" + std::to_string(index++);
      ASSERT_NE(kernel::LookupDevice(u"\\DosDevices\\" + kernel::Widen(name)), nullptr);
      ASSERT_NE(pnp::State(node), c.after);
      PFILE_OBJECT file = nullptr;
      EXPECT_EQ(kernel::UserOpen("\\\\.\\" + name, &file), c.open);
      EXPECT_EQ(pnp::State(node), c.after);
      if (file != nullptr) kernel::UserClose(file);
      pnp::WaitIdle();
    }
  });
}

TEST_F(PnpTest, OrderlyRemovalIsVetoedByTheDriverOrAnOpenHandle) {
  Run([&] {
    pnp::DeviceNode* node = PlugAndStart(0);
    functionConfig.vetoQueryRemove = true;
    pnp::DeviceRemoved(node, false);
    pnp::WaitIdle();
    functionConfig.vetoQueryRemove = false;
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(kernel::UserOpen("\\\\.\\TESTFN0", &file), STATUS_SUCCESS);
    pnp::DeviceRemoved(node, false);
    pnp::WaitIdle();
    EXPECT_EQ(Strings(Function().deviceRequests[0].begin() + 2, Function().deviceRequests[0].end()),
              (Strings{"IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_CANCEL_REMOVE_DEVICE", "IRP_MJ_CREATE",
                       "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_CANCEL_REMOVE_DEVICE"}));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);
    EXPECT_TRUE(pnp::IsPresent(node));
    kernel::UserClose(file);
    pnp::DeviceRemoved(node, false);
    pnp::WaitIdle();
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Removed);
  });
}

// A driver that detaches and deletes its device object at surprise removal,
// before IRP_MN_REMOVE_DEVICE, is a finding; one that waits is none.
TEST_F(PnpTest, DeletingTheDeviceObjectBeforeTheRemovalIsAFinding) {
  machine().Verify().Expect(rule::kDeletedBeforeRemove);
  Run([&] {
    pnp::DeviceNode* nodes[] = {PlugAndStart(0), PlugAndStart(1)};
    PFILE_OBJECT files[2] = {};
    ASSERT_EQ(kernel::UserOpen("\\\\.\\TESTFN0", &files[0]), STATUS_SUCCESS);
    ASSERT_EQ(kernel::UserOpen("\\\\.\\TESTFN1", &files[1]), STATUS_SUCCESS);
    for (int early = 0; early < 2; ++early) {
      functionConfig.deleteAtSurpriseRemoval = early == 1;
      Pdo(pdos_[early]).gone = true;
      pnp::DeviceRemoved(nodes[early], true);
      pnp::WaitIdle();
      kernel::UserClose(files[early]);
      pnp::WaitIdle();
      EXPECT_EQ(pnp::State(nodes[early]), pnp::NodeState::Removed);
      size_t findings = 0;
      for (const Finding& finding : machine().Verify().Findings()) {
        findings += finding.rule == rule::kDeletedBeforeRemove;
      }
      EXPECT_EQ(findings, early == 1 ? 2u : 0u) << "IoDetachDevice and IoDeleteDevice";
    }
    functionConfig.deleteAtSurpriseRemoval = false;
  });
}

TEST_F(PnpTest, SleepAndWakeReachEachStartedStackInOrder) {
  Run([&] {
    pnp::DeviceNode* parent = PlugAndStart(0);
    PlugAndStart(1, parent);
    pnp::DeviceNode* driverless = Plug(2, "ROOT\\NO_DRIVER");
    pnp::DeviceArrived(driverless);
    EXPECT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
    pnp::SystemWake();
    // (What each stack sees is the whole-program runs'.) A stack without a
    // driver gets nothing.
    EXPECT_TRUE(Pdo(pdos_[2]).requests.empty());
    // Children go to sleep before their parents and wake after them.
    EXPECT_EQ(Requests("IRP_MN_SET_POWER S"),
              (Strings{"IRP_MN_SET_POWER S3 ROOT\\TEST\\1", "IRP_MN_SET_POWER S3 ROOT\\TEST\\0",
                       "IRP_MN_SET_POWER S0 ROOT\\TEST\\0", "IRP_MN_SET_POWER S0 ROOT\\TEST\\1"}));
  });
}

// While the machine sleeps a bus's reports wait: a device that arrives is
// started only at the wake, after the system set-power requests for S0.
TEST_F(PnpTest, ADeviceThatArrivesWhileTheMachineSleepsStartsAtTheWake) {
  Run([&] {
    PlugAndStart(0);
    ASSERT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
    pnp::DeviceNode* late = Plug(1);
    pnp::DeviceArrived(late);
    pnp::WaitIdle();
    EXPECT_EQ(pnp::State(late), pnp::NodeState::NoDriver);
    pnp::SystemWake();
    pnp::WaitIdle();
    EXPECT_EQ(pnp::State(late), pnp::NodeState::Started);
  });
}

// As on Windows XP, the next power IRP of a type waits for the driver's
// PoStartNextPowerIrp: a driver that forgets it holds the set-power IRP after
// the query back, and the sleep hangs.
TEST_F(PnpTest, APowerIrpWaitsForThePreviousOnesPoStartNextPowerIrp) {
  machine().Verify().Expect(rule::kHang);
  const bool completed = machine().Run([&] {
    bus_ = kernel::LoadDriver("TestBus", pnp_test_drivers::BusDriverEntry, nullptr);
    pnp::RegisterService(pnp_tests::kHardwareId, "TestFunction",
                         pnp_test_drivers::FunctionDriverEntry);
    PlugAndStart(0);
    functionConfig.forgetStartNextPowerIrp = true;
    pnp::SystemSleep(PowerSystemSleeping3);
    ADD_FAILURE() << "the sleep ended";
  });
  functionConfig.forgetStartNextPowerIrp = false;
  EXPECT_FALSE(completed);
  EXPECT_EQ(Function().deviceRequests[0].back(), "IRP_MN_QUERY_POWER S3")
      << "the set-power IRP never reached the driver";
  const auto hangs = machine().Log().OfKind(EventKind::Hang);
  ASSERT_EQ(hangs.size(), 2u);
  EXPECT_NE(hangs[0].text.find("system sleep"), std::string::npos) << hangs[0].text;
  // The sleep that never completes names the IRP and the driver that holds it.
  EXPECT_EQ(hangs[1].text.substr(0, hangs[1].text.find(" (IRP ")),
            "IRP_MN_SET_POWER S3 never completed: held by TestFunction (the IRP waits for its "
            "PoStartNextPowerIrp)");
  EXPECT_EQ(hangs[1].Field("driver").substr(0, 12), "TestFunction");
  // As the power manager's watchdog would find once its time had passed.
  machine().Verify().Expect(rule::kPowerIrpWatchdog);
  const auto findings = machine().Verify().Findings();
  EXPECT_TRUE(std::any_of(findings.begin(), findings.end(), [](const Finding& finding) {
    return finding.rule == rule::kPowerIrpWatchdog && finding.place == "TestFunction!IRP_MJ_POWER";
  }));
}

TEST_F(PnpTest, AVetoedSleepTellsTheStacksAskedThatTheSystemStaysOn) {
  Run([&] {
    PlugAndStart(0);
    functionConfig.vetoQueryPower = true;
    EXPECT_FALSE(pnp::SystemSleep(PowerSystemHibernate));
    pnp::SystemWake();  // nothing to wake from
    const Strings& seen = Function().deviceRequests[0];
    EXPECT_EQ(Strings(seen.begin() + 2, seen.end()),
              (Strings{"IRP_MN_QUERY_POWER S4", "IRP_MN_SET_POWER S0"}));
    EXPECT_EQ(Pdo(pdos_[0]).requests.back(), "IRP_MN_SET_POWER S0")
        << "the driver's device is in D0 already, so the system IRP went down";
  });
}

// Windows lets no driver fail a system set-power IRP: the power manager
// reports a stack that does, on the way down to sleep and on the way up.
TEST_F(PnpTest, AFailedSystemSetPowerIsReported) {
  Run([&] {
    PlugAndStart(0);
    functionConfig.failSystemSetPower = true;
    pnp::SystemSleep(PowerSystemSleeping3);
    pnp::SystemWake();
    functionConfig.failSystemSetPower = false;
  });
  Strings findings;
  for (const Finding& finding : machine().Verify().Findings())
    findings.push_back(finding.rule + " @ " + finding.place + ": " + finding.detail);
  EXPECT_EQ(findings, (Strings{"system-set-power-failed @ TestFunction!IRP_MJ_POWER: "
                               "IRP_MN_SET_POWER S3 completed with 0xC0000001",
                               "system-set-power-failed @ TestFunction!IRP_MJ_POWER: "
                               "IRP_MN_SET_POWER S0 completed with 0xC0000001"}));
  machine().Verify().Expect(rule::kSystemSetPowerFailed);
}

}  // namespace
