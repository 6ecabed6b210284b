// winsim: the simulated machine's disk, a private folder on the host.
//
// The Windows directory is a subfolder of that private folder, so that files
// the product names "<Windows directory>\name" (the backslash becomes part of
// the host file name) land in the machine's own folder, never in a shared one.
#pragma once

#include <filesystem>
#include <string>

namespace winsim {

// The machine's private folder. Created on first use as a fresh folder in
// TMPDIR if set, else in /dev/shm (memory) if writable, else in the host's
// temporary folder; removed with everything in it when the process ends.
const std::filesystem::path& MachineFolder();

// The host path that GetWindowsDirectoryA reports. Defaults to
// MachineFolder()/"WINDOWS".
std::string WindowsDirectory();

// Points the Windows directory elsewhere (tests, machine descriptions); the
// folder is created if needed. An empty path restores the default.
void SetWindowsDirectory(const std::filesystem::path& directory);

}  // namespace winsim
