// Texts the programmer shows the user, in one place for the dialog and the
// tools that must say the same.
#pragma once

constexpr char MessageSelectDeviceAndFile[] = "Please select a device and file before programming!";
constexpr char MessageFileCannotBeOpened[] =
    "The input file cannot be opened.  Please make sure the file is correct and try again.";
constexpr char MessageImageNotBuilt[] =
    "Error processing input Flash ROM file, (probably longer than 2000 lines)";
constexpr char MessageDeviceCannotBeOpened[] =
    "The Device cannot be opened.  Please make sure the correct device is selected and try again.";
constexpr char MessageCannotCloseWhileBusy[] =
    "You cannot close the application while the update is in progress!";

// The main dialog's other texts.
constexpr char MessageRemoveRemovableMedia[] =
    "If the device contains removable media, please remove the disk.  If the media cannot be "
    "removed, please use the unplug/eject applet to stop the device, then unplug and replug the "
    "USB cable.  This will prevent any data loss while updating firmware.\n\nPress OK when "
    "complete.";
constexpr char MessageUpdateComplete[] = "Complete!";
// The status line.
constexpr char StatusPleaseWait[] = "Please Wait...";
constexpr char StatusError[] = "Error";
constexpr char StatusUpdateComplete[] = "Firmware Update Complete.";
// The download worker could not be started; in the worker's own words for a
// download that never reached the device.
constexpr char MessageDownloadNotStarted[] = "ERROR: Cannot send firmware to device!";
