// Resource identifiers of qmb-edit.exe.
//
// The control identifiers are given to the resource compiler only: C++ code
// names them through qmb::ControlId (job/Panel.h), which holds the same
// numbers. The Wine scenario tests find every control by these numbers.
#pragma once

#define IDI_APP 101
#define IDD_PANEL 102
#define IDB_LAMPS 103

#ifdef RC_INVOKED
#define IDC_PORT_STATUS 1009
#define IDC_TAT 1010
#define IDC_WRITE 1011
#define IDC_READ 1012
#define IDC_LOOP 1013
#define IDC_STATUS 1018
#define IDC_CLOCK 1019
#define IDC_PORT 1037
#define IDC_HEX 1039
#define IDC_SECTION 1057
#define IDC_LENGTH 1058
#endif
