// The progress dialog run for real under Wine: real files in a temporary folder, the real job threads
// and engine, the real modal loop, message boxes seen and pressed by a timer of the test thread.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "DialogWatch.h"
#include "FreeSpaceFakes.h"
#include "ImportPatch.h"
#include "JobTestUtil.h"
#include "ProgressWatch.h"
#include "TempDir.h"
#include "TestDrive.h"
#include "app/jobs/DeleteItemDlg.h"
#include "engine/ErasureMethod.h"
#include "app/res/resource.h"

namespace {

// Method 1 writes one pass of zeros: no slow random data.
const DWORD kOnePass = 1;

bool HasEndedForTest(const Thread& job)
{
    return WaitForSingleObject(job.m_hThread, 0) == WAIT_OBJECT_0;
}

std::wstring WindowText(HWND window)
{
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

std::wstring ItemText(HWND dialog, int id)
{
    return WindowText(GetDlgItem(dialog, id));
}

// The dialog with the method set before it runs (the registry of the prefix is shared with other test
// programs that run at the same time).
class TestDlg : public CDeleteItemDlg {
public:
    TestDlg(const PathList* files, const PathList* folders, BOOL recycleBin, DWORD method = kOnePass)
        : CDeleteItemDlg(files, folders, recycleBin)
    {
        m_settings.m_deleteMethod = method;
    }
    UINT TemplateId() const { return m_nIDTemplate; }
};

void ClickPause(HWND dialog)
{
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_PAUSE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_PAUSE)));
}

// Holds chosen jobs of the dialog from the moment it resumes them: the fake of ResumeThread writes the
// held value into the job's stop flag just before the real resume, so that the job waits at its first safe
// point until the test has acted and then lets it work on (Release) or stops it. Small jobs would
// otherwise be over before the test's first look. A stop from the dialog ends the hold as well. Nothing
// here allocates once the object is made.
class HeldStart {
public:
    HeldStart() : m_patch("ResumeThread", &HeldStart::Resume) { s_held = this; }
    ~HeldStart() { s_held = nullptr; }
    HeldStart(const HeldStart&) = delete;
    HeldStart& operator=(const HeldStart&) = delete;
    bool IsActive() const { return m_patch.IsActive(); }

    void Hold(Thread& job)
    {
        if (m_count < kMaxJobs)
            m_jobs[m_count++] = &job;
    }
    static void Release(Thread& job)
    {
        int32_t held = kCancelHold;
        job.m_stop.compare_exchange_strong(held, kCancelGoOn);
    }

private:
    static DWORD WINAPI Resume(HANDLE thread)
    {
        for (int i = 0; i < s_held->m_count; ++i)
            if (s_held->m_jobs[i]->m_hThread == thread)
                s_held->m_jobs[i]->m_stop = kCancelHold;
        return s_held->m_patch.Original()(thread);
    }

    static constexpr int kMaxJobs = 3;
    static inline HeldStart* s_held = nullptr;
    ImportPatch<decltype(::ResumeThread)> m_patch;
    Thread* m_jobs[kMaxJobs] = {};
    int m_count = 0;
};

class DeleteItemDlgTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.IsValid()); }
    void TearDown() override { CancelScheduledActions(); }

    std::wstring File(const std::wstring& name, size_t size, char fill = 'x')
    {
        const std::wstring path = m_dir.Join(name);
        EXPECT_TRUE(MakeFile(path, size, fill));
        return path;
    }

    PathList Files(int count, size_t size)
    {
        PathList files;
        for (int i = 0; i < count; ++i)
            files.push_back(File(L"f" + std::to_wstring(i) + L".bin", size));
        return files;
    }

    static bool AllGone(const PathList& paths)
    {
        for (const std::wstring& path : paths)
            if (Exists(path))
                return false;
        return true;
    }

    TempDir m_dir{L"pellumar-dlg"};
};

TEST_F(DeleteItemDlgTest, ASmallJobStaysHiddenInactiveAndEndsWithOk)
{
    // 10 files of 26,214 bytes: 262,140 byte-passes with one pass, just below both thresholds.
    const PathList files = Files(10, 26214);
    const PathList folders;
    TestDlg dlg(&files, &folders, FALSE);
    DialogWatch watch([&] { return dlg.m_hWnd; });
    EXPECT_EQ(IDD_DELETE_ITEMS, dlg.TemplateId());

    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_TRUE(AllGone(files));
    EXPECT_FALSE(watch.m_everVisible);
    EXPECT_FALSE(watch.m_everActive);
    EXPECT_FALSE(watch.m_everFocused);
    EXPECT_TRUE(watch.m_boxes.empty());
    EXPECT_EQ(1, dlg.m_stayHidden);
    EXPECT_EQ(10u, dlg.m_totalItems);
    EXPECT_EQ(262140u, dlg.m_totalBytes);
}

TEST_F(DeleteItemDlgTest, ALargeJobShowsItselfActiveOnCancelAndReaches100)
{
    // 11 files: one more than a hidden job may have.
    const PathList files = Files(11, 100);
    const PathList folders;
    TestDlg dlg(&files, &folders, FALSE);
    bool focusOnCancel = false;
    bool active = false;
    DialogWatch watch([&] { return dlg.m_hWnd; });
    // The dialog shows itself before it starts the shredding, which reports first of all.
    MessageSpy spy([&](const MSG& msg) {
        if (msg.message == WM_DELETE_PROGRESS && msg.hwnd == dlg.m_hWnd && !active) {
            active = IsWindowVisible(msg.hwnd) && GetActiveWindow() == msg.hwnd;
            focusOnCancel = GetFocus() == GetDlgItem(msg.hwnd, IDCANCEL);
        }
    });
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_TRUE(AllGone(files));
    EXPECT_TRUE(active);
    EXPECT_TRUE(focusOnCancel);
    EXPECT_EQ(0, dlg.m_stayHidden);
    EXPECT_EQ(100, dlg.m_lastPercent);
    EXPECT_EQ(0u, dlg.m_lastRemaining);
    EXPECT_TRUE(watch.m_boxes.empty());
}

TEST_F(DeleteItemDlgTest, FailuresWhileHiddenShowTheirMessageAndEndWithCancel)
{
    // A file another program holds open: sharing violation, message 166 without an icon.
    const std::wstring held = File(L"held.txt", 100);
    HANDLE handle = CreateFileW(held.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    {
        const PathList files{held};
        const PathList folders;
        TestDlg dlg(&files, &folders, FALSE);
        DialogWatch watch([&] { return dlg.m_hWnd; });
        EXPECT_EQ(IDCANCEL, dlg.DoModal());
        EXPECT_FALSE(watch.m_everVisible);
        ASSERT_EQ(1u, watch.m_boxes.size());
        EXPECT_EQ(L"The action can't be completed because the file " + held +
                      L" is open by another application. Close the file and try again",
                  watch.m_boxes[0].text);
        EXPECT_FALSE(watch.m_boxes[0].hasIcon);
    }
    CloseHandle(handle);
    EXPECT_TRUE(Exists(held));

    // A file that went away after the request was made: message 163; the files after it stay.
    const std::wstring missing = m_dir.Join(L"missing.txt");
    const std::wstring after = File(L"after.txt", 100);
    const PathList files{missing, after};
    const PathList folders;
    TestDlg dlg(&files, &folders, FALSE);
    DialogWatch watch([&] { return dlg.m_hWnd; });
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    EXPECT_FALSE(watch.m_everVisible);
    ASSERT_EQ(1u, watch.m_boxes.size());
    EXPECT_EQ(L"Failed to delete file " + missing + L" as it does not exit.", watch.m_boxes[0].text);
    EXPECT_TRUE(watch.m_boxes[0].hasIcon);
    EXPECT_TRUE(Exists(after));
}

// Wine's files carry no compressed, encrypted or sparse attribute, and a root user is never denied
// access: the fakes give the one file of the job that attribute, or refuse its opening for writing.
ImportPatch<decltype(::GetFileAttributesW)>* g_attributes = nullptr;
ImportPatch<decltype(::CreateFileW)>* g_open = nullptr;
std::wstring g_fakedFile;
DWORD g_fakedAttribute = 0;
DWORD WINAPI FakeAttributes(LPCWSTR path)
{
    const DWORD real = g_attributes->Original()(path);
    return g_fakedFile == path && real != INVALID_FILE_ATTRIBUTES ? real | g_fakedAttribute : real;
}
HANDLE WINAPI DenyWriting(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                          DWORD flags, HANDLE templ)
{
    if (g_fakedFile == name && (access & (GENERIC_WRITE | FILE_WRITE_DATA))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return g_open->Original()(name, access, share, sa, disposition, flags, templ);
}

TEST_F(DeleteItemDlgTest, FilesTheEngineRefusesGiveTheirMessagesAndStay)
{
    ImportPatch<decltype(::GetFileAttributesW)> attributes("GetFileAttributesW", &FakeAttributes);
    ImportPatch<decltype(::CreateFileW)> open("CreateFileW", &DenyWriting);
    ASSERT_TRUE(attributes.IsActive());
    ASSERT_TRUE(open.IsActive());
    g_attributes = &attributes;
    g_open = &open;
    g_fakedFile = File(L"special.dat", 100);
    const struct {
        DWORD attribute;
        std::wstring text;
    } cases[] = {
        {FILE_ATTRIBUTE_COMPRESSED, L"Shredding of compressed files/folders not supported."},
        {FILE_ATTRIBUTE_ENCRYPTED, L"Shredding of encrypted files/folders not supported."},
        {FILE_ATTRIBUTE_SPARSE_FILE, L"Shredding of sparsed files/folder not supported."},
        {0, L"Failed to delete file " + g_fakedFile + L" access is denied."},
    };
    for (const auto& c : cases) {
        g_fakedAttribute = c.attribute;
        const PathList files{g_fakedFile};
        const PathList folders;
        TestDlg dlg(&files, &folders, FALSE);
        DialogWatch watch([&] { return dlg.m_hWnd; });
        EXPECT_EQ(IDCANCEL, dlg.DoModal());
        ASSERT_EQ(1u, watch.m_boxes.size());
        EXPECT_EQ(c.text, watch.m_boxes[0].text);
        EXPECT_TRUE(watch.m_boxes[0].hasIcon);
        EXPECT_TRUE(Exists(g_fakedFile));
    }
    g_fakedFile.clear();
}

TEST_F(DeleteItemDlgTest, AStoredMethodWithoutPassesCountsAsOnePassAndFailsWithItsOwnMessage)
{
    // 262,145 bytes with one pass: large enough to show.
    const PathList files{File(L"a.bin", 262145)};
    const PathList folders;
    TestDlg dlg(&files, &folders, FALSE, 99);
    DialogWatch watch([&] { return dlg.m_hWnd; });
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    EXPECT_TRUE(watch.m_everVisible);
    ASSERT_EQ(1u, watch.m_boxes.size());
    EXPECT_EQ(L"Failed to delete file " + files[0] + L" error : [87]", watch.m_boxes[0].text);
    EXPECT_TRUE(Exists(files[0]));
}

TEST_F(DeleteItemDlgTest, CancelDuringCountingStopsTheCountAndTouchesNothing)
{
    const std::wstring folder = m_dir.MakeFolder(L"tree");
    PathList made;
    for (int i = 0; i < 100; ++i)
        made.push_back(File(L"tree\\" + std::to_wstring(i) + L".txt", 1));
    const PathList files;
    const PathList folders{folder};
    TestDlg dlg(&files, &folders, FALSE);
    // The count waits at its first entry until the cancel is posted.
    HeldStart held;
    ASSERT_TRUE(held.IsActive());
    held.Hold(dlg.m_metricsThread);
    bool cancelled = false;
    DialogWatch watch([&] { return dlg.m_hWnd; }, 1);
    watch.m_onTick = [&](HWND dialog) {
        if (!cancelled && dlg.m_metricsState == CDeleteItemDlg::kJobStarted) {
            cancelled = true;
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        }
    };
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(CDeleteItemDlg::kJobIdle, dlg.m_deleteState);  // the shredding job never started
    EXPECT_FALSE(dlg.m_metricsThread.m_running);
    EXPECT_TRUE(watch.m_boxes.empty());
    for (const std::wstring& path : made)
        ASSERT_TRUE(Exists(path)) << path;
}

// The shredding job's chunks (6 MiB, which a pattern pass writes as several calls) pass a gate that the
// test opens one chunk at a time, so that the job cannot
// run ahead of the dialog (a loaded machine's dialog could otherwise see the whole file written before it
// gets to pause twice); a stop opens it. The job's waits in a hold (the sleeps of its stop check while the
// flag holds the held value) are counted: the test acts once the job is seen waiting there.
struct PauseProbe {
    ImportPatch<decltype(::WriteFile)>* write = nullptr;
    ImportPatch<decltype(::Sleep)>* sleep = nullptr;
    Thread* job = nullptr;
    std::atomic<int> writes{0};   // chunks started
    std::atomic<int> allowed{0};  // chunks that may start
    std::atomic<uint64_t> bytes{0};
    std::atomic<int> holdWaits{0};
    static constexpr int kOpen = 1 << 30;
    bool OnJob() const { return job && GetCurrentThreadId() == GetThreadId(job->m_hThread); }
} g_pause;

BOOL WINAPI GatedWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (g_pause.OnJob()) {
        if (g_pause.bytes % kOverwriteBufferSize == 0) {  // a chunk begins
            while (g_pause.writes >= g_pause.allowed && g_pause.job->m_stop != kCancelStop)
                SleepEx(1, FALSE);
            ++g_pause.writes;
        }
        g_pause.bytes += size;
    }
    return g_pause.write->Original()(file, data, size, written, overlapped);
}

VOID WINAPI CountingSleep(DWORD ms)
{
    if (g_pause.OnJob() && g_pause.job->m_stop == kCancelHold)
        ++g_pause.holdWaits;
    g_pause.sleep->Original()(ms);
}

TEST_F(DeleteItemDlgTest, PauseHoldsTheJobMidFileResumeGoesOnAndCancelWhilePausedEndsAtOnce)
{
    // 11 chunks of one pass, written only as far as the gate lets the job: both pauses land in the middle
    // of the file.
    const size_t size = 64u << 20;
    const PathList files{File(L"big.bin", size, 'x')};
    const PathList folders;
    ImportPatch<decltype(::WriteFile)> write("WriteFile", &GatedWrite);
    ImportPatch<decltype(::Sleep)> sleep("Sleep", &CountingSleep);
    ASSERT_TRUE(write.IsActive());
    ASSERT_TRUE(sleep.IsActive());
    TestDlg dlg(&files, &folders, FALSE);
    g_pause.write = &write;
    g_pause.sleep = &sleep;
    g_pause.writes = 0;
    g_pause.bytes = 0;
    g_pause.allowed = 1;
    g_pause.holdWaits = 0;
    g_pause.job = &dlg.m_deleteThread;

    enum Step { kRunning, kPaused, kResumed, kPausedAgain, kCancelled } step = kRunning;
    uint64_t bytesAtPause = 0;
    int writesAtPause = 0;
    int waitsAtPause = 0;
    int writesWhileHeld = -1;
    int writesAtCancel = 0;
    bool stateWhilePaused = false;
    bool stateWhileResumed = false;
    MessageSpy spy([&](const MSG& msg) {
        if (msg.message != WM_DELETE_PROGRESS || !msg.wParam)
            return;
        const DeleteProgress& progress = *reinterpret_cast<const DeleteProgress*>(msg.wParam);
        const bool midFile = progress.m_bytesProcessed > 0 && progress.m_bytesProcessed < size / 3;
        if ((step == kRunning && midFile) || (step == kResumed && progress.m_bytesProcessed > bytesAtPause)) {
            step = step == kRunning ? kPaused : kPausedAgain;
            bytesAtPause = progress.m_bytesProcessed;
            ClickPause(msg.hwnd);
            // Only the pause may stop the job now: at most the chunk in flight is written after it.
            writesAtPause = g_pause.writes;
            waitsAtPause = g_pause.holdWaits;
            g_pause.allowed = PauseProbe::kOpen;
        }
    });
    ASSERT_TRUE(spy.IsActive());
    DialogWatch watch([&] { return dlg.m_hWnd; }, 1);
    watch.m_onTick = [&](HWND dialog) {
        const bool heldAgain = g_pause.holdWaits >= waitsAtPause + 3;
        const bool ranOn = g_pause.writes > writesAtPause + 1 || HasEndedForTest(dlg.m_deleteThread);
        if (step == kPaused && (heldAgain || ranOn)) {
            writesWhileHeld = g_pause.writes - writesAtPause;
            stateWhilePaused = heldAgain && dlg.m_paused && !dlg.m_deleteThread.m_running &&
                               !dlg.m_picture.IsPlaying() && Exists(files[0]);
            // One more chunk may start: its progress brings the second pause.
            g_pause.allowed = g_pause.writes + 1;
            ClickPause(dialog);
            step = kResumed;
            stateWhileResumed = !dlg.m_paused && dlg.m_deleteThread.m_running && dlg.m_picture.IsPlaying();
        } else if (step == kPausedAgain && (heldAgain || ranOn)) {
            step = kCancelled;
            writesAtCancel = g_pause.writes;
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        }
    };

    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    g_pause.job = nullptr;
    ASSERT_EQ(kCancelled, step) << "the job ended before the test could pause it twice";
    EXPECT_GE(writesWhileHeld, 0);
    EXPECT_LE(writesWhileHeld, 1);  // the chunk in flight, then nothing while paused
    EXPECT_TRUE(stateWhilePaused);
    EXPECT_TRUE(stateWhileResumed);
    EXPECT_GT(bytesAtPause, static_cast<uint64_t>(6u << 20));  // the second pause came after the resume went on
    // Cancelled while held, the job ends where it waits, without another chunk.
    EXPECT_EQ(writesAtCancel, g_pause.writes.load());
    EXPECT_FALSE(dlg.m_deleteThread.m_running);
    EXPECT_TRUE(HasEndedForTest(dlg.m_deleteThread));

    // The file stays, overwritten as far as the job got and no further.
    ASSERT_TRUE(Exists(files[0]));
    const std::vector<uint8_t> contents = TempDir::ReadFile(files[0]);
    ASSERT_EQ(size, contents.size());
    EXPECT_EQ(0, contents.front());
    EXPECT_EQ('x', contents.back());
}

// A visible window of the test thread that has the keyboard, standing for the program the user types in.
class OtherWindow {
public:
    OtherWindow()
    {
        m_hWnd = CreateWindowExW(0, L"EDIT", L"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 600, 400, 200, 100, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        SetForegroundWindow(m_hWnd);
        SetFocus(m_hWnd);
        PumpMessagesFor(50);
    }
    ~OtherWindow() { DestroyWindow(m_hWnd); }
    HWND m_hWnd;
};

void TypeKey(WORD key)
{
    INPUT inputs[2] = {};
    inputs[0].type = INPUT_KEYBOARD;
    inputs[0].ki.wVk = key;
    inputs[1] = inputs[0];
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, inputs, sizeof(INPUT));
}

TEST_F(DeleteItemDlgTest, StrayMessagesAndKeysTypedElsewhereChangeNothing)
{
    // Hidden all along (3 files, empty folders); each phase is held until it has received its strays.
    PathList files = Files(3, 10);
    const std::wstring tree = m_dir.MakeFolder(L"tree");
    for (int i = 0; i < 60; ++i)
        ASSERT_FALSE(m_dir.MakeFolder(L"tree\\d" + std::to_wstring(i)).empty());
    const PathList folders{tree};
    TestDlg dlg(&files, &folders, FALSE);
    OtherWindow other;
    ASSERT_TRUE(other.m_hWnd);
    // Each job waits at its start until the strays of its phase have been handled (the tick after they
    // were posted: posted messages go before timer messages), the shredding also until typed keys have
    // arrived.
    HeldStart held;
    ASSERT_TRUE(held.IsActive());
    held.Hold(dlg.m_metricsThread);
    held.Hold(dlg.m_deleteThread);

    bool strayWhileCounting = false;
    bool strayAfterCounting = false;
    bool shreddingReleased = false;
    bool otherKeptFocus = true;
    int typed = 0;
    DialogWatch watch([&] { return dlg.m_hWnd; }, 1);
    watch.m_onTick = [&](HWND dialog) {
        const auto strays = [dialog] {
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_PAUSE, BN_CLICKED), 0);
            for (UINT msg : {WM_DELETE_PROGRESS, WM_RESIDENT_PHASE, WM_METRICS_STATUS, WM_FREE_SPACE_TOTAL,
                             WM_METRICS_DONE})
                PostMessageW(dialog, msg, 0, 0);  // no payload
            PostMessageW(dialog, WM_DELETE_DONE, 0, 0);
            PostMessageW(dialog, WM_FREE_SPACE_DONE, 0, 0);
        };
        if (strayWhileCounting)
            HeldStart::Release(dlg.m_metricsThread);
        if (!strayWhileCounting && dlg.m_metricsState == CDeleteItemDlg::kJobStarted) {
            strayWhileCounting = true;
            strays();
            // Totals that would show the dialog, before the real ones.
            PostMessageW(dialog, WM_METRICS_DONE, reinterpret_cast<WPARAM>(new MetricsResult{1000, 1ull << 30}), 0);
        }
        // Keys go to the foreground window, which a test program running beside this one may hold:
        // type only while the other window of this test has it. Typed keys are input, which the thread
        // takes only when no posted message waits: keys typed while the shredding runs may still wait
        // behind its completion when that ends the dialog. So the shredding starts only once typed keys
        // have reached the other window (or when none can be typed), and keys are typed after that only
        // once some have arrived.
        const bool keysArrived = GetWindowTextLengthW(other.m_hWnd) > 0;
        const bool canType = GetForegroundWindow() == other.m_hWnd;
        if (strayAfterCounting && (shreddingReleased || keysArrived || !canType)) {
            shreddingReleased = true;
            HeldStart::Release(dlg.m_deleteThread);
        }
        if (!strayAfterCounting && dlg.m_deleteState == CDeleteItemDlg::kJobStarted) {
            strayAfterCounting = true;
            strays();
        }
        if (watch.m_ticks % 10 == 0 && canType && (keysArrived || !shreddingReleased)) {
            if (GetFocus() != other.m_hWnd)
                otherKeptFocus = false;
            TypeKey(VK_ESCAPE);
            TypeKey(VK_RETURN);
            TypeKey(VK_SPACE);
            ++typed;
        }
    };
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_TRUE(strayWhileCounting);
    EXPECT_TRUE(strayAfterCounting);
    EXPECT_TRUE(otherKeptFocus);
    if (typed > 0)
        EXPECT_GT(GetWindowTextLengthW(other.m_hWnd), 0);  // the keys reached the other window
    else
        std::printf("note: another program held the foreground; no keys were typed\n");
    EXPECT_FALSE(watch.m_everVisible);
    EXPECT_FALSE(watch.m_everFocused);
    EXPECT_TRUE(watch.m_boxes.empty());
    EXPECT_EQ(3u, dlg.m_totalItems);  // the real totals
    EXPECT_TRUE(AllGone(files));
    EXPECT_FALSE(Exists(tree));  // the early completion did not end the job before its end
}

// Holds the shredding job in the first write of its second chunk until the dialog stops it, so that a
// request posted on the first chunk's progress finds the job still running however slowly the test thread
// gets to it. A pattern pass writes a chunk as several calls: the bytes tell where a chunk begins.
ImportPatch<decltype(::WriteFile)>* g_stoppedWrite = nullptr;
Thread* g_writingJob = nullptr;
std::atomic<uint64_t> g_jobBytes{0};
BOOL WINAPI WriteUntilStopped(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (g_writingJob && GetCurrentThreadId() == GetThreadId(g_writingJob->m_hThread)) {
        if (g_jobBytes >= static_cast<uint64_t>(kOverwriteBufferSize)) {
            while (g_writingJob->m_stop != kCancelStop)
                SleepEx(1, FALSE);
        }
        g_jobBytes += size;
    }
    return g_stoppedWrite->Original()(file, data, size, written, overlapped);
}

TEST_F(DeleteItemDlgTest, CloseProgressStopsARunningJobAndEndsWithCancel)
{
    // The owner empties the recycle bin on IDOK: a job that still runs must not end with it. Three chunks:
    // the job is held in the second.
    const size_t size = 16u << 20;
    const PathList files{File(L"big.bin", size, 'x'), File(L"next.bin", 10)};
    const PathList folders;
    {
        TestDlg dlg(&files, &folders, FALSE);
        ImportPatch<decltype(::WriteFile)> write("WriteFile", &WriteUntilStopped);
        ASSERT_TRUE(write.IsActive());
        g_stoppedWrite = &write;
        g_jobBytes = 0;
        g_writingJob = &dlg.m_deleteThread;
        bool posted = false;
        MessageSpy spy([&](const MSG& msg) {
            if (!posted && msg.message == WM_DELETE_PROGRESS && msg.wParam &&
                reinterpret_cast<const DeleteProgress*>(msg.wParam)->m_bytesProcessed > 0) {
                posted = true;
                PostMessageW(msg.hwnd, WM_CLOSE_PROGRESS, 0, 0);
            }
        });
        ASSERT_TRUE(spy.IsActive());
        EXPECT_EQ(IDCANCEL, dlg.DoModal());
        g_writingJob = nullptr;
        EXPECT_TRUE(posted);
        EXPECT_TRUE(HasEndedForTest(dlg.m_deleteThread));
        EXPECT_TRUE(Exists(files[1]));  // the job stopped before its next file
    }

    // After a job that ended well, it is the success it reports.
    const PathList small = Files(2, 10);
    TestDlg done(&small, &folders, FALSE);
    MessageSpy closer([&](const MSG& msg) {
        if (msg.message == WM_DELETE_DONE) {
            WaitForSingleObject(done.m_deleteThread.m_hThread, 5000);
            SendMessageW(msg.hwnd, WM_CLOSE_PROGRESS, 0, 0);
        }
    });
    EXPECT_EQ(IDOK, done.DoModal());
    EXPECT_TRUE(AllGone(small));
}

// Holds the job's completion message (done) back, once, behind a close request, posted when the job's
// thread has ended: the close then meets a job that has ended and finished but whose end is not yet known.
template <typename Dialog, typename Job>
std::function<void(MSG&)> CloseBeforeDone(const Dialog& dlg, UINT done, const Job& job, bool* heldBack, bool* jobEnded)
{
    return [&dlg, &job, done, heldBack, jobEnded](MSG& msg) {
        if (*heldBack || msg.message != done || msg.hwnd != dlg.m_hWnd)
            return;
        *heldBack = true;
        // Posted just before the job's end.
        *jobEnded = WaitForSingleObject(job.m_hThread, 60000) == WAIT_OBJECT_0;
        msg.message = WM_NULL;
        PostMessageW(msg.hwnd, WM_CLOSE_PROGRESS, 0, 0);
        PostMessageW(msg.hwnd, done, 0, 0);
    };
}

TEST_F(DeleteItemDlgTest, CloseProgressAfterAFailedJobEndedButBeforeItsCompletionEndsWithCancel)
{
    // The job's one file is held open by the test: the job fails on it, records the error and posts its
    // completion. That message is held back behind a close request, which thus meets a job that has
    // ended, finished and was never stopped, but failed: no success for the owner to act on.
    const std::wstring held = File(L"held.txt", 100);
    HANDLE handle = CreateFileW(held.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    {
        const PathList files{held};
        const PathList folders;
        TestDlg dlg(&files, &folders, FALSE);
        bool jobEnded = false;
        bool heldBack = false;
        MessageSpy spy(CloseBeforeDone(dlg, WM_DELETE_DONE, dlg.m_deleteThread, &heldBack, &jobEnded));
        ASSERT_TRUE(spy.IsActive());
        DialogWatch watch([&] { return dlg.m_hWnd; });
        EXPECT_EQ(IDCANCEL, dlg.DoModal());
        EXPECT_TRUE(heldBack);
        EXPECT_TRUE(jobEnded);
        EXPECT_TRUE(dlg.m_deleteThread.m_finished);
        EXPECT_NE(DeleteErrorNone, dlg.m_deleteThread.m_error.m_kind);
    }
    CloseHandle(handle);
    EXPECT_TRUE(Exists(held));
}

TEST(FreeSpaceDlgTest, CloseProgressAfterAFailedWipeEndedButBeforeItsCompletionEndsWithCancel)
{
    // As above for a free-space wipe: the wipe of the small test drive fails in its fill (its writes are
    // faked to fail, as a failing device would), records the failure and posts its completion. That
    // message is held back behind a close request, which thus meets a wipe that has ended, finished and
    // was never stopped, but failed.
    std::wstring root;
    USE_SMALL_EMPTY_TEST_DRIVE(root, nullptr, nullptr);
    FreeSpaceFakes fakes(root.substr(0, 2));
    ASSERT_TRUE(fakes.IsActive());
    fakes.FailWrites(ERROR_IO_DEVICE);
    {
        CDeleteItemDlg dlg(root.c_str());
        dlg.m_settings.m_deleteMethod = kOnePass;
        bool jobEnded = false;
        bool heldBack = false;
        MessageSpy spy(CloseBeforeDone(dlg, WM_FREE_SPACE_DONE, dlg.m_freeSpaceThread, &heldBack, &jobEnded));
        ASSERT_TRUE(spy.IsActive());
        DialogWatch watch([&] { return dlg.m_hWnd; });
        EXPECT_EQ(IDCANCEL, dlg.DoModal());
        EXPECT_TRUE(heldBack);
        EXPECT_TRUE(jobEnded);
        EXPECT_TRUE(dlg.m_freeSpaceThread.m_finished);
        EXPECT_EQ(1, dlg.m_freeSpaceThread.m_failed);
        EXPECT_GT(fakes.WriteCalls(), 0) << "the wipe failed before its fill";
    }
    EXPECT_TRUE(DriveIsEmpty(root)) << "the fill's folder was left behind";
}

TEST_F(DeleteItemDlgTest, EveryPayloadIsFreedOnceWhetherHandledDroppedOrStillQueued)
{
    const PathList warmUpFiles = Files(3, 10);
    const PathList folders;
    {
        TestDlg warmUp(&warmUpFiles, &folders, FALSE);
        ASSERT_EQ(IDOK, warmUp.DoModal());
    }

    PathList files;
    for (int i = 0; i < 3; ++i)
        files.push_back(File(L"g" + std::to_wstring(i), 5000));
    std::unique_ptr<TestDlg> dlg;
    HWND dialog = nullptr;
    int dropped = 0;
    int queued = 0;
    bool released = false;
    // The count waits at its start until the test's messages are posted (made before the allocations are
    // counted: the patch holds a block of its own).
    HeldStart held;
    ASSERT_TRUE(held.IsActive());
    DialogWatch watch([&] { return dlg ? dlg->m_hWnd : nullptr; }, 1);
    watch.m_onTick = [&](HWND hwnd) {
        if (dialog || dlg->m_metricsState != CDeleteItemDlg::kJobStarted)
            return;
        // While a handler holds the semaphore, progress and status are dropped, and still freed.
        dialog = hwnd;
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(dlg->m_semaphore, 0));
        for (int i = 0; i < 20; ++i, ++dropped) {
            PostMessageW(hwnd, WM_DELETE_PROGRESS,
                         reinterpret_cast<WPARAM>(new DeleteProgress{L"dropped", 1, 0, 0, 1, 1, 0}), 0);
            PostMessageW(hwnd, WM_METRICS_STATUS, reinterpret_cast<WPARAM>(new MetricsStatus{L"a", L"b"}), 0);
        }
        RunSoon(30, [&] {
            ReleaseSemaphore(dlg->m_semaphore, 1, nullptr);
            released = true;
        });
        HeldStart::Release(dlg->m_metricsThread);
    };
    // Behind the completion: still queued when the window goes.
    MessageSpy spy([&](const MSG& msg) {
        if (msg.message != WM_DELETE_DONE || msg.hwnd != dialog || queued)
            return;
        for (int i = 0; i < 20; ++i, ++queued) {
            PostMessageW(dialog, WM_DELETE_PROGRESS,
                         reinterpret_cast<WPARAM>(new DeleteProgress{L"queued", 1, 0, 0, 1, 1, 0}), 0);
            PostMessageW(dialog, WM_FREE_SPACE_TOTAL, reinterpret_cast<WPARAM>(new uint64_t(5)), 0);
            PostMessageW(dialog, WM_RESIDENT_PHASE, reinterpret_cast<WPARAM>(new int32_t(1)), 0);
            PostMessageW(dialog, WM_METRICS_DONE, reinterpret_cast<WPARAM>(new MetricsResult{1, 2}), 0);
        }
    });
    ASSERT_TRUE(spy.IsActive());

    const int64_t before = allocations::Live();
    dlg.reset(new TestDlg(&files, &folders, FALSE));
    held.Hold(dlg->m_metricsThread);
    EXPECT_EQ(IDOK, dlg->DoModal());
    // So small a job can end before the test's own release of the semaphore has run; that pending action
    // holds a block of its own and reads the dialog: let it run first.
    for (int i = 0; i < 100 && !released; ++i)
        PumpMessagesFor(10);
    EXPECT_TRUE(released);
    dlg.reset();
    const int64_t after = allocations::Live();

    EXPECT_EQ(20, dropped);
    EXPECT_EQ(20, queued);
    EXPECT_TRUE(AllGone(files));
    EXPECT_EQ(before, after) << "blocks allocated during the run and not freed";
}

TEST_F(DeleteItemDlgTest, TheBarRunsAMarqueeWhilePreparingAndPercentagesWhileShredding)
{
    const PathList files = Files(12, 100);
    const PathList folders;
    TestDlg dlg(&files, &folders, FALSE);
    // Each job waits at its start until the test has looked at the bar.
    HeldStart held;
    ASSERT_TRUE(held.IsActive());
    held.Hold(dlg.m_metricsThread);
    held.Hold(dlg.m_deleteThread);
    bool lookedWhilePreparing = false;
    bool lookedWhileShredding = false;
    bool marqueeWhilePreparing = false;
    bool percentWhileShredding = false;
    DialogWatch watch([&] { return dlg.m_hWnd; }, 1);
    watch.m_onTick = [&](HWND dialog) {
        HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
        const bool marquee = (GetWindowLongPtrW(bar, GWL_STYLE) & PBS_MARQUEE) != 0;
        if (!lookedWhilePreparing && dlg.m_metricsState == CDeleteItemDlg::kJobStarted) {
            lookedWhilePreparing = true;
            marqueeWhilePreparing = marquee && dlg.m_deleteState == CDeleteItemDlg::kJobIdle;
            HeldStart::Release(dlg.m_metricsThread);
        }
        if (!lookedWhileShredding && dlg.m_deleteState == CDeleteItemDlg::kJobStarted) {
            lookedWhileShredding = true;
            percentWhileShredding = !marquee && SendMessageW(bar, PBM_GETRANGE, FALSE, 0) == 100;
            HeldStart::Release(dlg.m_deleteThread);
        }
    };
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_TRUE(marqueeWhilePreparing);
    EXPECT_TRUE(percentWhileShredding);
}

// The name line shows a path of more than 50 characters as "..." and its last 50.
std::wstring ShownName(const std::wstring& path)
{
    return path.size() > 50 ? L"..." + path.substr(path.size() - 50) : path;
}

TEST_F(DeleteItemDlgTest, TheWindowShowsTheNameRemainingItemsAndPercentageOfEachProgressMessage)
{
    // 11 files (more than a hidden job may have) of whole clusters; one pass.
    const uint64_t kFileSize = 4096;
    for (BOOL recycleBin : {FALSE, TRUE}) {
        SCOPED_TRACE(recycleBin ? "recycle-bin mode" : "list mode");
        const PathList files = Files(11, kFileSize);
        const PathList folders;
        TestDlg dlg(&files, &folders, recycleBin);
        DialogWatch watch([&] { return dlg.m_hWnd; });
        ProgressRecorder recorder([&] { return dlg.m_hWnd; });
        ASSERT_TRUE(recorder.IsActive());
        EXPECT_EQ(IDOK, dlg.DoModal());
        EXPECT_TRUE(AllGone(files));
        ASSERT_EQ(11 * kFileSize, dlg.m_totalBytes);

        std::vector<int> percents;
        size_t named = 0;
        for (const ProgressRecorder::Seen& seen : recorder.m_seen) {
            ASSERT_EQ(WM_DELETE_PROGRESS, seen.m_message);
            const DeleteProgress& progress = seen.m_progress;
            const ProgressView& view = seen.m_view;
            SCOPED_TRACE(testing::Message() << "progress of " << progress.m_bytesProcessed << " bytes");
            EXPECT_EQ(0, progress.m_freeSpace);
            // A job of more than 10 items is shown before its shredding starts (read after each message,
            // not by a watch's tick, which a quick job can finish between).
            EXPECT_TRUE(view.m_visible);

            const int percent = ExpectPercentShown(view, progress, dlg.m_totalBytes, L"Deleting ");
            if (percents.empty() || percents.back() != percent)
                percents.push_back(percent);

            if (recycleBin) {
                EXPECT_FALSE(view.m_hasLines);
                continue;
            }
            ASSERT_TRUE(view.m_hasLines);
            EXPECT_EQ(L"Remaining Items : " + std::to_wstring(11 - progress.m_itemsDone), view.m_remaining);
            if (!progress.m_name.empty()) {  // the report before the first file names none
                ++named;
                EXPECT_EQ(L"Name : " + ShownName(progress.m_name), view.m_name);
            }
        }
        // The bar moved with the job, file by file, to its end.
        EXPECT_GE(percents.size(), 11u);
        EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
        ASSERT_FALSE(percents.empty());
        EXPECT_EQ(0, percents.front());
        EXPECT_EQ(100, percents.back());
        if (!recycleBin) {
            EXPECT_GE(named, 11u);
        }
    }
}

TEST_F(DeleteItemDlgTest, RecycleBinModeUsesTheNarrowWindowWithoutNameOrRemainingLines)
{
    const PathList files = Files(11, 100);
    const PathList folders;
    TestDlg dlg(&files, &folders, TRUE);
    EXPECT_EQ(IDD_DELETE_SPACE, dlg.TemplateId());
    // Eleven files make a large job: the window shows before the shredding reports. A job this small can
    // be over before a timer's tick, so the window is looked at as each of its progress reports arrives.
    bool reported = false;
    bool visibleWhileReporting = true;
    bool linesAbsent = true;
    DialogWatch watch([&] { return dlg.m_hWnd; });
    MessageSpy spy([&](const MSG& msg) {
        if (msg.message != WM_DELETE_PROGRESS || msg.hwnd != dlg.m_hWnd)
            return;
        reported = true;
        if (!IsWindowVisible(msg.hwnd))
            visibleWhileReporting = false;
        if (GetDlgItem(msg.hwnd, IDC_ITEMS_NAME) || GetDlgItem(msg.hwnd, IDC_ITEMS_REMAINING))
            linesAbsent = false;
    });
    ASSERT_TRUE(spy.IsActive());
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_TRUE(reported);
    EXPECT_TRUE(visibleWhileReporting);
    EXPECT_TRUE(linesAbsent);
    EXPECT_TRUE(dlg.m_lastName.IsEmpty());
    EXPECT_TRUE(AllGone(files));
}

TEST_F(DeleteItemDlgTest, AJobThatEndsWithoutItsCompletionShowsTheHiddenDialog)
{
    const PathList files = Files(2, 10);
    const PathList folders;
    TestDlg dlg(&files, &folders, FALSE);
    // The count of two small files would be over before the first tick: it waits at its start until the
    // test has stopped it.
    HeldStart held;
    ASSERT_TRUE(held.IsActive());
    held.Hold(dlg.m_metricsThread);
    bool stopped = false;
    bool shown = false;
    DialogWatch watch([&] { return dlg.m_hWnd; }, 1);
    watch.m_onTick = [&](HWND dialog) {
        // As if the counting job had been stopped behind the dialog's back: it ends and posts nothing.
        if (!stopped && dlg.m_metricsState == CDeleteItemDlg::kJobStarted) {
            stopped = true;
            dlg.m_metricsThread.m_stop = kCancelStop;
        }
        if (!shown && IsWindowVisible(dialog)) {
            shown = true;
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        }
    };
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(shown);
    EXPECT_EQ(CDeleteItemDlg::kJobIdle, dlg.m_deleteState);
    for (const std::wstring& path : files)
        EXPECT_TRUE(Exists(path));
}

// Wine cannot make an allocation fail in the middle of a job: the fake throws what a failed allocation
// throws, from the shredding job's look at one file, so that the job breaks off without its completion.
ImportPatch<decltype(::GetFileAttributesW)>* g_throwingAttributes = nullptr;
std::wstring g_throwFor;
DWORD g_throwOnThread = 0;
DWORD WINAPI ThrowingAttributes(LPCWSTR path)
{
    if (GetCurrentThreadId() == g_throwOnThread && g_throwFor == path)
        throw std::bad_alloc();
    return g_throwingAttributes->Original()(path);
}

TEST_F(DeleteItemDlgTest, CloseProgressAfterAJobThatBrokeOffWithoutItsCompletionEndsWithCancel)
{
    // The owner empties the recycle bin on IDOK: a job that ended without finishing is no success, though
    // its error record is empty and nothing stopped it.
    const PathList files = Files(2, 10);
    const PathList folders;
    ImportPatch<decltype(::GetFileAttributesW)> attributes("GetFileAttributesW", &ThrowingAttributes);
    g_throwingAttributes = &attributes;
    g_throwFor = files[1];
    TestDlg dlg(&files, &folders, FALSE);
    g_throwOnThread = GetThreadId(dlg.m_deleteThread.m_hThread);
    bool closed = false;
    DialogWatch watch([&] { return dlg.m_hWnd; }, 1);
    watch.m_onTick = [&](HWND dialog) {
        if (!closed && dlg.m_deleteState == CDeleteItemDlg::kJobStarted && HasEndedForTest(dlg.m_deleteThread)) {
            closed = true;
            SendMessageW(dialog, WM_CLOSE_PROGRESS, 0, 0);
        }
    };
    const INT_PTR result = dlg.DoModal();
    EXPECT_TRUE(closed);
    EXPECT_EQ(IDCANCEL, result);
    EXPECT_FALSE(Exists(files[0]));
    EXPECT_TRUE(Exists(files[1]));  // never shredded
}

// Wine cannot make ResumeThread fail: the fake refuses the resume of one thread (the counting job's).
ImportPatch<decltype(::ResumeThread)>* g_resume = nullptr;
HANDLE g_refusedThread = nullptr;
DWORD WINAPI RefuseResume(HANDLE thread)
{
    if (thread != g_refusedThread)
        return g_resume->Original()(thread);
    SetLastError(ERROR_ACCESS_DENIED);
    return static_cast<DWORD>(-1);
}

TEST_F(DeleteItemDlgTest, AJobThatCannotStartShowsTheHiddenDialogSoThatItCanBeCancelled)
{
    const PathList files = Files(2, 10);
    const PathList folders;
    TestDlg dlg(&files, &folders, FALSE);
    ImportPatch<decltype(::ResumeThread)> resume("ResumeThread", &RefuseResume);
    ASSERT_TRUE(resume.IsActive());
    g_resume = &resume;
    g_refusedThread = dlg.m_metricsThread.m_hThread;
    bool shown = false;
    DialogWatch watch([&] { return dlg.m_hWnd; });
    watch.m_onTick = [&](HWND dialog) {
        if (!shown && IsWindowVisible(dialog)) {
            shown = true;
            PostMessageW(dialog, WM_CLOSE, 0, 0);
        }
    };
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    EXPECT_TRUE(shown);
    EXPECT_EQ(CDeleteItemDlg::kJobFailedToStart, dlg.m_metricsState);
    EXPECT_FALSE(dlg.m_metricsThread.m_running);
}

// Wine reports 6.1 (major version 5 only with a per-program setting): the fake answers what is asked.
struct VersionAnswer {
    BOOL exWorks;
    BOOL plainWorks;
    DWORD major;
} g_version;
BOOL WINAPI FakeVersion(LPOSVERSIONINFOW info)
{
    const bool ex = info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW);
    if (ex ? !g_version.exWorks : !g_version.plainWorks) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->dwMajorVersion = g_version.major;
    info->dwMinorVersion = 1;
    return TRUE;
}

TEST_F(DeleteItemDlgTest, MajorVersion5GivesTheOlderTemplate)
{
    ImportPatch<decltype(::GetVersionExW)> version("GetVersionExW", &FakeVersion);
    ASSERT_TRUE(version.IsActive());
    const struct {
        VersionAnswer answer;
        bool five;
    } cases[] = {
        {{TRUE, TRUE, 5}, true},
        {{FALSE, TRUE, 5}, true},  // the extended record refused: the plain one
        {{FALSE, FALSE, 5}, false},
        {{TRUE, TRUE, 6}, false},
        {{TRUE, TRUE, 10}, false},
    };
    for (const auto& c : cases) {
        g_version = c.answer;
        EXPECT_EQ(c.five, IsWindowsMajorVersion5()) << c.answer.exWorks << c.answer.plainWorks << c.answer.major;
    }

    g_version = {TRUE, TRUE, 5};
    const PathList files = Files(2, 10);
    const PathList folders;
    TestDlg dlg(&files, &folders, FALSE);
    TestDlg recycleBin(&files, &folders, TRUE);
    EXPECT_EQ(IDD_DELETE_ITEMS_XP, dlg.TemplateId());
    EXPECT_EQ(IDD_DELETE_SPACE, recycleBin.TemplateId());
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_TRUE(AllGone(files));
}

}  // namespace
