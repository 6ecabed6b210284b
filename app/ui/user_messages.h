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
