#include "machine_disk.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <system_error>

namespace winsim {
namespace {

// Where the private folder goes: TMPDIR when it is set, else /dev/shm when
// it can be written (the machine's files are small and live only as long as
// the process: in memory, creating and removing them costs a fraction of
// what a journalled disk charges), else the host's temporary folder.
std::filesystem::path FolderBase() {
  if (std::getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK | X_OK) == 0) {
    return "/dev/shm";
  }
  return std::filesystem::temp_directory_path();
}

constexpr char kWindowsFolder[] = "WINDOWS";

class PrivateFolder {
 public:
  PrivateFolder() {
    std::string pattern = (FolderBase() / "winsim-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("winsim: cannot create the machine folder");
    }
    path_ = pattern;
  }
  // Most machines leave nothing but their empty Windows directory: two
  // rmdir calls, where walking the tree takes some twenty system calls.
  ~PrivateFolder() {
    rmdir((path_ / kWindowsFolder).c_str());
    if (rmdir(path_.c_str()) != 0) {
      std::error_code ignored;
      std::filesystem::remove_all(path_, ignored);
    }
  }
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::mutex& DirectoryLock() {
  static std::mutex lock;
  return lock;
}

std::filesystem::path& WindowsDirectoryOverride() {
  static std::filesystem::path directory;
  return directory;
}

}  // namespace

const std::filesystem::path& MachineFolder() {
  static PrivateFolder folder;
  return folder.path();
}

std::string WindowsDirectory() {
  std::lock_guard guard(DirectoryLock());
  if (!WindowsDirectoryOverride().empty()) {
    return WindowsDirectoryOverride().string();
  }
  // Made once: the machine folder is private to this process and lives as
  // long as it does.
  static bool made = false;
  std::filesystem::path directory = MachineFolder() / kWindowsFolder;
  if (!made) {
    std::filesystem::create_directory(directory);
    made = true;
  }
  return directory.string();
}

void SetWindowsDirectory(const std::filesystem::path& directory) {
  std::lock_guard guard(DirectoryLock());
  if (!directory.empty()) {
    std::filesystem::create_directories(directory);
  }
  WindowsDirectoryOverride() = directory;
}

}  // namespace winsim
