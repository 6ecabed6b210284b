#include "scratch_machine.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "machine/machine_disk.h"

namespace testing_support {

void ScratchMachineTest::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  std::replace(name.begin(), name.end(), '/', '_');
  scratch_ = winsim::MachineFolder() / name;
  std::filesystem::remove_all(scratch_);
  std::filesystem::create_directories(scratch_);
  windowsDirectory_ = scratch_ / "WINDOWS";
  winsim::SetWindowsDirectory(windowsDirectory_);
}

void ScratchMachineTest::TearDown() {
  winsim::SetWindowsDirectory({});
  std::filesystem::remove_all(scratch_);
}

std::string ScratchMachineTest::WriteFile(const std::string& name, const std::string& text) {
  const auto path = scratch_ / name;
  std::ofstream(path, std::ios::binary) << text;
  written_.push_back(name);
  return path.string();
}

std::string ScratchMachineTest::ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::filesystem::path ScratchMachineTest::SortFilePath() const {
  return windowsDirectory_.string() + "\\sorthex";
}

std::vector<std::string> ScratchMachineTest::LeftoverFiles() const {
  std::vector<std::string> leftovers;
  for (const auto& entry : std::filesystem::directory_iterator(scratch_)) {
    const std::string name = entry.path().filename().string();
    if (name == "WINDOWS") {
      continue;
    }
    if (std::find(written_.begin(), written_.end(), name) == written_.end()) {
      leftovers.push_back(name);
    }
  }
  for (const auto& entry : std::filesystem::directory_iterator(windowsDirectory_)) {
    leftovers.push_back("WINDOWS/" + entry.path().filename().string());
  }
  return leftovers;
}

}  // namespace testing_support
