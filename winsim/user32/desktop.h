// winsim: the machine's interactive desktop, the home of user32, comctl32 and
// comdlg32 state: window classes, windows, menus, icons, the message queues of
// the threads that use windows, and the program's resources.
//
// Exactly one Desktop exists at a time, created by a test or quillsim after
// the Machine and destroyed before it. It stands for one program's session:
// creating a new one starts from a clean window system (no windows, only the
// system classes registered, so InitCommonControlsEx must be called again).
//
// Every user32 function runs on a simulated thread (inside Machine::Run);
// those threads run one at a time, so the state needs no locks of its own.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace winsim {

namespace resources {
class ResourceFile;
}
namespace user32 {
struct WindowSystem;  // user32_internal.h
}

struct DesktopConfig {
  // The program module's compiled resources (.res). Every instance handle
  // the program passes (and a null one, for the resource functions that treat
  // it as the executable) names this module: winsim runs one program.
  std::filesystem::path module_resources;
  // Client size of a minimised window. winsim's desktop paints minimised
  // windows (the program draws its icon in WM_PAINT), as the desktops of
  // Windows 3.x-style shells do; a width of 33 gives x = 1 for a 32-pixel icon.
  int minimized_client_width = 36;
  int minimized_client_height = 36;
};

class Desktop {
 public:
  explicit Desktop(DesktopConfig config = {});
  ~Desktop();
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  // The desktop that exists now; aborts when there is none.
  static Desktop& Current();
  static Desktop* CurrentOrNull();

  const DesktopConfig& Config() const { return config_; }
  // The module's resources; null when the desktop was given none.
  const resources::ResourceFile* ModuleResources() const { return resources_.get(); }

  user32::WindowSystem& System() { return *system_; }

 private:
  DesktopConfig config_;
  std::unique_ptr<resources::ResourceFile> resources_;
  std::unique_ptr<user32::WindowSystem> system_;
};

}  // namespace winsim
