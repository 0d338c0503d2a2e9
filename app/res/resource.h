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

// CPellumarApp (start-up): message boxes.
#define IDS_SOCKETS_INIT_FAILED 103   // "Windows sockets initialization failed."
#define IDS_SHARED_MEMORY_ERROR 110   // the request cannot be opened, mapped or taken as given
#define IDS_ONE_INSTANCE_ONLY   135   // a request while another one runs
#define IDS_MULTIPLE_DRIVES     138   // a request that names more than one drive root
