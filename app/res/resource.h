// Resource numbers of quillprog, shared by the resource script and the code.
#pragma once

// System-menu command of the About item.
#define IDM_ABOUTBOX 0x0010

// Dialog templates, strings, icon and animation clip.
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_PROGRAMMER_DIALOG 102
#define IDR_MAINFRAME 128
#define IDR_PROGRESS_AVI 136

// Controls of the main dialog.
#define IDC_PROGRAM 1000
#define IDC_DEVICE_LIST 1002
#define IDC_FILE_PATH 1003
#define IDC_BROWSE 1004
#define IDC_REFRESH 1005
#define IDC_PROGRESS 1006
#define IDC_STATUS 1008
#define IDC_ANIMATION 1009

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
