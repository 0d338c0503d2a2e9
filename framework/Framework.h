#pragma once
// The application framework: a small stand-in for the classic Windows class library (windows, dialogs,
// controls, data exchange, message maps, the application object). Knows nothing of any one program.
#include <windows.h>

#include "framework/CString.h"
#include "framework/Module.h"
