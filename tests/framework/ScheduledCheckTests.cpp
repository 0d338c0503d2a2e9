// The dialog tests' scheduled checks (RunSoon of DialogTestUtil) inside a real modal loop: a check whose
// ASSERT fails ends the dialog at once, and a check that crashes ends the test program at once, where
// either would otherwise leave the dialog running until the test program is killed. The cases fail by
// design, so each runs in a child run of this program (its disabled tests), watched from here.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "DialogTestUtil.h"
#include "TempDir.h"
#include "framework/Framework.h"

namespace {

CDialog* g_dialog = nullptr;   // the dialog RunDialog runs

// Runs a modal dialog whose loop runs the scheduled steps; returns what DoModal returned.
INT_PTR RunDialog()
{
    DialogTemplateBuilder templ(L"Scheduled check", 120, 40);
    CDialog dlg;
    if (!dlg.InitModalIndirect(templ.Get()))
        return -100;
    g_dialog = &dlg;
    const INT_PTR result = dlg.DoModal();
    g_dialog = nullptr;
    return result;
}

struct ChildRun {
    bool ended = false;
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
};

// Runs this program on the given tests (disabled ones included), its output in a file of dir; a child
// that has not ended after 20 s is ended here.
ChildRun RunChild(const TempDir& dir, const std::string& filter)
{
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --gtest_also_run_disabled_tests --gtest_filter=" +
                               std::wstring(filter.begin(), filter.end());
    const std::wstring outputPath = dir.Join(L"output.txt");
    SECURITY_ATTRIBUTES inherit{ sizeof(inherit), nullptr, TRUE };
    HANDLE output = ::CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                  CREATE_ALWAYS, 0, nullptr);
    ChildRun run;
    if (output == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot make the output file: " << ::GetLastError();
        return run;
    }
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nullptr;
    si.hStdOutput = output;
    si.hStdError = output;
    PROCESS_INFORMATION pi{};
    const BOOL started = ::CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    ::CloseHandle(output);
    if (!started) {
        ADD_FAILURE() << "cannot start the child run: " << ::GetLastError();
        return run;
    }
    run.ended = ::WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0;
    if (!run.ended) {
        ::TerminateProcess(pi.hProcess, 99);
        ::WaitForSingleObject(pi.hProcess, 5000);
    }
    ::GetExitCodeProcess(pi.hProcess, &run.exitCode);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    const std::vector<uint8_t> bytes = TempDir::ReadFile(outputPath);
    run.output.assign(bytes.begin(), bytes.end());
    return run;
}

}

// ---- the child runs ----------------------------------------------------------------------------------

TEST(ScheduledCheck, DISABLED_FailsInsideAModalLoop)
{
    RunSoon(10, [] { ASSERT_TRUE(false) << "a deliberate failure inside the modal loop"; });
    std::printf("the dialog ended with %d\n", static_cast<int>(RunDialog()));
}

TEST(ScheduledCheck, DISABLED_RunsItsOwnDialogAfterAFailedOne)
{
    RunSoon(10, [] { g_dialog->EndDialog(IDOK); });
    std::printf("the next dialog ended with %d\n", static_cast<int>(RunDialog()));
}

TEST(ScheduledCheck, DISABLED_CrashesInsideAModalLoop)
{
    RunSoon(10, [] {
        volatile uintptr_t nowhere = 8;
        *reinterpret_cast<volatile int*>(nowhere) = 1;
    });
    std::printf("the dialog ended with %d\n", static_cast<int>(RunDialog()));
}

// ---- the tests ---------------------------------------------------------------------------------------

TEST(ScheduledCheck, AFailedCheckEndsItsDialogAndTheNextTestRunsItsOwn)
{
    TempDir dir(L"pellumar-check");
    ASSERT_TRUE(dir.IsValid());
    const ChildRun run = RunChild(dir, "ScheduledCheck.DISABLED_FailsInsideAModalLoop:"
                                       "ScheduledCheck.DISABLED_RunsItsOwnDialogAfterAFailedOne");
    EXPECT_TRUE(run.ended) << "the dialog ran on after its check had failed";
    EXPECT_EQ(run.exitCode, 1u);
    for (const char* line : { "a deliberate failure inside the modal loop", "the dialog ended with -1",
                              "[  FAILED  ] ScheduledCheck.DISABLED_FailsInsideAModalLoop",
                              "the next dialog ended with 1",
                              "[       OK ] ScheduledCheck.DISABLED_RunsItsOwnDialogAfterAFailedOne" })
        EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n--- the child's output:\n" << run.output;
}

TEST(ScheduledCheck, ACrashInACheckEndsTheProgramAndSaysWhere)
{
    TempDir dir(L"pellumar-check");
    ASSERT_TRUE(dir.IsValid());
    const ChildRun run = RunChild(dir, "ScheduledCheck.DISABLED_CrashesInsideAModalLoop");
    EXPECT_TRUE(run.ended) << "the dialog ran on after its check had crashed";
    EXPECT_EQ(run.exitCode, 3u);
    EXPECT_NE(run.output.find("ScheduledCheck.DISABLED_CrashesInsideAModalLoop: crash 0xc0000005 at "),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("the dialog ended with"), std::string::npos) << run.output;
}
