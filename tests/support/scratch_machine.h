// A fresh Windows directory and a scratch folder per test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "machine/machine_disk.h"

namespace testing_support {

class ScratchMachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes text to a file in the scratch folder and returns its path.
  std::string WriteFile(const std::string& name, const std::string& text);
  std::string ReadFile(const std::string& path);

  // The host path of "<Windows directory>\sorthex".
  std::filesystem::path SortFilePath() const;

  // Names of everything in the scratch folder that the test did not write.
  std::vector<std::string> LeftoverFiles() const;

  std::filesystem::path scratch_;
  std::filesystem::path windowsDirectory_;
  std::vector<std::string> written_;
};

}  // namespace testing_support
