// Identifiers of the Win32 dialog resources of Kilnor.
#ifndef KILNOR_WIN32_RESOURCE_H
#define KILNOR_WIN32_RESOURCE_H

#define IDD_KILNOR 100
#define IDD_ABOUT 101

// System-menu command of the About item; the low four bits stay clear as
// WM_SYSCOMMAND requires.
#define IDM_ABOUTBOX 0x0010

#define IDC_LPT 1000
#define IDC_USB 1001
#define IDC_STATUS 1002
#define IDC_WRITE_HEADER 1003
#define IDC_FILL 1004
#define IDC_READ_OUT 1005
#define IDC_NAP 1006
#define IDC_UAP 1007
#define IDC_LAP 1008
#define IDC_INCREMENT 1009
#define IDC_WRITE_ADDRESS 1010
#define IDC_FILE_PATH 1011
#define IDC_CHOOSE_FILE 1012
#define IDC_PROGRAM_FILE 1013
#define IDC_WEB_LINK 1014

#define IDC_ABOUT_ICON 1100
#define IDC_ABOUT_LINK 1101

#ifndef IDC_STATIC
#define IDC_STATIC -1
#endif

#endif
