// winsim: snapshots of the screen as SVG, for people and for docs: a
// top-level window (a dialog, a message box, the about box, the file dialog)
// with each control drawn in its current state at its place (the template's
// dialog units mapped to pixels), in the classic grey look.
#pragma once

#include <windows.h>

#include <string>

namespace winsim {

// One top-level window and its controls, the window's corner at 0, 0.
// Empty when the window does not exist.
std::string SnapshotWindow(HWND window);
// Every visible top-level window at its screen position, bottom to top.
std::string SnapshotScreen();

}  // namespace winsim
