#pragma once
// The program's three registered window messages, registered by static initialisers before the
// application starts.
#include <windows.h>

extern const UINT g_uMsgShowMainWindow;  // a second start asks the running settings window to show itself
extern const UINT g_uMsgCloseApp;        // the installer library asks the program to exit
extern const UINT g_uMsgTrayNotify;      // callback message of the tray icon
