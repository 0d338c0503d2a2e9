// Real processes: the stand-in request writer starts the real Pellumar.exe on a request, and the test
// answers the program's windows from outside as a user would: a request that shreds files, a second
// request while the first one runs (box 135), a request that names a bad path (box 110, nothing touched).
#include <windows.h>

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <functional>
#include <string>
#include <vector>

#include "TestText.h"
#include "TempDir.h"
#include "app/PellumarApp.h"
#include "app/res/resource.h"
#include "framework/CString.h"

namespace {

const std::wstring kWriter = WinePath(REQUEST_WRITER_EXE);
const std::wstring kProgram = WinePath(PELLUMAR_EXE);

struct Writer {
    PROCESS_INFORMATION m_process{};

    // output: where the writer's standard output goes (an inheritable handle), or none.
    explicit Writer(const std::vector<std::wstring>& args, HANDLE output = nullptr)
    {
        std::wstring commandLine = L"\"" + kWriter + L"\" --program \"" + kProgram + L"\" --timeout 60";
        for (const std::wstring& arg : args)
            commandLine += L" \"" + arg + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        if (output) {
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdOutput = output;
            startup.hStdError = output;
        }
        if (!CreateProcessW(kWriter.c_str(), commandLine.data(), nullptr, nullptr, output ? TRUE : FALSE, 0, nullptr,
                            nullptr, &startup, &m_process))
            ADD_FAILURE() << "cannot start the request writer: " << GetLastError();
    }
    ~Writer()
    {
        if (m_process.hProcess) {
            if (WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT)
                TerminateProcess(m_process.hProcess, 99);
            CloseHandle(m_process.hProcess);
            CloseHandle(m_process.hThread);
        }
    }
    // The writer's exit code, or 0xFFFFFFFF when it did not end in time.
    DWORD Wait(DWORD ms = 60000) const
    {
        DWORD code = 0xFFFFFFFF;
        if (m_process.hProcess && WaitForSingleObject(m_process.hProcess, ms) == WAIT_OBJECT_0)
            GetExitCodeProcess(m_process.hProcess, &code);
        return code;
    }
};

// The Pellumar.exe processes a writer started.
std::vector<DWORD> ProgramsOf(const Writer& writer)
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, L"Pellumar.exe") == 0 && entry.th32ParentProcessID == writer.m_process.dwProcessId)
            ids.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return ids;
}

// A visible dialog window of one process, with the texts of its static controls.
struct ProgramWindow {
    HWND m_hWnd = nullptr;
    std::wstring m_caption;
    std::wstring m_text;
};

std::vector<ProgramWindow> WindowsOf(DWORD processId)
{
    struct Search {
        DWORD m_processId;
        std::vector<ProgramWindow> m_found;
    } search{processId, {}};
    EnumWindows([](HWND window, LPARAM context) -> BOOL {
        auto* s = reinterpret_cast<Search*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t text[512] = {};
        GetClassNameW(window, text, 512);
        if (owner != s->m_processId || wcscmp(text, L"#32770") != 0 || !IsWindowVisible(window))
            return TRUE;
        ProgramWindow found;
        found.m_hWnd = window;
        GetWindowTextW(window, text, 512);
        found.m_caption = text;
        for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            GetClassNameW(child, text, 512);
            if (_wcsicmp(text, L"Static") != 0)
                continue;
            text[0] = 0;
            GetWindowTextW(child, text, 512);
            if (text[0])
                found.m_text += found.m_text.empty() ? std::wstring(text) : L"\n" + std::wstring(text);
        }
        s->m_found.push_back(found);
        return TRUE;
    }, reinterpret_cast<LPARAM>(&search));
    return search.m_found;
}

// Waits up to ms for a window of a program that writer started whose caption is caption.
bool WaitForWindow(const Writer& writer, const std::wstring& caption, ProgramWindow& found, DWORD& programId,
                   DWORD ms = 30000)
{
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < ms) {
        for (DWORD id : ProgramsOf(writer)) {
            for (const ProgramWindow& window : WindowsOf(id)) {
                if (window.m_caption == caption) {
                    found = window;
                    programId = id;
                    return true;
                }
            }
        }
        Sleep(50);
    }
    return false;
}

void Press(const ProgramWindow& window, int id)
{
    PostMessageW(window.m_hWnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window.m_hWnd, id)));
}

bool WaitForProcessEnd(DWORD processId, DWORD ms = 30000)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (!process)
        return true;
    const bool ended = WaitForSingleObject(process, ms) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

std::wstring Text(UINT id)
{
    CString text;
    text.LoadString(id);
    return text.Str();
}

bool MutexExists(const wchar_t* name)
{
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name);
    if (mutex)
        CloseHandle(mutex);
    return mutex != nullptr;
}

}

TEST(RequestProcess, WriterStartsTheProgramAndTheRequestIsShredded)
{
    TempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::wstring a = dir.WriteFile(L"a.txt", 4096, 'a');
    const std::wstring b = dir.WriteFile(L"b.txt", 10, 'b');
    const std::wstring folder = dir.MakeFolder(L"folder");
    const std::wstring inside = dir.WriteFile(L"folder\\c.txt", 100, 'c');
    const std::wstring kept = dir.WriteFile(L"kept.txt", 10, 'k');

    Writer writer({L"--wait", L"--answer", L"ok", L"--pad", L"6", L"--file", a, L"--file", b, L"--folder", folder});
    EXPECT_EQ(0u, writer.Wait());
    for (const std::wstring& gone : {a, b, inside})
        EXPECT_FALSE(TempDir::FileExists(gone));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(folder.c_str()));
    EXPECT_EQ(10u, TempDir::FileSize(kept));
    EXPECT_FALSE(MutexExists(kRequestMutexName)) << "the mutex goes with the process";
}

TEST(RequestProcess, SecondRequestWhileOneRunsIsRefusedWith135)
{
    TempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::wstring first = dir.WriteFile(L"first.txt", 10, '1');
    const std::wstring second = dir.WriteFile(L"second.txt", 10, '2');

    // The first request waits in its question.
    Writer one({L"--file", first});
    EXPECT_EQ(0u, one.Wait()) << "acknowledged";
    ProgramWindow question;
    DWORD firstProgram = 0;
    ASSERT_TRUE(WaitForWindow(one, L"Delete File", question, firstProgram));

    Writer two({L"--wait", L"--file", second});
    ProgramWindow box;
    DWORD secondProgram = 0;
    ASSERT_TRUE(WaitForWindow(two, L"Pellumar", box, secondProgram));
    EXPECT_EQ(Text(IDS_ONE_INSTANCE_ONLY), box.m_text);
    Press(box, IDOK);
    EXPECT_EQ(0u, two.Wait()) << "acknowledged, then ended";
    EXPECT_TRUE(WaitForProcessEnd(secondProgram));

    // The first request runs on undisturbed: its question is still there.
    std::vector<ProgramWindow> windows = WindowsOf(firstProgram);
    ASSERT_EQ(1u, windows.size());
    EXPECT_EQ(L"Delete File", windows[0].m_caption);
    Press(windows[0], IDCANCEL);
    EXPECT_TRUE(WaitForProcessEnd(firstProgram));
    EXPECT_EQ(10u, TempDir::FileSize(first));
    EXPECT_EQ(10u, TempDir::FileSize(second));
}

TEST(RequestProcess, MalformedRequestShows110AndTouchesNothing)
{
    TempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::wstring file = dir.WriteFile(L"file.txt", 10, 'f');

    struct MalformedCase {
        const char* name;
        std::vector<std::wstring> args;
    };
    const MalformedCase cases[] = {
        // A good file, then a path that names the folder above the test folder.
        {"a path that walks up", {L"--file", file, L"--folder", dir.Path() + L"\\.."}},
        // A file count of 5 and nothing after it.
        {"raw bytes", {L"--raw", L"00 00 00 05 00 00 00"}},
    };
    for (const MalformedCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> args = c.args;
        args.insert(args.begin(), L"--wait");
        Writer writer(args);
        ProgramWindow box;
        DWORD program = 0;
        ASSERT_TRUE(WaitForWindow(writer, L"Pellumar", box, program));
        EXPECT_EQ(Text(IDS_SHARED_MEMORY_ERROR), box.m_text);
        EXPECT_FALSE(MutexExists(kRequestMutexName)) << "a refused request takes no mutex";
        Press(box, IDOK);
        EXPECT_EQ(0u, writer.Wait()) << "acknowledged, then ended";
        EXPECT_TRUE(WaitForProcessEnd(program));
        EXPECT_EQ(10u, TempDir::FileSize(file));
    }
}

TEST(RequestProcess, WriterWantsAFreshMappingAndANameTheProgramTakes)
{
    TempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::wstring file = dir.WriteFile(L"file.txt", 10, 'f');

    // A mapping of that name exists already: it is someone else's request, left alone.
    const std::wstring name = L"PellumarTaken-" + std::to_wstring(GetCurrentProcessId());
    HANDLE taken = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
    ASSERT_TRUE(taken);
    auto* view = static_cast<uint8_t*>(MapViewOfFile(taken, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_TRUE(view);
    view[1] = 0x5A;
    {
        Writer writer({L"--name", name, L"--file", file});
        EXPECT_EQ(2u, writer.Wait());
        EXPECT_TRUE(ProgramsOf(writer).empty()) << "the program is not started";
    }
    EXPECT_EQ(0, view[0]);
    EXPECT_EQ(0x5A, view[1]);
    UnmapViewOfFile(view);
    CloseHandle(taken);

    for (const wchar_t* other : {L"-MINIMIZED", L"/restart", L"two words"}) {
        Writer writer({L"--name", other, L"--file", file});
        EXPECT_EQ(2u, writer.Wait());
    }
    EXPECT_EQ(10u, TempDir::FileSize(file));
}

TEST(RequestProcess, WriterAnswersEveryMessageBoxWithItsOnlyButtonAndPrintsIt)
{
    TempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::wstring file = dir.WriteFile(L"file.txt", 10, 'f');
    const std::wstring log = dir.Join(L"writer.txt");
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE output = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, output);

    // A refused request: box 110, which nobody but the writer answers.
    DWORD code = 0xFFFFFFFF;
    {
        Writer writer({L"--wait", L"--answer-boxes", L"--file", file, L"--folder", dir.Path() + L"\\.."}, output);
        code = writer.Wait();
    }
    CloseHandle(output);
    EXPECT_EQ(0u, code) << "acknowledged, the box answered, then ended";
    const std::vector<uint8_t> bytes = TempDir::ReadFile(log);
    const std::string printed(bytes.begin(), bytes.end());
    const std::wstring wide = Text(IDS_SHARED_MEMORY_ERROR);
    const std::string expected(wide.begin(), wide.end());
    EXPECT_NE(std::string::npos, printed.find("message box \"Pellumar\": " + expected)) << printed;
    EXPECT_EQ(10u, TempDir::FileSize(file));
}
