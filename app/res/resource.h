// Resource ids of the main program.
#pragma once

// Icons.
#define IDI_APP                 128   // the application icon (48, 32 and 16 pixels)
#define IDI_CANCEL              133   // 21 x 20 cross: the progress window's cancel button
#define IDI_PAUSE               134   // 21 x 20 pair of bars: the pause button
#define IDI_RESUME              135   // 21 x 20 triangle: the pause button while paused
#define IDI_EMBLEM              136   // the program's emblem, 64 x 64 in 32-bit colour
#define IDI_RECYCLE_BIN         162   // 32 x 32 recycle bin

// Bitmaps: the banners of the settings window and of the about box (24-bit, 58 pixels high).
#define IDB_SETTINGS_BANNER     131   // 770 pixels wide
#define IDB_ABOUT_BANNER        3129  // 618 pixels wide

// Animations, resource type "GIF" (25 frames of one second, looping).
#define IDR_SHREDDER_LARGE      1019  // 128 x 128: list jobs
#define IDR_SHREDDER_SMALL      1021  // 64 x 64: recycle bin and free space

// Progress window templates.
#define IDD_DELETE_ITEMS        131   // files and folders
#define IDD_DELETE_SPACE        133   // recycle bin and free space
#define IDD_DELETE_ITEMS_XP     135   // files and folders on Windows major version 5

// Progress window controls.
#define IDC_PAUSE               3
#define IDC_ITEMS_NAME          1007
#define IDC_PROGRESS            1011
#define IDC_PERCENT             1014
#define IDC_ITEMS_REMAINING     1015
#define IDC_ANIMATION           1017

// ---- CPellumarDlg: the tray settings window ------------------------------------------------------------
#define IDD_PELLUMAR_DIALOG     102
#define IDS_ABOUTBOX            101   // "&About Corvane Pellumar..." (system menu)
#define IDS_UP_TO_DATE          129
#define IDS_UPDATE_FAILED       130
#define IDR_TRAY_MENU           132   // pop-up "Manage"
#define IDR_HELP_MENU           134   // pop-up "Help"
#define IDC_METHOD              1001
#define IDC_METHOD_LABEL        1003
#define IDC_NOTIFY_UPDATES      1010
#define IDC_SETTINGS_BANNER     1023
#define ID_TRAY_HELP            32771
#define ID_TRAY_EXIT            32772
#define ID_TRAY_CHECK_VERSION   32773
#define ID_TRAY_CONFIGURE       32774
#define ID_HELP_VISIT_WEBSITE   32775
#define ID_HELP_VISIT_FORUM     32776
#define ID_HELP_VIEW_HELP       32777
#define ID_HELP_CHECK_UPDATES   32778
#define ID_HELP_ABOUT           32779
#define IDM_ABOUTBOX            0x0010   // the system-menu item (a system command: low four bits clear)

// ---- CCorvaneAboutDlg: the about box -------------------------------------------------------------------
#define IDD_ABOUTBOX            3100
#define IDS_ABOUT_VERSION       3101  // "%s, Version %s"
#define IDC_ABOUT_YEAR          2003
#define IDC_ABOUT_BANNER        2017
#define IDC_ABOUT_VERSION       2018

// ---- CVersionUpdaterDlg: the update offer and download -------------------------------------------------
#define IDD_VERSION_UPDATE      3131
#define IDC_UPDATE_FEATURES     2021
#define IDC_UPDATE_DETECTED     2022
#define IDC_UPDATE_DONT_SHOW    2024
#define IDC_UPDATE_PROGRESS     2025
#define IDC_UPDATE_FEATURES_LABEL 2026
#define IDC_UPDATE_REMIND_LATER 2027
