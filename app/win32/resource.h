#pragma once
// Resource identifiers of the Win32 update window (tarnup.rc), shared by the
// resource script and the code.

#define IDI_TARNUP 1
#define IDB_IMAGE1 101
#define IDB_IMAGE2 102
#define IDD_TARNUPFORM 200

#define IDC_GAUGE 1001
#define IDC_IMAGE1 1002
#define IDC_IMAGE2 1003
#define IDC_RGCOM 1004
#define IDC_RGCOM_ITEM0 1010
#define IDC_RGCOM_ITEM1 1011
#define IDC_RGCOM_ITEM2 1012
#define IDC_RGCOM_ITEM3 1013
#define IDC_BTNSTART 1020
#define IDC_BTNEXIT 1021
#define IDC_BTNCANCEL 1022
#define IDC_LISTBOX 1030
