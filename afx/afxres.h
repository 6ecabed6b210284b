// Command identifiers afx gives a meaning to. Resource scripts may include
// this file too.
#pragma once

// The help command; CWinApp::OnHelp handles it.
#define ID_HELP 0xE146
