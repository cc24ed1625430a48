// Resource and control ids, shared by the resource script and the code.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDR_MAINFRAME 128

#define IDC_PORT 1000
#define IDC_OPEN 1001
#define IDC_CLOSE 1002
#define IDC_PROGRESS 1003
#define IDC_DOWNLOAD 1004
#define IDC_STATUS 1005

// The About entry of the system menu. System commands keep their low four
// bits for the system, so the id is a multiple of 16 below 0xF000.
#define IDM_ABOUTBOX 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
