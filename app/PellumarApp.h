#pragma once
// The application object and its start-up: chooses the mode from the command line, reads and checks a
// shredding request, holds the mode's single-instance mutex and runs the mode's windows. InitInstance
// always returns FALSE: the process ends when the mode's last window has closed.
#include <windows.h>

#include "framework/WinApp.h"

class CStartupDialogs;
struct ShellRequest;

// Single-instance mutexes: one request and one settings window may run side by side.
inline constexpr wchar_t kSettingsWindowMutexName[] = L"QMX5E0B7C21-9D4F-4A63-B812-C7D3E9F04A58";
inline constexpr wchar_t kRequestMutexName[] = L"QMXA1F63D0E-27C8-4B95-9E44-0D8B52C7F316";

// How long a second start waits for the running settings window to answer the show message.
inline constexpr UINT kHandOverTimeoutMs = 5000;

class CPellumarApp : public CWinApp {
public:
    CPellumarApp();
    ~CPellumarApp() override;

    BOOL InitInstance() override;

    // The running mode's single-instance mutex, held until the process ends (nothing closes it).
    HANDLE m_hInstanceMutex = nullptr;
    // The windows the modes run; the program's own unless a test stands in for them.
    CStartupDialogs* m_dialogs;

protected:
    DECLARE_MESSAGE_MAP()

private:
    void RunRequest(ShellRequest& request, bool binListedWhole);
    void RunSettingsMode(bool startHidden);
};

// The one application object of the program.
extern CPellumarApp theApp;

// A second start's hand-over: shows the running settings window (a dialog titled with the product's
// title) without waiting on it for more than kHandOverTimeoutMs, or hanging on it when it is hung.
void ShowRunningSettingsWindow();
