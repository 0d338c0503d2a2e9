// The stand-in request writer: puts one shredding request in a fresh named mapping, starts Pellumar.exe
// with the mapping's name as its whole command line, and waits for the acknowledge byte or the program's
// end, and reports which. It prints the text of every message box the program shows.
//
//   RequestWriter [--program PATH] [--name NAME] [--recycle-bin] [--free-space] [--pad N]
//                 [--file PATH]... [--folder PATH]... [--raw HEX] [--wait] [--answer ok|cancel]
//                 [--answer-boxes] [--timeout SECONDS]
//
//   --program  the program to start (default: Pellumar.exe beside this tool)
//   --name     the mapping's name (default: a new one of this process)
//   --pad      bytes of padding after every path (the records' advances cover them)
//   --raw      the request's bytes as hexadecimal digits, instead of an encoded request
//   --wait     after the acknowledge, wait for the program's end as well
//   --answer   press OK or Cancel in the program's confirmation question when it shows
//   --answer-boxes  press the only button of every message box the program shows (for a display that
//              nobody sees)
//   --timeout  give up after this many seconds (default 120; 0 waits for ever)
//
// Exit code: 0 acknowledged (with --wait: and the program ended), 1 the program ended without
// acknowledging, 2 bad arguments or the mapping or the program could not be made, 3 timed out. Each
// message box of the program is printed as a line that begins with "message box".
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "RequestEncoder.h"

namespace {

struct Options {
    std::wstring m_program;
    std::wstring m_name;
    RequestImage m_image;
    bool m_raw = false;
    std::vector<uint8_t> m_rawBytes;
    bool m_wait = false;
    int m_answer = 0;   // IDOK, IDCANCEL or 0
    bool m_answerBoxes = false;
    DWORD m_timeoutMs = 120000;
};

int Usage(const wchar_t* problem)
{
    fwprintf(stderr, L"RequestWriter: %ls\n", problem);
    fwprintf(stderr, L"usage: RequestWriter [--program PATH] [--name NAME] [--recycle-bin] [--free-space] [--pad N]\n"
                     L"                     [--file PATH]... [--folder PATH]... [--raw HEX] [--wait]\n"
                     L"                     [--answer ok|cancel] [--answer-boxes] [--timeout SECONDS]\n");
    return 2;
}

bool ParseHex(const std::wstring& text, std::vector<uint8_t>& bytes)
{
    std::wstring digits;
    for (wchar_t c : text) {
        if (iswxdigit(c))
            digits += c;
        else if (!iswspace(c))
            return false;
    }
    if (digits.size() % 2)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(wcstoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    return true;
}

std::wstring BesideThisTool(const wchar_t* name)
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    return path.substr(0, path.rfind(L'\\') + 1) + name;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options, std::wstring& problem)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        auto value = [&](std::wstring& out) {
            if (i + 1 >= argc) {
                problem = arg + L" needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::wstring text;
        if (arg == L"--program") {
            if (!value(options.m_program))
                return false;
        } else if (arg == L"--name") {
            if (!value(options.m_name))
                return false;
        } else if (arg == L"--recycle-bin") {
            options.m_image.m_recycleBin = true;
        } else if (arg == L"--free-space") {
            options.m_image.m_freeSpace = true;
        } else if (arg == L"--pad") {
            if (!value(text))
                return false;
            options.m_image.m_padding = static_cast<uint32_t>(wcstoul(text.c_str(), nullptr, 10));
        } else if (arg == L"--file") {
            if (!value(text))
                return false;
            options.m_image.m_files.push_back(text);
        } else if (arg == L"--folder") {
            if (!value(text))
                return false;
            options.m_image.m_folders.push_back(text);
        } else if (arg == L"--raw") {
            if (!value(text))
                return false;
            if (!ParseHex(text, options.m_rawBytes) || options.m_rawBytes.empty()) {
                problem = L"--raw takes an even number of hexadecimal digits";
                return false;
            }
            options.m_raw = true;
        } else if (arg == L"--wait") {
            options.m_wait = true;
        } else if (arg == L"--answer") {
            if (!value(text))
                return false;
            if (text == L"ok") {
                options.m_answer = IDOK;
            } else if (text == L"cancel") {
                options.m_answer = IDCANCEL;
            } else {
                problem = L"--answer takes ok or cancel";
                return false;
            }
        } else if (arg == L"--answer-boxes") {
            options.m_answerBoxes = true;
        } else if (arg == L"--timeout") {
            if (!value(text))
                return false;
            options.m_timeoutMs = static_cast<DWORD>(wcstoul(text.c_str(), nullptr, 10) * 1000);
        } else {
            problem = L"unknown argument " + arg;
            return false;
        }
    }
    // The program takes its whole command line for the name, except these, which choose its other modes.
    if (!options.m_name.empty() &&
        (_wcsicmp(options.m_name.c_str(), L"-minimized") == 0 || _wcsicmp(options.m_name.c_str(), L"/restart") == 0 ||
         options.m_name.find_first_of(L" \t\"") != std::wstring::npos)) {
        problem = L"the program cannot take " + options.m_name + L" as a request's name";
        return false;
    }
    if (options.m_program.empty())
        options.m_program = BesideThisTool(L"Pellumar.exe");
    if (options.m_name.empty())
        options.m_name = L"PellumarRequest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                         std::to_wstring(GetTickCount64());
    return true;
}

std::wstring WindowText(HWND window)
{
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

// Whether window is a visible dialog of the program's process.
bool IsProgramDialog(HWND window, DWORD programId)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != programId || !IsWindowVisible(window))
        return false;
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    return wcscmp(className, L"#32770") == 0;
}

// The titles of the program's two confirmation questions.
bool IsQuestionTitle(const std::wstring& title)
{
    return title == L"Delete File" || title == L"Empty Recycle Bin";
}

// The program's confirmation question: a dialog of its process titled as one of the two questions.
struct AnswerSearch {
    DWORD m_processId;
    HWND m_found = nullptr;
};

BOOL CALLBACK FindQuestion(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<AnswerSearch*>(context);
    if (IsProgramDialog(window, search->m_processId) && IsQuestionTitle(WindowText(window))) {
        search->m_found = window;
        return FALSE;
    }
    return TRUE;
}

// The program's message boxes: its visible dialogs that hold a message text (the static control a message
// box gives the identifier 0xFFFF) and buttons only of the box's own kind, and that are neither question.
struct BoxSearch {
    DWORD m_processId;
    std::vector<HWND> m_found;
};

BOOL CALLBACK CountButton(HWND child, LPARAM context)
{
    wchar_t className[16] = {};
    GetClassNameW(child, className, 16);
    if (_wcsicmp(className, L"Button") == 0 && IsWindowVisible(child))
        reinterpret_cast<std::vector<HWND>*>(context)->push_back(child);
    return TRUE;
}

std::vector<HWND> ButtonsOf(HWND window)
{
    std::vector<HWND> buttons;
    EnumChildWindows(window, &CountButton, reinterpret_cast<LPARAM>(&buttons));
    return buttons;
}

BOOL CALLBACK FindBox(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<BoxSearch*>(context);
    if (!IsProgramDialog(window, search->m_processId) || IsQuestionTitle(WindowText(window)))
        return TRUE;
    HWND text = GetDlgItem(window, 0xFFFF);
    wchar_t textClass[16] = {};
    if (!text || !GetClassNameW(text, textClass, 16) || _wcsicmp(textClass, L"Static") != 0)
        return TRUE;
    // The progress dialog has labels too, but a message box holds nothing but labels and buttons.
    bool plain = true;
    EnumChildWindows(window, [](HWND child, LPARAM context) -> BOOL {
        wchar_t name[32] = {};
        GetClassNameW(child, name, 32);
        if (_wcsicmp(name, L"Static") != 0 && _wcsicmp(name, L"Button") != 0)
            *reinterpret_cast<bool*>(context) = false;
        return TRUE;
    }, reinterpret_cast<LPARAM>(&plain));
    if (!plain || ButtonsOf(window).empty())
        return TRUE;
    search->m_found.push_back(window);
    return TRUE;
}

// Prints each message box of the program once (seen holds those already printed); with answer, presses
// the only button of a box that has one.
void HandleMessageBoxes(DWORD processId, bool answer, std::vector<HWND>& seen)
{
    BoxSearch search{processId, {}};
    EnumWindows(&FindBox, reinterpret_cast<LPARAM>(&search));
    for (HWND box : search.m_found) {
        bool known = false;
        for (HWND old : seen)
            known = known || old == box;
        if (!known) {
            seen.push_back(box);
            wprintf(L"message box \"%ls\": %ls\n", WindowText(box).c_str(), WindowText(GetDlgItem(box, 0xFFFF)).c_str());
            fflush(stdout);
        }
        const std::vector<HWND> buttons = ButtonsOf(box);
        if (answer && buttons.size() == 1) {
            const int id = GetDlgCtrlID(buttons[0]);
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(buttons[0]));
        }
    }
}

bool AnswerQuestion(DWORD processId, int answer)
{
    AnswerSearch search{processId};
    EnumWindows(&FindQuestion, reinterpret_cast<LPARAM>(&search));
    if (!search.m_found)
        return false;
    HWND button = GetDlgItem(search.m_found, answer);
    PostMessageW(search.m_found, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return true;
}

}

int wmain(int argc, wchar_t** argv)
{
    Options options;
    std::wstring problem;
    if (!ParseOptions(argc, argv, options, problem))
        return Usage(problem.c_str());

    const std::vector<uint8_t> bytes = options.m_raw ? options.m_rawBytes : EncodeShellRequest(options.m_image);
    // A fresh mapping: a name that already exists belongs to someone else's request.
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(bytes.size()), options.m_name.c_str());
    if (!mapping || GetLastError() == ERROR_ALREADY_EXISTS) {
        fwprintf(stderr, L"RequestWriter: cannot make a new mapping %ls (%lu)\n", options.m_name.c_str(),
                 mapping ? ERROR_ALREADY_EXISTS : GetLastError());
        if (mapping)
            CloseHandle(mapping);
        return 2;
    }
    auto* view = static_cast<volatile uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view) {
        fwprintf(stderr, L"RequestWriter: cannot map the request (%lu)\n", GetLastError());
        CloseHandle(mapping);
        return 2;
    }
    for (size_t i = 0; i < bytes.size(); ++i)
        view[i] = bytes[i];
    view[0] = 0;

    std::wstring commandLine = L"\"" + options.m_program + L"\" " + options.m_name;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(options.m_program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        fwprintf(stderr, L"RequestWriter: cannot start %ls (%lu)\n", options.m_program.c_str(), GetLastError());
        UnmapViewOfFile(const_cast<uint8_t*>(view));
        CloseHandle(mapping);
        return 2;
    }
    CloseHandle(process.hThread);

    const ULONGLONG started = GetTickCount64();
    auto timedOut = [&] { return options.m_timeoutMs && GetTickCount64() - started > options.m_timeoutMs; };
    int result = 3;
    bool acknowledged = false, answered = options.m_answer == 0;
    std::vector<HWND> boxes;
    DWORD exitCode = 0;
    while (!timedOut()) {
        if (!acknowledged && view[0] == 1) {
            acknowledged = true;
            wprintf(L"acknowledged\n");
            fflush(stdout);
            // The program has its own copy now; the mapping is no longer needed.
            UnmapViewOfFile(const_cast<uint8_t*>(view));
            CloseHandle(mapping);
            mapping = nullptr;
            if (!options.m_wait && answered) {
                result = 0;
                break;
            }
        }
        if (acknowledged && !answered)
            answered = AnswerQuestion(process.dwProcessId, options.m_answer);
        HandleMessageBoxes(process.dwProcessId, options.m_answerBoxes, boxes);
        if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process.hProcess, &exitCode);
            if (!acknowledged && view[0] == 1) {
                acknowledged = true;
                wprintf(L"acknowledged\n");
            }
            if (acknowledged) {
                wprintf(L"ended (exit code %lu)\n", exitCode);
                result = 0;
            } else {
                wprintf(L"ended without acknowledging (exit code %lu)\n", exitCode);
                result = 1;
            }
            break;
        }
        if (acknowledged && answered && !options.m_wait) {
            result = 0;
            break;
        }
    }
    if (result == 3)
        wprintf(L"timed out (%ls)\n", acknowledged ? L"acknowledged, the program still runs" : L"not acknowledged");
    if (mapping) {
        UnmapViewOfFile(const_cast<uint8_t*>(view));
        CloseHandle(mapping);
    }
    CloseHandle(process.hProcess);
    return result;
}
