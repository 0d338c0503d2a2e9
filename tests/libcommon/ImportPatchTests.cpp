// The tests' OS seam: an imported function swapped for a fake and put back.
#include <windows.h>

#include <gtest/gtest.h>

#include "ImportPatch.h"

namespace {

DWORD WINAPI TickFortyTwo() { return 42; }
DWORD WINAPI TickSeven() { return 7; }

// The program imports GetTickCount (this file calls it), so its import slot exists. Not inlined: the
// compiler takes an imported function's address as constant and may keep it across the patch within one
// function (calls from the code under test are made in functions of their own).
__attribute__((noinline)) DWORD CallTick() { return ::GetTickCount(); }

}  // namespace

TEST(ImportPatch, SwapsTheImportAndRestoresItInReverseOrder)
{
    {
        ImportPatch<decltype(::GetTickCount)> outer("GetTickCount", &TickFortyTwo);
        ASSERT_TRUE(outer.IsActive());
        EXPECT_EQ(CallTick(), 42u);
        EXPECT_NE(outer.Original(), nullptr);
        EXPECT_NE(reinterpret_cast<void*>(outer.Original()), reinterpret_cast<void*>(&TickFortyTwo));
        {
            ImportPatch<decltype(::GetTickCount)> inner("GetTickCount", &TickSeven, "kernel32.dll");
            ASSERT_TRUE(inner.IsActive());
            EXPECT_EQ(CallTick(), 7u);
            EXPECT_EQ(inner.Original()(), 42u);  // the inner patch's original is the outer fake
        }
        EXPECT_EQ(CallTick(), 42u);
    }
    const DWORD now = CallTick();
    EXPECT_TRUE(now != 42u && now != 7u) << now;
}

TEST(ImportPatch, NamesThatAreNotImportedLeaveThePatchInactive)
{
    ImportPatch<decltype(::GetTickCount)> missing("NoSuchFunctionAnywhere", &TickFortyTwo);
    EXPECT_FALSE(missing.IsActive());
    EXPECT_EQ(missing.Original(), nullptr);

    ImportPatch<decltype(::GetTickCount)> wrongDll("GetTickCount", &TickFortyTwo, "user32.dll");
    EXPECT_FALSE(wrongDll.IsActive());
    EXPECT_NE(CallTick(), 42u);
}
