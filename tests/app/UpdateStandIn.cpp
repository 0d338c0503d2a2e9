// A stand-in for an update installer: a small program whose version resource names the version it
// would install (UpdateStandIn.rc). The tests sign it; started with nothing in its environment it ends at
// once. A test that starts it for real sets PELLUMAR_STANDIN_REPORT and PELLUMAR_STANDIN_EVENTS:
//   PELLUMAR_STANDIN_REPORT  a file the stand-in writes the bytes into that it reads from its own file
//                            (by the path it was started by, as an installer reads its package)
//   PELLUMAR_STANDIN_EVENTS  a name N: it sets the event "N-read" once the report is written, then waits
//                            for the event "N-go" (at most a minute) before it ends
#include <windows.h>

#include <string>

namespace {

std::wstring Environment(const wchar_t* name)
{
    wchar_t value[1024] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? std::wstring(value) : std::wstring();
}

std::string ReadOwnFile()
{
    wchar_t self[1024] = {};
    std::string bytes;
    const DWORD length = ::GetModuleFileNameW(nullptr, self, 1024);
    if (length == 0 || length >= 1024)
        return bytes;
    HANDLE file = ::CreateFileW(self, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    ::CloseHandle(file);
    return bytes;
}

// Written under another name and renamed, so a reader never sees half a report.
void WriteReport(const std::wstring& path, const std::string& bytes)
{
    const std::wstring part = path + L".part";
    HANDLE file = ::CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    const bool whole = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                       written == bytes.size();
    ::CloseHandle(file);
    if (whole)
        ::MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}

int main()
{
    const std::wstring report = Environment(L"PELLUMAR_STANDIN_REPORT");
    const std::wstring events = Environment(L"PELLUMAR_STANDIN_EVENTS");
    if (!report.empty())
        WriteReport(report, ReadOwnFile());
    if (!events.empty()) {
        if (HANDLE read = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, (events + L"-read").c_str())) {
            ::SetEvent(read);
            ::CloseHandle(read);
        }
        if (HANDLE go = ::OpenEventW(SYNCHRONIZE, FALSE, (events + L"-go").c_str())) {
            ::WaitForSingleObject(go, 60000);
            ::CloseHandle(go);
        }
    }
    return 0;
}
