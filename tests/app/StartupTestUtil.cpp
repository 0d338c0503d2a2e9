#include "StartupTestUtil.h"

#include <algorithm>

INT_PTR RecordingDialogs::ConfirmRecycleBin()
{
    Call call;
    call.m_what = L"recycle-bin question";
    call.m_result = m_questionResult ? m_questionResult : CStartupDialogs::ConfirmRecycleBin();
    m_calls.push_back(call);
    return call.m_result;
}

INT_PTR RecordingDialogs::ConfirmDeletion(const CString& path, BOOL isFolder, UINT count, BOOL freeSpace)
{
    Call call;
    call.m_what = L"question";
    call.m_path = path.Str();
    call.m_flag = isFolder;
    call.m_count = count;
    call.m_freeSpace = freeSpace;
    call.m_result = m_questionResult ? m_questionResult : CStartupDialogs::ConfirmDeletion(path, isFolder, count, freeSpace);
    m_calls.push_back(call);
    return call.m_result;
}

INT_PTR RecordingDialogs::RunDeleteItems(const PathList* files, const PathList* folders, BOOL recycleBin)
{
    Call call;
    call.m_what = L"list job";
    call.m_flag = recycleBin;
    call.m_files = *files;
    call.m_folders = *folders;
    call.m_result = m_jobResult ? m_jobResult : CStartupDialogs::RunDeleteItems(files, folders, recycleBin);
    m_calls.push_back(call);
    return call.m_result;
}

INT_PTR RecordingDialogs::RunCleanFreeSpace(const CString& drive)
{
    Call call;
    call.m_what = L"free-space job";
    call.m_path = drive.Str();
    call.m_result = m_jobResult ? m_jobResult : CStartupDialogs::RunCleanFreeSpace(drive);
    m_calls.push_back(call);
    return call.m_result;
}

void RecordingDialogs::RunSettingsWindow(CWinApp*, bool startHidden)
{
    Call call;
    call.m_what = L"settings";
    call.m_flag = startHidden ? TRUE : FALSE;
    m_calls.push_back(call);
}

namespace {
StartupWatch* g_watch = nullptr;

bool IsQuestion(const std::wstring& caption)
{
    return caption == L"Delete File" || caption == L"Empty Recycle Bin";
}

bool IsProgressDialog(const std::wstring& caption)
{
    return caption == L"Delete" || caption.rfind(L"Preparing", 0) == 0 || caption.rfind(L"Deleting", 0) == 0;
}
}

StartupWatch::StartupWatch(int answer) : m_answer(answer)
{
    g_watch = this;
    m_timer = SetTimer(nullptr, 0, 20, &OnTimer);
}

StartupWatch::~StartupWatch()
{
    KillTimer(nullptr, m_timer);
    if (g_watch == this)
        g_watch = nullptr;
}

void CALLBACK StartupWatch::OnTimer(HWND, UINT, UINT_PTR, DWORD)
{
    if (g_watch)
        g_watch->Tick();
}

void StartupWatch::Tick()
{
    for (const ThreadMessageBox& box : FindThreadMessageBoxes()) {
        if (std::find(m_handled.begin(), m_handled.end(), box.hWnd) != m_handled.end())
            continue;
        if (IsProgressDialog(box.caption))
            continue;
        m_handled.push_back(box.hWnd);
        if (IsQuestion(box.caption)) {
            m_questions.push_back(box.caption);
            PostMessageW(box.hWnd, WM_COMMAND, MAKEWPARAM(m_answer, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box.hWnd, m_answer)));
            continue;
        }
        m_boxes.push_back({box.caption, box.text, box.hasIcon});
        PressMessageBoxButton(box.hWnd, IDOK);
    }
}

StartupRun RunStartup(const std::wstring& commandLine, RecordingDialogs& dialogs)
{
    StartupRun run;
    std::wstring text(commandLine);
    CPellumarApp app;
    app.m_dialogs = &dialogs;
    app.m_lpCmdLine = text.data();
    run.m_result = app.InitInstance();
    run.m_tookMutex = app.m_hInstanceMutex != nullptr;
    if (app.m_hInstanceMutex)
        CloseHandle(app.m_hInstanceMutex);
    return run;
}

std::wstring ResourceText(UINT id)
{
    CString text;
    text.LoadString(id);
    return text.Str();
}

bool MutexExists(const wchar_t* name)
{
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name);
    if (!mutex)
        return false;
    CloseHandle(mutex);
    return true;
}

RequestMapping::RequestMapping(const std::vector<uint8_t>& bytes)
{
    static int serial = 0;
    m_name = L"PellumarStartupTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
    const DWORD size = static_cast<DWORD>(std::max<size_t>(bytes.size(), 4096));
    m_mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, m_name.c_str());
    if (m_mapping)
        m_view = static_cast<uint8_t*>(MapViewOfFile(m_mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (m_view)
        std::copy(bytes.begin(), bytes.end(), m_view);
}

RequestMapping::~RequestMapping()
{
    if (m_view)
        UnmapViewOfFile(m_view);
    if (m_mapping)
        CloseHandle(m_mapping);
}
