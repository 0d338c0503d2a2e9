// Shows one state of the progress or confirmation dialogs, with real jobs on real files, for a screenshot.
// Run by scripts/screenshot-dialogs.
//   dialogs_showcase <state> <ready file> <done file>
// Once the state is reached it writes the screen rectangle of the window to shoot ("left top width
// height") to the ready file; it ends when the done file appears (or after 60 seconds).
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <functional>
#include <string>

#include "DialogTestUtil.h"
#include "JobTestUtil.h"
#include "TempDir.h"
#include "TestText.h"
#include "app/jobs/ConfirmDeletionDlg.h"
#include "app/jobs/DeleteItemDlg.h"
#include "app/jobs/RecycleBinConfirmationDlg.h"
#include "app/res/resource.h"

namespace {

std::wstring g_ready, g_done;
DWORD g_started = 0;
bool g_reported = false;
std::function<HWND()> g_target;   // the window to shoot once the state is reached, or NULL until then
std::function<void()> g_end;

void CALLBACK OnTick(HWND, UINT, UINT_PTR, DWORD)
{
    const DWORD elapsed = GetTickCount() - g_started;
    HWND target = g_target ? g_target() : nullptr;
    if (!g_reported && elapsed > 1500) {
        if (target && IsWindowVisible(target)) {
            SetWindowPos(target, nullptr, 40, 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            RedrawWindow(target, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
            RECT r;
            GetWindowRect(target, &r);
            if (FILE* f = _wfopen(g_ready.c_str(), L"w")) {
                std::fprintf(f, "%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
                std::fclose(f);
            }
            g_reported = true;
        }
    }
    if (elapsed > 60000 || (g_reported && GetFileAttributesW(g_done.c_str()) != INVALID_FILE_ATTRIBUTES)) {
        if (g_end)
            g_end();
        g_end = nullptr;
    }
}

HWND MessageBoxOf(HWND exclude)
{
    std::vector<ThreadMessageBox> boxes = FindThreadMessageBoxes(exclude);
    return boxes.empty() ? nullptr : boxes[0].hWnd;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: dialogs_showcase <state> <ready file> <done file>\n");
        return 2;
    }
    const std::string state = argv[1];
    g_ready = Widen(argv[2]);
    g_done = Widen(argv[3]);
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);

    TempDir dir(L"pellumar-showcase");
    g_started = GetTickCount();
    SetTimer(nullptr, 0, 50, &OnTick);

    if (state == "progress" || state == "paused" || state == "recycle-bin-progress") {
        // A job large enough to show, held part way: by the flag alone for the running look, by the pause
        // button for the paused one.
        const bool recycleBin = state == "recycle-bin-progress";
        PathList files;
        for (int i = 0; i < 30; ++i) {
            const std::wstring path = dir.Join(L"Quarterly report " + std::to_wstring(i) + L".xlsx");
            MakeFile(path, i == 7 ? (64u << 20) : 1000);
            files.push_back(path);
        }
        const PathList folders;
        CDeleteItemDlg dlg(&files, &folders, recycleBin);
        dlg.m_settings.m_deleteMethod = 1;
        bool held = false;
        g_target = [&]() -> HWND {
            if (!held && dlg.m_deleteState == CDeleteItemDlg::kJobStarted && dlg.m_lastPercent >= 10) {
                held = true;
                if (state == "paused")
                    SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_PAUSE, BN_CLICKED),
                                 reinterpret_cast<LPARAM>(GetDlgItem(dlg.m_hWnd, IDC_PAUSE)));
                else
                    dlg.m_deleteThread.m_stop = kCancelHold;
                return nullptr;
            }
            return held ? dlg.m_hWnd : nullptr;
        };
        g_end = [&] { dlg.StopAndClose(); };
        dlg.DoModal();
        return g_reported ? 0 : 1;
    }
    if (state == "failure") {
        const std::wstring path = dir.Join(L"missing.docx");
        const PathList files{path};
        const PathList folders;
        CDeleteItemDlg dlg(&files, &folders, FALSE);
        dlg.m_settings.m_deleteMethod = 1;
        g_target = [&] { return MessageBoxOf(dlg.m_hWnd); };
        g_end = [&] {
            if (HWND box = MessageBoxOf(dlg.m_hWnd))
                PressMessageBoxButton(box, IDOK);
        };
        dlg.DoModal();
        return g_reported ? 0 : 1;
    }
    if (state == "confirm-file" || state == "confirm-folder" || state == "confirm-drive" || state == "confirm-several" ||
        state == "confirm-open-error") {
        std::wstring path = dir.WriteFile(L"Holiday photographs from the summer.zip", 1000, 'a');
        BOOL folder = FALSE;
        UINT count = 1;
        BOOL freeSpace = FALSE;
        HANDLE held = INVALID_HANDLE_VALUE;
        if (state == "confirm-folder") {
            path = dir.MakeFolder(L"Tax returns");
            folder = TRUE;
        } else if (state == "confirm-drive") {
            path = L"C:\\";
            folder = TRUE;
            freeSpace = TRUE;
        } else if (state == "confirm-several") {
            path.clear();
            count = 12;
        } else if (state == "confirm-open-error") {
            held = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        }
        CConfirmDeletionDlg dlg(path.c_str(), folder, count, freeSpace);
        if (state == "confirm-open-error") {
            g_target = [&] { return MessageBoxOf(dlg.m_hWnd); };
            g_end = [&] {
                if (HWND box = MessageBoxOf(dlg.m_hWnd))
                    PressMessageBoxButton(box, IDOK);
            };
        } else {
            g_target = [&] { return dlg.m_hWnd; };
            g_end = [&] { dlg.EndDialog(IDCANCEL); };
        }
        dlg.DoModal();
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        return g_reported ? 0 : 1;
    }
    if (state == "confirm-recycle-bin") {
        CRecycleBinConfirmationDlg dlg;
        g_target = [&] { return dlg.m_hWnd; };
        g_end = [&] { dlg.EndDialog(IDCANCEL); };
        dlg.DoModal();
        return g_reported ? 0 : 1;
    }
    std::fprintf(stderr, "dialogs_showcase: unknown state %s\n", state.c_str());
    return 2;
}
