// quillprog on a simulated machine with the real driver and device, played
// through the user agent (winsim/harness).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "harness/app_runner.h"
#include "resource.h"
#include "sim_machine.h"
#include "usb/models/q417.h"

namespace dialog_testing {

inline constexpr winsim::VirtualTime kSecond = 1000 * winsim::kTicksPerMillisecond;
inline constexpr char kDialogCaption[] = "Q417 Firmware Programmer";
inline constexpr char kAboutCaption[] = "About Q417 Firmware Programmer";
// The application title: the executable's name without its extension.
inline constexpr char kTitle[] = "quillprog";
// Where the default machine has its Q417: controller 1, root port 1, hub port 2.
inline constexpr char kQ417Port[] = "1/1/2";
inline constexpr char kQ417Item[] = "USB Mass Storage Device";

inline constexpr char kRemovableMedia[] =
    "If the device contains removable media, please remove the disk.  If the media cannot be "
    "removed, please use the unplug/eject applet to stop the device, then unplug and replug the "
    "USB cable.  This will prevent any data loss while updating firmware.\n\nPress OK when "
    "complete.";
inline constexpr char kSelectDeviceAndFile[] =
    "Please select a device and file before programming!";
inline constexpr char kFileCannotBeOpened[] =
    "The input file cannot be opened.  Please make sure the file is correct and try again.";
inline constexpr char kImageNotBuilt[] =
    "Error processing input Flash ROM file, (probably longer than 2000 lines)";
inline constexpr char kDeviceCannotBeOpened[] =
    "The Device cannot be opened.  Please make sure the correct device is selected and try "
    "again.";
inline constexpr char kCannotCloseWhileBusy[] =
    "You cannot close the application while the update is in progress!";

class DialogTest : public testing_support::SimMachineTest {
 protected:
  void SetUp() override;

  // Runs quillprog on the machine with the USB tree of usb_ (the default
  // machine's unless a test changed it).
  app_runner::RunResult Run(const app_runner::Script& script, bool closeAfterScript = false);

  // Answers the start-up message box and returns the main dialog.
  static HWND Start(winsim::UserAgent& agent);
  // Expects a message box with this text (and the program's caption,
  // exclamation icon, OK button) and answers it.
  static void ExpectMessageBox(winsim::UserAgent& agent, const std::string& text);
  static void ExpectButtonsEnabled(winsim::UserAgent& agent, HWND dialog, bool enabled);
  // Picks the Q417 in the device list.
  static void SelectQ417(winsim::UserAgent& agent, HWND dialog);
  // Expects the run to have ended clean, and reports each unexpected finding.
  static void ExpectClean(const app_runner::RunResult& result);

  // A file in the machine's private folder.
  static std::string WriteFile(const std::string& name, const std::string& contents);
  static std::string SampleFirmware();
  // The image bytes the device should hold after an update from the file.
  static std::vector<uint8_t> ExpectedFlash(const std::string& path);

  // The Q417 script of the default machine, for tests that change it.
  winsim::usb::Q417Script& Q417();

  winsim::usb::UsbTreeScript usb_;
};

}  // namespace dialog_testing
