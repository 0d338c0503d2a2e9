// Start-up in the test process: every message box, the list road through the real confirmation and
// progress dialogs, the free-space question, the settings mode and its hand-over to a running window, and
// the dialog-font hook.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <commctrl.h>

#include <atomic>
#include <thread>

#include "DialogTestUtil.h"
#include "ImportPatch.h"
#include "RequestEncoder.h"
#include "StartupTestUtil.h"
#include "TempDir.h"
#include "app/FontOccManager.h"
#include "app/RegisteredMessages.h"
#include "app/res/resource.h"
#include "framework/DialogTemplate.h"
#include "libcommon/ProductNames.h"

namespace {

std::vector<uint8_t> ListRequest(const PathList& files, const PathList& folders, bool freeSpace = false)
{
    RequestImage image;
    image.m_files = files;
    image.m_folders = folders;
    image.m_freeSpace = freeSpace;
    return EncodeShellRequest(image);
}

// The caption of the program's message boxes: the executable's base name.
std::wstring ProgramTitle()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path);
    name = name.substr(name.rfind(L'\\') + 1);
    return name.substr(0, name.rfind(L'.'));
}

class Startup : public testing::Test {
protected:
    void TearDown() override { CancelScheduledActions(); }
};

// Windows sockets cannot be made to fail under Wine: the fake stands in for a system without them.
int WSAAPI FailingStartup(WORD, LPWSADATA)
{
    return WSASYSNOTREADY;
}

}

TEST_F(Startup, RefusalsShowTheirBoxAndTakeNoMutex)
{
    TempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::wstring kept = dir.WriteFile(L"kept.txt", 100, 'k');

    struct RefusalCase {
        const char* name;
        std::vector<uint8_t> bytes;   // the request; empty: no mapping of that name exists
        UINT box;
        bool hasIcon;
    };
    const RefusalCase cases[] = {
        {"no such mapping", {}, IDS_SHARED_MEMORY_ERROR, false},
        {"malformed request", {0, 0, 0, 5, 0, 0, 0}, IDS_SHARED_MEMORY_ERROR, false},
        {"relative path", ListRequest({L"kept.txt"}, {}), IDS_SHARED_MEMORY_ERROR, false},
        {"one good path and one that walks up", ListRequest({kept, dir.Path() + L"\\.."}, {}), IDS_SHARED_MEMORY_ERROR,
         false},
        {"free space without a drive root", ListRequest({}, {dir.Path()}, true), IDS_SHARED_MEMORY_ERROR, false},
        {"two drive roots", ListRequest({kept}, {L"C:\\", L"Z:\\"}), IDS_MULTIPLE_DRIVES, true},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<RequestMapping> mapping;
        std::wstring name = L"PellumarStartupTest-missing";
        if (!c.bytes.empty()) {
            mapping = std::make_unique<RequestMapping>(c.bytes);
            name = mapping->Name();
        }
        RecordingDialogs dialogs;
        StartupWatch watch;
        const StartupRun run = RunStartup(name, dialogs);
        EXPECT_FALSE(run.m_result);
        EXPECT_FALSE(run.m_tookMutex);
        EXPECT_FALSE(MutexExists(kRequestMutexName));
        EXPECT_TRUE(dialogs.m_calls.empty()) << "nothing else shown";
        ASSERT_EQ(1u, watch.m_boxes.size());
        EXPECT_EQ(ResourceText(c.box), watch.m_boxes[0].m_text);
        EXPECT_EQ(ProgramTitle(), watch.m_boxes[0].m_caption);
        EXPECT_EQ(c.hasIcon, watch.m_boxes[0].m_hasIcon);
        if (mapping) {
            EXPECT_EQ(1, mapping->Acknowledge()) << "a refused request is still acknowledged";
        }
        EXPECT_EQ(100u, TempDir::FileSize(kept));
    }
}

TEST_F(Startup, SocketFailureShowsBox103BeforeAnything)
{
    RequestMapping mapping(ListRequest({L"C:\\x"}, {}));
    ImportPatch<decltype(::WSAStartup)> sockets("WSAStartup", &FailingStartup);
    ASSERT_TRUE(sockets.IsActive());
    RecordingDialogs dialogs;
    StartupWatch watch;
    const StartupRun run = RunStartup(mapping.Name(), dialogs);
    EXPECT_FALSE(run.m_result);
    EXPECT_FALSE(run.m_tookMutex);
    EXPECT_TRUE(dialogs.m_calls.empty());
    ASSERT_EQ(1u, watch.m_boxes.size());
    EXPECT_EQ(ResourceText(IDS_SOCKETS_INIT_FAILED), watch.m_boxes[0].m_text);
    EXPECT_FALSE(watch.m_boxes[0].m_hasIcon);
    EXPECT_EQ(0, mapping.Acknowledge()) << "the request is not even read";
}

TEST_F(Startup, SecondRequestIsReadThenRefusedWith135)
{
    HANDLE running = CreateMutexW(nullptr, FALSE, kRequestMutexName);
    ASSERT_TRUE(running);
    RequestMapping mapping(ListRequest({L"C:\\x"}, {}));
    RecordingDialogs dialogs;
    StartupWatch watch;
    const StartupRun run = RunStartup(mapping.Name(), dialogs);
    CloseHandle(running);
    EXPECT_FALSE(run.m_result);
    EXPECT_EQ(1, mapping.Acknowledge());
    EXPECT_TRUE(dialogs.m_calls.empty());
    ASSERT_EQ(1u, watch.m_boxes.size());
    EXPECT_EQ(ResourceText(IDS_ONE_INSTANCE_ONLY), watch.m_boxes[0].m_text);
    EXPECT_TRUE(watch.m_boxes[0].m_hasIcon);
}

TEST_F(Startup, EmptyRequestShowsNothing)
{
    RequestMapping mapping(ListRequest({}, {}));
    RecordingDialogs dialogs;
    StartupWatch watch;
    const StartupRun run = RunStartup(mapping.Name(), dialogs);
    EXPECT_FALSE(run.m_result);
    EXPECT_TRUE(run.m_tookMutex);
    EXPECT_EQ(1, mapping.Acknowledge());
    EXPECT_TRUE(dialogs.m_calls.empty());
    EXPECT_TRUE(watch.m_boxes.empty());
}

TEST_F(Startup, ListRoadShredsOnOkAndKeepsEverythingOnCancel)
{
    for (int answer : {IDOK, IDCANCEL}) {
        SCOPED_TRACE(answer == IDOK ? "OK" : "Cancel");
        TempDir dir;
        ASSERT_TRUE(dir.IsValid());
        const std::wstring a = dir.WriteFile(L"a.txt", 3000, 'a');
        const std::wstring b = dir.WriteFile(L"b.bin", 100, 'b');
        const std::wstring folder = dir.MakeFolder(L"folder");
        const std::wstring inside = dir.WriteFile(L"folder\\inside.txt", 10, 'i');
        const std::wstring other = dir.WriteFile(L"other.txt", 10, 'o');

        RequestMapping mapping(ListRequest({a, b}, {folder}));
        RecordingDialogs dialogs;
        StartupWatch watch(answer);
        const StartupRun run = RunStartup(mapping.Name(), dialogs);
        EXPECT_FALSE(run.m_result);
        EXPECT_TRUE(run.m_tookMutex);
        EXPECT_EQ(std::vector<std::wstring>{L"Delete File"}, watch.m_questions);
        EXPECT_TRUE(watch.m_boxes.empty());

        ASSERT_FALSE(dialogs.m_calls.empty());
        const RecordingDialogs::Call& question = dialogs.m_calls[0];
        EXPECT_EQ(L"question", question.m_what);
        EXPECT_EQ(L"", question.m_path) << "several items: no single item";
        EXPECT_EQ(3u, question.m_count);
        EXPECT_FALSE(question.m_freeSpace);
        EXPECT_EQ(answer, question.m_result);
        if (answer == IDOK) {
            ASSERT_EQ(2u, dialogs.m_calls.size());
            EXPECT_EQ(L"list job", dialogs.m_calls[1].m_what);
            EXPECT_FALSE(dialogs.m_calls[1].m_flag);
            EXPECT_EQ((PathList{a, b}), dialogs.m_calls[1].m_files);
            EXPECT_EQ(PathList{folder}, dialogs.m_calls[1].m_folders);
            EXPECT_EQ(IDOK, dialogs.m_calls[1].m_result);
            for (const std::wstring& gone : {a, b, inside})
                EXPECT_FALSE(TempDir::FileExists(gone));
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(folder.c_str()));
        } else {
            EXPECT_EQ(1u, dialogs.m_calls.size());
            EXPECT_EQ(3000u, TempDir::FileSize(a));
            EXPECT_EQ(10u, TempDir::FileSize(inside));
        }
        EXPECT_EQ(10u, TempDir::FileSize(other)) << "nothing the request did not name";
    }
}

TEST_F(Startup, SingleItemAndFreeSpaceReachTheQuestion)
{
    TempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::wstring file = dir.WriteFile(L"one.txt", 10, '1');
    const std::wstring folder = dir.MakeFolder(L"sub");

    struct QuestionCase {
        const char* name;
        std::vector<uint8_t> bytes;
        std::wstring path;
        BOOL isFolder;
        UINT count;
        BOOL freeSpace;
        const wchar_t* job;
        std::wstring jobPath;
    };
    const QuestionCase cases[] = {
        {"one file", ListRequest({file}, {}), file, FALSE, 1, FALSE, L"list job", L""},
        {"one folder", ListRequest({}, {folder}), folder, TRUE, 1, FALSE, L"list job", L""},
        {"a drive root without free space is a folder to shred", ListRequest({}, {L"C:\\"}), L"C:\\", TRUE, 1, FALSE,
         L"list job", L""},
        {"free space of a drive", ListRequest({}, {L"C:\\"}, true), L"C:\\", TRUE, 1, TRUE, L"free-space job",
         L"C:\\"},
    };
    for (const QuestionCase& c : cases) {
        SCOPED_TRACE(c.name);
        RequestMapping mapping(c.bytes);
        RecordingDialogs dialogs;
        // Neither window is run: only what reaches them is looked at (the drive must not be shredded).
        dialogs.m_questionResult = IDOK;
        dialogs.m_jobResult = IDOK;
        RunStartup(mapping.Name(), dialogs);
        ASSERT_EQ(2u, dialogs.m_calls.size());
        EXPECT_EQ(c.path, dialogs.m_calls[0].m_path);
        EXPECT_EQ(c.isFolder, dialogs.m_calls[0].m_flag);
        EXPECT_EQ(c.count, dialogs.m_calls[0].m_count);
        EXPECT_EQ(c.freeSpace, dialogs.m_calls[0].m_freeSpace);
        EXPECT_EQ(c.job, dialogs.m_calls[1].m_what);
        EXPECT_EQ(c.jobPath, dialogs.m_calls[1].m_path);
    }

    // The real question for a drive's free space, answered Cancel: no job.
    RequestMapping mapping(ListRequest({}, {L"C:\\"}, true));
    RecordingDialogs dialogs;
    StartupWatch watch(IDCANCEL);
    RunStartup(mapping.Name(), dialogs);
    ASSERT_EQ(1u, dialogs.m_calls.size());
    EXPECT_EQ(IDCANCEL, dialogs.m_calls[0].m_result);
    EXPECT_EQ(std::vector<std::wstring>{L"Delete File"}, watch.m_questions);
}

TEST_F(Startup, SettingsModeByCommandLine)
{
    struct ModeCase {
        const wchar_t* commandLine;
        BOOL hidden;
    };
    for (const ModeCase& c : {ModeCase{L"", FALSE}, ModeCase{L"-minimized", TRUE}, ModeCase{L"-MINIMIZED", TRUE},
                              ModeCase{L"/restart", TRUE}}) {
        SCOPED_TRACE(testing::Message() << "command line length " << wcslen(c.commandLine));
        RecordingDialogs dialogs;
        StartupWatch watch;
        const StartupRun run = RunStartup(c.commandLine, dialogs);
        EXPECT_FALSE(run.m_result);
        EXPECT_TRUE(run.m_tookMutex);
        ASSERT_EQ(1u, dialogs.m_calls.size());
        EXPECT_EQ(L"settings", dialogs.m_calls[0].m_what);
        EXPECT_EQ(c.hidden, dialogs.m_calls[0].m_flag);
        EXPECT_TRUE(watch.m_boxes.empty());
    }
}

namespace {

// A window of another thread standing in for a running settings window: a dialog titled with the
// product's title, hidden, counting the show messages it gets. A hung one stops answering as soon as it
// is up, until it goes or the hand-over's own limit has long passed (a start that waits on it then finds it
// answering).
class RunningWindow {
public:
    explicit RunningWindow(bool hung = false) : m_hung(hung), m_release(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        m_thread = std::thread([this] { Run(); });
        while (!m_ready)
            Sleep(5);
    }
    ~RunningWindow()
    {
        SetEvent(m_release);
        PostThreadMessageW(m_threadId, WM_QUIT, 0, 0);
        m_thread.join();
        CloseHandle(m_release);
    }
    // A hung window that has not yet answered anything.
    bool StillHung() const { return m_hung && !m_answering; }

    HWND m_dialog = nullptr;
    HWND m_decoy = nullptr;   // a plain window of the same title, which is not the settings window
    std::atomic<int> m_shown{0};
    std::atomic<int> m_decoyShown{0};

private:
    static LRESULT CALLBACK Subclass(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR data)
    {
        if (msg == g_uMsgShowMainWindow)
            ++*reinterpret_cast<std::atomic<int>*>(data);
        return DefSubclassProc(hWnd, msg, wParam, lParam);
    }

    void Run()
    {
        m_threadId = GetCurrentThreadId();
        m_decoy = CreateWindowExW(0, L"Static", kProductTitle, WS_POPUP, 0, 0, 50, 50, nullptr, nullptr, nullptr,
                                  nullptr);
        DialogTemplateBuilder builder(kProductTitle, 100, 40);
        m_dialog = CreatePlainDialog(builder.Get());
        SetWindowSubclass(m_dialog, &Subclass, 1, reinterpret_cast<DWORD_PTR>(&m_shown));
        SetWindowSubclass(m_decoy, &Subclass, 1, reinterpret_cast<DWORD_PTR>(&m_decoyShown));
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        m_ready = true;
        if (m_hung)
            WaitForSingleObject(m_release, kHandOverTimeoutMs + 10000);
        m_answering = true;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        DestroyWindow(m_dialog);
        DestroyWindow(m_decoy);
    }

    bool m_hung;
    HANDLE m_release;
    std::atomic<bool> m_answering{false};
    DWORD m_threadId = 0;
    std::atomic<bool> m_ready{false};
    std::thread m_thread;
};

}

TEST_F(Startup, SecondStartHandsOverToTheRunningSettingsWindow)
{
    HANDLE first = CreateMutexW(nullptr, FALSE, kSettingsWindowMutexName);
    ASSERT_TRUE(first);
    {
        RunningWindow running;
        ASSERT_FALSE(IsWindowVisible(running.m_dialog));
        for (const wchar_t* commandLine : {L"", L"-minimized"}) {
            RecordingDialogs dialogs;
            const int before = running.m_shown;
            RunStartup(commandLine, dialogs);
            EXPECT_TRUE(dialogs.m_calls.empty()) << "no second settings window";
            EXPECT_EQ(before + 1, running.m_shown) << "the show message was handled before the hand-over ended";
        }
        EXPECT_TRUE(PumpUntil([&] { return IsWindowVisible(running.m_dialog) != FALSE; }, 3000));
        EXPECT_EQ(0, running.m_decoyShown) << "only the dialog is the settings window";
        EXPECT_FALSE(IsWindowVisible(running.m_decoy));
    }
    {
        // A running window that stops answering does not hold the second start: it is over while the
        // window still hangs.
        RunningWindow hung(true);
        RecordingDialogs dialogs;
        RunStartup(L"", dialogs);
        EXPECT_TRUE(hung.StillHung()) << "the second start waited for the hung window to answer";
        EXPECT_TRUE(dialogs.m_calls.empty());
    }
    CloseHandle(first);
}

namespace {

// The message font is the system's; these fakes stand in for a system whose font differs from the
// templates' and for the calls failing, which Wine never shows.
ImportPatch<decltype(::SystemParametersInfoW)>* g_metrics;
bool g_metricsFail = false;

BOOL WINAPI FakeMetrics(UINT action, UINT param, PVOID data, UINT flags)
{
    if (action != SPI_GETNONCLIENTMETRICS)
        return g_metrics->Original()(action, param, data, flags);
    if (g_metricsFail)
        return FALSE;
    if (param != sizeof(NONCLIENTMETRICSW) || static_cast<NONCLIENTMETRICSW*>(data)->cbSize != sizeof(NONCLIENTMETRICSW))
        return FALSE;
    BOOL ok = g_metrics->Original()(action, param, data, flags);
    auto* metrics = static_cast<NONCLIENTMETRICSW*>(data);
    wcscpy(metrics->lfMessageFont.lfFaceName, L"Segoe UI");
    metrics->lfMessageFont.lfHeight = -MulDiv(9, 96, 72);
    return ok;
}

ImportPatch<decltype(::GetDC)>* g_getDC;
bool g_dcFail = false;
HDC WINAPI FakeGetDC(HWND window)
{
    return g_dcFail && !window ? nullptr : g_getDC->Original()(window);
}

ImportPatch<decltype(::GetDeviceCaps)>* g_caps;
int WINAPI FakeCaps(HDC dc, int index)
{
    return index == LOGPIXELSY ? 96 : g_caps->Original()(dc, index);
}

ImportPatch<decltype(::GetVersion)>* g_version;
DWORD g_versionValue = 0;
DWORD WINAPI FakeVersion()
{
    return g_versionValue ? g_versionValue : g_version->Original()();
}

}

TEST_F(Startup, FontHookGivesEveryDialogTheMessageFont)
{
    ImportPatch<decltype(::SystemParametersInfoW)> metrics("SystemParametersInfoW", &FakeMetrics);
    ImportPatch<decltype(::GetDC)> getDC("GetDC", &FakeGetDC);
    ImportPatch<decltype(::GetDeviceCaps)> caps("GetDeviceCaps", &FakeCaps);
    ImportPatch<decltype(::GetVersion)> version("GetVersion", &FakeVersion);
    g_metrics = &metrics;
    g_getDC = &getDC;
    g_caps = &caps;
    g_version = &version;
    ASSERT_TRUE(metrics.IsActive() && getDC.IsActive() && caps.IsActive() && version.IsActive());

    LOGFONTW font;
    WORD points = 0;
    g_metricsFail = g_dcFail = false;
    ASSERT_TRUE(GetMessageFont(font, points));
    EXPECT_STREQ(L"Segoe UI", font.lfFaceName);
    EXPECT_EQ(12, font.lfHeight) << "made positive";
    EXPECT_EQ(9, points);

    DialogTemplateBuilder builder(L"Probe", 100, 40);
    builder.Add(DialogTemplateBuilder::kStatic, 1000, L"text", WS_CHILD | WS_VISIBLE, 5, 5, 60, 8);
    const DLGTEMPLATE* original = builder.Get();

    struct HookCase {
        const char* name;
        bool metricsFail, dcFail;
        DWORD version;
        bool rewritten;
    };
    const HookCase cases[] = {
        {"Windows 6.0 and later", false, false, 0, true},
        {"Windows 5 keeps the template's font", false, false, 0x0A280105, false},
        {"no metrics: the template's font", true, false, 0, false},
        {"no screen DC: the template's font", false, true, 0, false},
    };
    CFontOccManager manager;
    for (const HookCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_metricsFail = c.metricsFail;
        g_dcFail = c.dcFail;
        g_versionValue = c.version;
        _AFX_OCC_DIALOG_INFO info;
        const DLGTEMPLATE* result = manager.PreCreateDialog(&info, original);
        CString face;
        WORD size = 0;
        ASSERT_TRUE(CDialogTemplate::GetFont(result, face, size));
        if (c.rewritten) {
            EXPECT_NE(original, result);
            EXPECT_EQ(result, info.m_pNewTemplate);
            EXPECT_STREQ(L"Segoe UI", face.GetString());
            EXPECT_EQ(9, size);
        } else {
            EXPECT_EQ(original, result);
            EXPECT_EQ(nullptr, info.m_pNewTemplate);
            EXPECT_STREQ(L"MS Shell Dlg", face.GetString());
            EXPECT_EQ(8, size);
        }
        manager.PostCreateDialog(&info);
        EXPECT_EQ(nullptr, info.m_pNewTemplate);
    }
    g_metricsFail = g_dcFail = false;
    g_versionValue = 0;
}
