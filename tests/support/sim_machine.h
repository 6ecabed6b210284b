// A fresh simulated machine per test; the test fails on any verifier finding
// it did not expect.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "machine/machine.h"

namespace testing_support {

class SimMachineTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_ = std::make_unique<winsim::Machine>(); }
  void TearDown() override {
    if (!machine_) return;
    for (const winsim::Finding& finding : machine_->Verify().Unexpected()) {
      ADD_FAILURE() << "verifier: " << finding.rule << " at " << finding.place << ": "
                    << finding.detail;
    }
    machine_.reset();
  }
  // Runs body on the machine; expects it to end without a hang.
  void RunOnMachine(std::function<void()> body) { ASSERT_TRUE(machine_->Run(std::move(body))); }
  winsim::Machine& machine() { return *machine_; }

  std::unique_ptr<winsim::Machine> machine_;
};

}  // namespace testing_support
