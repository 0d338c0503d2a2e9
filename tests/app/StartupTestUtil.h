#pragma once
// Runs the program's start-up in the test process: a CPellumarApp with a given command line, its windows
// the program's own (recorded on their way), and a watch on the test thread that answers the
// confirmation questions and presses OK on every message box, noting what it saw.
#include <windows.h>

#include <string>
#include <vector>

#include "DialogTestUtil.h"
#include "app/PellumarApp.h"
#include "app/StartupDialogs.h"

// The program's windows, each call recorded. Confirmations and progress dialogs are the real ones unless
// a result is given; the settings window is never run (its call is only recorded).
class RecordingDialogs : public CStartupDialogs {
public:
    struct Call {
        std::wstring m_what;         // "recycle-bin question", "question", "list job", "free-space job", "settings"
        std::wstring m_path;         // question: the single item; free-space job: the drive
        BOOL m_flag = FALSE;         // question: isFolder; list job: recycleBin; settings: startHidden
        UINT m_count = 0;            // question: count
        BOOL m_freeSpace = FALSE;    // question: freeSpace
        PathList m_files, m_folders; // list job: copies of the lists
        INT_PTR m_result = 0;
    };

    INT_PTR ConfirmRecycleBin() override;
    INT_PTR ConfirmDeletion(const CString& path, BOOL isFolder, UINT count, BOOL freeSpace) override;
    INT_PTR RunDeleteItems(const PathList* files, const PathList* folders, BOOL recycleBin) override;
    INT_PTR RunCleanFreeSpace(const CString& drive) override;
    void RunSettingsWindow(CWinApp* app, bool startHidden) override;

    // 0: run the real window; otherwise the result given without any window.
    INT_PTR m_questionResult = 0;
    INT_PTR m_jobResult = 0;
    std::vector<Call> m_calls;
};

// A message box (or any dialog window the watch pressed) as seen.
struct SeenBox {
    std::wstring m_caption;
    std::wstring m_text;
    bool m_hasIcon = false;
};

// Watches the test thread's windows from a timer while it lives: answers a visible confirmation question
// ("Delete File", "Empty Recycle Bin") with m_answer, and presses OK on every other visible dialog-class
// window that is no progress dialog (the message boxes), recording each.
class StartupWatch {
public:
    explicit StartupWatch(int answer = IDOK);
    ~StartupWatch();
    StartupWatch(const StartupWatch&) = delete;
    StartupWatch& operator=(const StartupWatch&) = delete;

    int m_answer;
    std::vector<std::wstring> m_questions;   // titles of the questions answered
    std::vector<SeenBox> m_boxes;

private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD);
    void Tick();
    UINT_PTR m_timer = 0;
    std::vector<HWND> m_handled;
};

// Runs InitInstance of a fresh application object on commandLine with the given windows; closes the
// mutex it took (so that the next run starts clean) and tells whether it took one.
struct StartupRun {
    BOOL m_result = TRUE;
    bool m_tookMutex = false;
};
StartupRun RunStartup(const std::wstring& commandLine, RecordingDialogs& dialogs);

// The string-table text of id, as the program's resources hold it.
std::wstring ResourceText(UINT id);

// Whether a named mutex exists.
bool MutexExists(const wchar_t* name);

// A new named mapping holding bytes (at least one page); closed when the object goes.
class RequestMapping {
public:
    explicit RequestMapping(const std::vector<uint8_t>& bytes);
    ~RequestMapping();
    RequestMapping(const RequestMapping&) = delete;
    RequestMapping& operator=(const RequestMapping&) = delete;
    const std::wstring& Name() const { return m_name; }
    uint8_t Acknowledge() const { return m_view ? m_view[0] : 0xFF; }

private:
    std::wstring m_name;
    HANDLE m_mapping = nullptr;
    uint8_t* m_view = nullptr;
};
