#pragma once
// The installer library's exports: the four custom actions the installer package calls by name (ordinals
// 1 to 4 in PellumarInstall.def). Each takes the installer's handle and returns 0: no action reports a
// failure to the installer.
#include <windows.h>
#include <msi.h>

#include <string>

extern "C" {
// 1: closes the running main program (the handle is not used).
UINT WINAPI CloseConsoleAction(MSIHANDLE install);
// 2: sets the property "NETFRAMEWORKPRESENT" to "1" when .NET Framework 2.0 is installed.
UINT WINAPI DotNetInstalledCheckAction(MSIHANDLE install);
// 3: restarts Windows Explorer (the handle is not used).
UINT WINAPI InstallAction(MSIHANDLE install);
// 4: restarts Windows Explorer, then opens the survey page unless running as LocalSystem.
UINT WINAPI UnInstallAction(MSIHANDLE install);
}

// The survey page, shown in the user's browser after removal.
std::wstring SurveyAddress();
