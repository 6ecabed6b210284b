// A machine with the test device driver loaded, for kernel32's tests. Each
// test runs its "application" with winsim::kernel32::RunApplication and ends
// with no verifier finding that it did not expect.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "kernel32/user_process.h"
#include "machine/machine.h"
#include "test_device_driver.h"

namespace k32test {

class Kernel32MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.Run([this] {
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      driver_ = winsim::kernel::LoadDriver("K32Test", DriverEntry, &status);
      ASSERT_EQ(status, STATUS_SUCCESS);
    }));
  }

  void TearDown() override {
    if (driver_ != nullptr) {
      machine_.Run([this] { winsim::kernel::UnloadDriver(driver_); });
    }
    for (const winsim::Finding& finding : machine_.Verify().Unexpected()) {
      ADD_FAILURE() << finding.rule << " at " << finding.place << ": " << finding.detail;
    }
  }

  bool RunApp(std::function<void()> main) {
    return winsim::kernel32::RunApplication(machine_, std::move(main));
  }

  // The user-mode events whose text is `text`, in order.
  std::vector<winsim::Event> UserEvents(const std::string& text) const {
    std::vector<winsim::Event> events;
    for (const winsim::Event& event : machine_.Log().OfKind(winsim::EventKind::User)) {
      if (event.text == text) {
        events.push_back(event);
      }
    }
    return events;
  }

  std::vector<winsim::Finding> FindingsOf(std::string_view rule) const {
    std::vector<winsim::Finding> found;
    for (const winsim::Finding& finding : machine_.Verify().Findings()) {
      if (finding.rule == rule) {
        found.push_back(finding);
      }
    }
    return found;
  }

  double NowMs() { return double(machine_.Sched().Now()) / winsim::kTicksPerMillisecond; }

  mutable winsim::Machine machine_;
  PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace k32test
