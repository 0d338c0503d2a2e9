#include "StandIn.h"

#include <cstdio>

std::wstring TestBinaryFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\'));
}

StandIn::StandIn(const wchar_t* fileName, Kind kind)
    : m_folder(std::make_unique<TempDir>(L"standin"))
{
    if (!m_folder->IsValid())
        return;
    m_path = m_folder->Join(fileName);
    // Under the load of a full parallel run a start now and then comes to nothing (the copy or the new
    // process fails before it is ready); what the tests look at begins once it runs, so try again.
    for (int attempt = 0; attempt < 3 && !m_started; ++attempt) {
        if (m_process) {
            TerminateProcess(m_process, 1);
            WaitForSingleObject(m_process, 5000);
            CloseHandle(m_process);
            m_process = nullptr;
            m_processId = 0;
        }
        m_started = Start(kind);
        if (!m_started)
            std::fwprintf(stderr, L"stand-in %ls did not start (attempt %d, error %lu)\n", fileName, attempt + 1,
                          GetLastError());
    }
}

bool StandIn::Start(Kind kind)
{
    if (!CopyFileW((TestBinaryFolder() + L"\\installer_stand_in.exe").c_str(), m_path.c_str(), FALSE))
        return false;
    static LONG s_count = 0;
    wchar_t eventName[64];
    _snwprintf(eventName, 64, L"PellumarStandInReady-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&s_count));
    eventName[63] = L'\0';
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, eventName);
    if (!ready)
        return false;
    std::wstring commandLine = L"\"" + m_path + L"\" " + (kind == kWindow ? L"-window " : L"-deaf ") + eventName;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    bool started = false;
    if (CreateProcessW(m_path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                       nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        m_process = info.hProcess;
        m_processId = info.dwProcessId;
        const HANDLE waits[] = {ready, m_process};
        started = WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0;
    }
    CloseHandle(ready);
    return started;
}

StandIn::~StandIn()
{
    if (m_process) {
        if (WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_process, 1);
            WaitForSingleObject(m_process, 5000);
        }
        CloseHandle(m_process);
    }
    // Wine refuses to delete a program's image while it is still mapped, which an ended process may keep
    // for a moment: the copy and its folder would stay behind in the prefix's temporary folder.
    if (m_folder && m_folder->IsValid()) {
        for (int attempt = 0; attempt < 100 && !TempDir::RemoveTree(m_folder->Path()); ++attempt)
            SleepEx(50, FALSE);
        if (GetFileAttributesW(m_folder->Path().c_str()) != INVALID_FILE_ATTRIBUTES)
            std::fwprintf(stderr, L"stand-in folder %ls could not be removed (error %lu)\n", m_folder->Path().c_str(),
                          GetLastError());
    }
}

bool StandIn::WaitForEnd(DWORD ms) const
{
    return m_process && WaitForSingleObject(m_process, ms) == WAIT_OBJECT_0;
}

DWORD StandIn::ExitCode() const
{
    DWORD code = 0;
    if (!m_process || !GetExitCodeProcess(m_process, &code))
        return 0xDEADu;
    return code;
}
