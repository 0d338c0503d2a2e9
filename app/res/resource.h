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

// ---- CDeleteItemDlg: the progress window ----
// Templates.
#define IDD_DELETE_ITEMS        131   // files and folders
#define IDD_DELETE_SPACE        133   // recycle bin and free space
#define IDD_DELETE_ITEMS_XP     135   // files and folders on Windows major version 5
// Controls (IDCANCEL is the cancel button).
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

// Strings.
#define IDS_FREE_SPACE_FAILED   102   // "Failed to purge free space"
#define IDS_FREE_SPACE_UNWIPED  140   // the same, with how much free space the fill could not reach
#define IDS_PREPARING           124   // "Preparing to delete"
#define IDS_DELETING            125   // "Deleting"
#define IDS_NAME_LABEL          126   // "Name : " (in the counting thread's block of the string table)
#define IDS_REMAINING_ITEMS     127   // "Remaining Items : %d"
#define IDS_PERCENT_COMPLETE    128   // "% complete"
#define IDS_ENCRYPTED           131   // shredding of encrypted items is not supported
#define IDS_COMPRESSED          132   // ... compressed items
#define IDS_SPARSE              133   // ... sparse items
#define IDS_FILE_ACCESS_DENIED  136   // file %s, access denied
#define IDS_FOLDER_ACCESS_DENIED 137  // folder %s, access denied
#define IDS_FILE_NOT_FOUND      163   // file %s does not exist
#define IDS_FILE_FAILED         164   // file %s, error %d (also the confirmation dialog)
#define IDS_FOLDER_FAILED       165   // folder %s, error %d (also the confirmation dialog)
#define IDS_FILE_IN_USE         166   // file %s is open elsewhere (also the confirmation dialog)
#define IDS_LEADS_ELSEWHERE     142   // %s now leads elsewhere than the entry that was listed
#define IDS_OTHER_VOLUME        143   // folder %s lies on another volume (a file system mounted there)
#define IDS_OTHER_NAMES         144   // file %s has other names (hard links)
#define IDS_SIZE_CHANGED        145   // file %s changed its size while it was overwritten
#define IDS_STILL_THERE         146   // %s was reported deleted but is still there

// ---- CConfirmDeletionDlg: confirms a list, a drive or a free-space wipe ----
// Templates.
#define IDD_CONFIRM_SEVERAL     130   // several items: their number only
#define IDD_CONFIRM_ONE         132   // one item: name, shell icon, date
// Controls.
#define IDC_CONFIRM_ICON        1005  // the emblem, 64 x 64 (one item)
#define IDC_CONFIRM_QUESTION    1006
#define IDC_CONFIRM_NAME        1007
#define IDC_CONFIRM_DATE        1008
#define IDC_CONFIRM_SHELL_ICON  1016  // the item's extra-large shell icon
#define IDC_CONFIRM_EMBLEM      1018  // the emblem (several items)
// Strings.
#define IDS_CONFIRM_SEVERAL     104   // "Are you sure you want to delete these %d items ?"
#define IDS_CONFIRM_FILE        105
#define IDS_CONFIRM_FOLDER      106
#define IDS_DATE_CREATED        107   // "Date created : %s"
#define IDS_DATE_MODIFIED       108   // "Date modified : %s"
#define IDS_CONFIRM_FREE_SPACE  139
#define IDS_CONFIRM_DRIVE       173

// ---- CRecycleBinConfirmationDlg: confirms the shredding of the recycle bin ----
#define IDD_CONFIRM_RECYCLE_BIN 129
#define IDC_RECYCLE_BIN_EMBLEM  1005  // the emblem, 64 x 64
#define IDC_RECYCLE_BIN_QUESTION 1006
#define IDC_RECYCLE_BIN_TEXT    1007
#define IDC_RECYCLE_BIN_PICTURE 1016  // the recycle-bin icon

// ---- CPellumarApp: the message boxes of start-up ----
#define IDS_SOCKETS_INIT_FAILED 103   // "Windows sockets initialization failed."
#define IDS_SHARED_MEMORY_ERROR 110   // the request cannot be opened, mapped or taken as given
#define IDS_ONE_INSTANCE_ONLY   135   // a request while another one runs
#define IDS_MULTIPLE_DRIVES     138   // a request that names more than one drive root
#define IDS_BIN_NOT_EMPTIED     141   // the shell's recycle bin still holds items that were not shredded
