// The ground the rest stands on: binaries that need no mingw run-time DLL, and wide formatting with the
// Microsoft meaning of %s that the string-table texts are written for.
#include <windows.h>

#include <cwchar>

#include <gtest/gtest.h>

TEST(Platform, RuntimeIsLinkedStatically)
{
    for (const wchar_t* dll : {L"libstdc++-6.dll", L"libgcc_s_seh-1.dll", L"libwinpthread-1.dll"})
        EXPECT_EQ(GetModuleHandleW(dll), nullptr) << dll;
}

TEST(Platform, MsvcrtWideFormattingTakesWideStrings)
{
    wchar_t buffer[64];
    ASSERT_GT(_snwprintf(buffer, 64, L"[%s] %I64d %d", L"wide", 1234567890123LL, 7), 0);
    EXPECT_STREQ(buffer, L"[wide] 1234567890123 7");
}
