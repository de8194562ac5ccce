// Control and command identifiers of qmb-device.exe. The Wine scenario tests
// (tests/wine/GuiDriver.cpp) find every control by these numbers.
#pragma once

#define IDI_DEVICE_APP 101
#define IDD_WRITE_PLAN 201

// Child windows of the main window.
#define IDC_DEV_PORT 3001
#define IDC_DEV_READ 3002
#define IDC_DEV_CANCEL 3003
#define IDC_DEV_SAVE 3004
#define IDC_DEV_REFERENCE 3005
#define IDC_DEV_WRITE 3006
#define IDC_DEV_PROGRESS 3007
#define IDC_DEV_STATUS 3008
#define IDC_DEV_SUMMARY 3009
#define IDC_DEV_SECTIONS 3010
#define IDC_DEV_HEX 3011
#define IDC_DEV_INPLACE 3012
#define IDC_DEV_REFLABEL 3013
#define IDC_DEV_AUTOBACKUP 3014

// The write plan's confirmation.
#define IDC_PLAN_TEXT 3101
#define IDC_PLAN_BACKUP 3102
#define IDC_PLAN_WHERE 3103

// Menu commands (and their keys).
#define IDM_READ_ALL 4001
#define IDM_CANCEL 4002
#define IDM_SAVE_BACKUP 4003
#define IDM_OPEN_REFERENCE 4004
#define IDM_CLEAR_REFERENCE 4005
#define IDM_EXPORT_EDITS 4006
#define IDM_EXPORT_DIFFERENCE 4007
#define IDM_APPLY_PATCH 4008
#define IDM_EXIT 4009
#define IDM_UNDO 4010
#define IDM_REDO 4011
#define IDM_EDIT_ROW 4012
#define IDM_TAKE_SELECTION 4013
#define IDM_TAKE_SECTION 4014
#define IDM_TAKE_ALL 4015
#define IDM_REVERT_SECTION 4016
#define IDM_NEXT_DIFFERENCE 4017
#define IDM_PREVIOUS_DIFFERENCE 4018
#define IDM_WRITE_CHANGES 4019
#define IDM_FOCUS_SECTIONS 4020
#define IDM_FOCUS_HEX 4021
#define IDM_ACCELERATORS 4100
#define IDM_MAIN_MENU 4101
