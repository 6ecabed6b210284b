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

TEST_F(PnpTest, ArrivalLoadsAddsQueriesAndStartsThenOrderlyRemovalUnloads) {
  Run([&] {
    pnp::DeviceNode* node = PlugAndStart(0);
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);
    EXPECT_EQ(Function().driverEvents, (Strings{"DriverEntry", "AddDevice"}));
    EXPECT_EQ(Function().deviceRequests[0],
              (Strings{"IRP_MN_QUERY_CAPABILITIES", "IRP_MN_START_DEVICE"}));
    // The capabilities arrive as Windows sends them, and the bus sees what
    // the function driver set on the way down.
    EXPECT_EQ(Pdo(pdos_[0]).capabilitiesSize, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(Pdo(pdos_[0]).capabilitiesVersion, 1);
    EXPECT_TRUE(Pdo(pdos_[0]).surpriseRemovalOk);

    Pdo(pdos_[0]).gone = true;
    pnp::DeviceRemoved(node, false);
    pnp::WaitIdle();
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Removed);
    EXPECT_FALSE(pnp::IsPresent(node));
    EXPECT_TRUE(Pdo(pdos_[0]).deleted);
    EXPECT_EQ(
        Steps(node),
        (Strings{"AddDevice @TestFunction", "IRP_MN_QUERY_CAPABILITIES @TestFunction",
                 "IRP_MN_START_DEVICE @TestFunction", "IRP_MN_QUERY_REMOVE_DEVICE @TestFunction",
                 "IRP_MN_REMOVE_DEVICE @TestFunction"}));
  });
  EXPECT_EQ(Function().driverEvents, (Strings{"DriverEntry", "AddDevice", "DriverUnload"}));
}

TEST_F(PnpTest, DriverEntryRunsOncePerLoadAndUnloadWaitsForTheLastDevice) {
  Run([&] {
    pnp::DeviceNode* first = PlugAndStart(0);
    pnp::DeviceNode* second = PlugAndStart(1);
    EXPECT_EQ(Function().driverEvents, (Strings{"DriverEntry", "AddDevice", "AddDevice"}));
    pnp::DeviceRemoved(first, false);
    pnp::WaitIdle();
    EXPECT_EQ(Function().driverEvents.back(), "AddDevice") << "one device is left";
    pnp::DeviceRemoved(second, false);
    pnp::WaitIdle();
    EXPECT_EQ(Function().driverEvents.back(), "DriverUnload");
    // A device arriving after the unload loads the driver again.
    PlugAndStart(2);
    EXPECT_EQ(Function().driverEvents, (Strings{"DriverEntry", "AddDevice", "AddDevice",
                                                "DriverUnload", "DriverEntry", "AddDevice"}));
  });
}

TEST_F(PnpTest, StopAndRestartAndItsVeto) {
  struct Case {
    bool veto;
    Strings requests;
  };
  const Case cases[] = {
      {false, {"IRP_MN_QUERY_STOP_DEVICE", "IRP_MN_STOP_DEVICE", "IRP_MN_START_DEVICE"}},
      {true, {"IRP_MN_QUERY_STOP_DEVICE", "IRP_MN_CANCEL_STOP_DEVICE"}},
  };
  Run([&] {
    int index = 0;
    for (const Case& c : cases) {
      SCOPED_TRACE(c.veto ? "vetoed" : "agreed");
      functionConfig.vetoQueryStop = c.veto;
      pnp::DeviceNode* node = PlugAndStart(index);
      pnp::StopAndRestart(node);
      pnp::WaitIdle();
      Strings& seen = Function().deviceRequests[index];
      EXPECT_EQ(Strings(seen.begin() + 2, seen.end()), c.requests);
      EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);
      pnp::DeviceRemoved(node, true);
      ++index;
    }
  });
}

TEST_F(PnpTest, FailuresToLoadAddOrStartLeaveTheDeviceWithoutADriver) {
  Run([&] {
    // A failed start is followed by the removal, then the unload.
    functionConfig.failStart = true;
    pnp::DeviceNode* failedStart = PlugAndStart(0);
    EXPECT_EQ(pnp::State(failedStart), pnp::NodeState::Failed);
    EXPECT_EQ(
        Function().deviceRequests[0],
        (Strings{"IRP_MN_QUERY_CAPABILITIES", "IRP_MN_START_DEVICE", "IRP_MN_REMOVE_DEVICE"}));
    EXPECT_EQ(Function().driverEvents.back(), "DriverUnload");
    EXPECT_TRUE(pnp::IsPresent(failedStart));
    EXPECT_FALSE(Pdo(pdos_[0]).deleted) << "the device is still on the bus";
    // When it leaves, its PDO gets the removal again and the bus deletes it.
    Pdo(pdos_[0]).gone = true;
    pnp::DeviceRemoved(failedStart, true);
    pnp::WaitIdle();
    EXPECT_EQ(Pdo(pdos_[0]).requests.back(), "IRP_MN_REMOVE_DEVICE");
    EXPECT_TRUE(Pdo(pdos_[0]).deleted);

    functionConfig = {};
    functionConfig.failAddDevice = true;
    pnp::DeviceNode* failedAdd = PlugAndStart(1);
    EXPECT_EQ(pnp::State(failedAdd), pnp::NodeState::Failed);
    EXPECT_TRUE(Pdo(pdos_[1]).requests.empty()) << "no request without a function driver";
    EXPECT_EQ(Function().driverEvents, (Strings{"DriverEntry", "AddDevice", "DriverUnload",
                                                "DriverEntry", "AddDevice", "DriverUnload"}));
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

TEST_F(PnpTest, OnlyTheRegisteredIdentityLoadsTheService) {
  Run([&] {
    pnp::DeviceNode* other = Plug(0, "ROOT\\OTHER_DEVICE");
    pnp::DeviceNode* sameIgnoringCase = Plug(1, "root\\test_device");
    pnp::DeviceArrived(other);
    pnp::DeviceArrived(sameIgnoringCase);
    pnp::WaitIdle();
    EXPECT_EQ(pnp::State(other), pnp::NodeState::NoDriver);
    EXPECT_TRUE(Pdo(pdos_[0]).requests.empty());
    EXPECT_EQ(Steps(other), (Strings{"no service for ROOT\\OTHER_DEVICE"}));
    EXPECT_EQ(pnp::State(sameIgnoringCase), pnp::NodeState::Started);
    // A device without a driver gets the removal alone when it leaves.
    pnp::DeviceRemoved(other, false);
    pnp::WaitIdle();
    EXPECT_EQ(Pdo(pdos_[0]).requests, (Strings{"IRP_MN_REMOVE_DEVICE"}));
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

TEST_F(PnpTest, SurpriseRemovalSendsTheRemovalOnlyAfterTheLastHandleIsClosed) {
  Run([&] {
    pnp::DeviceNode* node = PlugAndStart(0);
    PFILE_OBJECT first = nullptr;
    PFILE_OBJECT second = nullptr;
    ASSERT_EQ(kernel::UserOpen("\\\\.\\TESTFN0", &first), STATUS_SUCCESS);
    ASSERT_EQ(kernel::UserOpen("\\\\.\\TESTFN0", &second), STATUS_SUCCESS);
    Pdo(pdos_[0]).gone = true;
    pnp::DeviceRemoved(node, true);
    pnp::WaitIdle();
    EXPECT_EQ(pnp::State(node), pnp::NodeState::RemovePending);
    EXPECT_EQ(Pdo(pdos_[0]).requests.back(), "IRP_MN_SURPRISE_REMOVAL");
    kernel::UserClose(first);
    pnp::WaitIdle();
    EXPECT_EQ(pnp::State(node), pnp::NodeState::RemovePending) << "one handle is still open";
    EXPECT_EQ(Function().driverEvents.back(), "AddDevice")
        << "the driver stays while a handle is open";
    kernel::UserClose(second);
    pnp::WaitIdle();
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Removed);
    EXPECT_TRUE(Pdo(pdos_[0]).deleted);
    // The driver kept its device object until the final removal.
    const Strings steps = Steps(node);
    EXPECT_EQ(Strings(steps.begin() + 3, steps.end()),
              (Strings{"IRP_MN_SURPRISE_REMOVAL @TestFunction",
                       "IRP_MN_REMOVE_DEVICE waits for 2 open handle(s)",
                       "IRP_MN_REMOVE_DEVICE @TestFunction"}));
    const Strings& seen = Function().deviceRequests[0];
    EXPECT_EQ(Strings(seen.end() - 2, seen.end()),
              (Strings{"IRP_MJ_CLOSE", "IRP_MN_REMOVE_DEVICE"}));
    EXPECT_EQ(Function().driverEvents.back(), "DriverUnload");
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
    Strings order;
    for (const Event& event : machine().Log().OfKind(EventKind::Pnp)) {
      if (event.Field("request").starts_with("IRP_MN_")) {
        order.push_back(event.Field("request") + " " + event.Field("device"));
      }
    }
    EXPECT_EQ(
        Strings(order.end() - 4, order.end()),
        (Strings{"IRP_MN_SURPRISE_REMOVAL ROOT\\TEST\\1", "IRP_MN_REMOVE_DEVICE ROOT\\TEST\\1",
                 "IRP_MN_SURPRISE_REMOVAL ROOT\\TEST\\0", "IRP_MN_REMOVE_DEVICE ROOT\\TEST\\0"}));
  });
}

TEST_F(PnpTest, UnloadRunsTheLeakCheck) {
  machine().Verify().Expect(rule::kPoolLeak);
  Run([&] {
    functionConfig.leakPool = true;
    pnp::DeviceNode* node = PlugAndStart(0);
    pnp::DeviceRemoved(node, true);
    pnp::WaitIdle();
  });
  EXPECT_EQ(Function().driverEvents.back(), "DriverUnload");
  ASSERT_TRUE(machine().Verify().Has(rule::kPoolLeak));
  bool named = false;
  for (const Finding& finding : machine().Verify().Findings()) {
    named |=
        finding.rule == rule::kPoolLeak && finding.place.find("TestFunction") != std::string::npos;
  }
  EXPECT_TRUE(named) << "the finding names the leaking driver";
}

TEST_F(PnpTest, SleepAndWakeReachEachStartedStackInOrder) {
  Run([&] {
    pnp::DeviceNode* parent = PlugAndStart(0);
    PlugAndStart(1, parent);
    pnp::DeviceNode* driverless = Plug(2, "ROOT\\NO_DRIVER");
    pnp::DeviceArrived(driverless);
    EXPECT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
    pnp::SystemWake();
    for (int device : {0, 1}) {
      SCOPED_TRACE(device);
      const Strings& seen = Function().deviceRequests[device];
      EXPECT_EQ(Strings(seen.begin() + 2, seen.end()),
                (Strings{"IRP_MN_QUERY_POWER S3", "IRP_MN_SET_POWER S3", "IRP_MN_SET_POWER D3",
                         "IRP_MN_SET_POWER S0", "IRP_MN_SET_POWER D0"}));
      // The query goes down to the bus; the device IRPs that the driver
      // requested travel the stack to the bus too.
      const Strings& bus = Pdo(pdos_[device]).requests;
      EXPECT_EQ(Strings(bus.begin() + 2, bus.end()),
                (Strings{"IRP_MN_QUERY_POWER S3", "IRP_MN_SET_POWER D3", "IRP_MN_SET_POWER D0"}));
    }
    EXPECT_TRUE(Pdo(pdos_[2]).requests.empty());
    // Children go to sleep before their parents and wake after them.
    Strings order;
    for (const Event& event : machine().Log().OfKind(EventKind::Pnp)) {
      if (event.Field("request").starts_with("IRP_MN_SET_POWER S")) {
        order.push_back(event.Field("request") + " " + event.Field("device"));
      }
    }
    EXPECT_EQ(order,
              (Strings{"IRP_MN_SET_POWER S3 ROOT\\TEST\\1", "IRP_MN_SET_POWER S3 ROOT\\TEST\\0",
                       "IRP_MN_SET_POWER S0 ROOT\\TEST\\0", "IRP_MN_SET_POWER S0 ROOT\\TEST\\1"}));
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
  ASSERT_EQ(hangs.size(), 1u);
  EXPECT_NE(hangs[0].text.find("system sleep"), std::string::npos) << hangs[0].text;
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
