#pragma once
// The module the framework loads resources from and the program's instance handle.
#include <windows.h>

// The program's instance (the executable unless set otherwise).
HINSTANCE FrameworkInstanceHandle();
// Where string tables, dialog templates, icons and menus are looked up: the executable unless set.
HINSTANCE FrameworkResourceHandle();
void FrameworkSetResourceHandle(HINSTANCE module);
void FrameworkSetInstanceHandle(HINSTANCE module);

// The names classic framework code uses.
inline HINSTANCE AfxGetInstanceHandle() { return FrameworkInstanceHandle(); }
inline HINSTANCE AfxGetResourceHandle() { return FrameworkResourceHandle(); }
inline void AfxSetResourceHandle(HINSTANCE module) { FrameworkSetResourceHandle(module); }
