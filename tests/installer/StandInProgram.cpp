// A stand-in for the main program in the installer tests, copied under the names the installer looks for.
//   stand-in -window <event>   a hidden top-level window titled "Corvane Pellumar" that ends (exit code 0)
//                              on the registered close message, as the settings window does
//   stand-in -deaf <event>     no window: a program busy with a request, which never answers
// Sets the named event once it is ready. Ends by itself (exit code 2) after a minute, so that a failed
// test leaves nothing running for long.
#include <windows.h>

#include <cwchar>

#include "libcommon/ProductNames.h"

namespace {

constexpr UINT_PTR kGiveUpTimer = 1;
constexpr UINT kGiveUpMs = 60000;
constexpr int kExitGaveUp = 2;
UINT g_closeMessage;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == g_closeMessage && g_closeMessage != 0) {
        PostQuitMessage(0);
        return 0;
    }
    if (message == WM_TIMER && wParam == kGiveUpTimer) {
        PostQuitMessage(kExitGaveUp);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 1;
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]);
    if (std::wcscmp(argv[1], L"-deaf") == 0) {
        if (ready)
            SetEvent(ready);
        Sleep(kGiveUpMs);
        return kExitGaveUp;
    }

    g_closeMessage = RegisterWindowMessageW(kCloseAppMessageName);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = &WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"PellumarStandIn";
    if (!RegisterClassW(&windowClass))
        return 1;
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, kProductTitle, WS_OVERLAPPED, 0, 0, 100, 100,
                                  nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!window)
        return 1;
    SetTimer(window, kGiveUpTimer, kGiveUpMs, nullptr);
    if (ready)
        SetEvent(ready);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return static_cast<int>(message.wParam);
}
