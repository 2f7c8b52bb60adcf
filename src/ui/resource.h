// Resource ids of the program's dialogs, controls, icon and strings.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN_DIALOG 102
#define IDR_MAINFRAME 128
#define IDC_LOG_LIST 1019
#define IDC_ABOUT_BUTTON 1036
#define IDC_DEVICE_COMBO 1037
#define IDC_FILE_PATH 1045
#define IDC_BROWSE 1046
#define IDC_PROGRESS 1057
#define IDC_FW_VERSION 1058
#define IDM_ABOUTBOX 0x0010
#define ID_SCAN_TIMER 1
