#pragma once
// The application framework: a small stand-in for the classic Windows class library (strings, windows,
// message maps, dialogs, data exchange, controls, GDI, menus, threads, the application object). It knows
// nothing of any one program.
#include <windows.h>
#include <commctrl.h>

#include "framework/CString.h"
#include "framework/CmdTarget.h"
#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "framework/DialogTemplate.h"
#include "framework/Gdi.h"
#include "framework/Geometry.h"
#include "framework/Menu.h"
#include "framework/MessageMap.h"
#include "framework/Module.h"
#include "framework/Object.h"
#include "framework/Sync.h"
#include "framework/TempObjects.h"
#include "framework/WinApp.h"
#include "framework/Wnd.h"
