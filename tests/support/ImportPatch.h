#pragma once
// The tests' one seam to the operating system: swaps one function that the test program imports for a
// fake, for the lifetime of the object, by rewriting the program's import address table.
//
// Production code calls the Win32 API directly; every such call of code linked into the test program
// goes through the program's import address table, so a fake installed here sees it. Calls that other
// DLLs make on their own (msvcrt, shell32, ...) and functions looked up with GetProcAddress are not seen.
//
// Use a fake only where Wine cannot show the behaviour (say which in a comment at the test), and let it
// forward everything it does not care about to the real function:
//
//     static ImportPatch<decltype(::GetDiskFreeSpaceW)>* g_space;
//     static BOOL WINAPI FakeSpace(LPCWSTR root, LPDWORD spc, LPDWORD bps, LPDWORD fc, LPDWORD tc) {
//         if (...) { ...; return TRUE; }
//         return g_space->Original()(root, spc, bps, fc, tc);
//     }
//     ImportPatch<decltype(::GetDiskFreeSpaceW)> space("GetDiskFreeSpaceW", &FakeSpace);
//     g_space = &space;
//     ASSERT_TRUE(space.IsActive());
//
// Patches nest: the later one sees the earlier fake as its original, and they must end in reverse order
// (which scoped objects do). The destructor restores the slots it changed.
#include <windows.h>

#include <vector>

class ImportPatchBase {
public:
    ImportPatchBase(const ImportPatchBase&) = delete;
    ImportPatchBase& operator=(const ImportPatchBase&) = delete;

    // True when at least one import slot was found and now points at the fake.
    bool IsActive() const { return !m_slots.empty(); }
    // How many slots were changed (a function imported from two DLL names has two).
    size_t SlotCount() const { return m_slots.size(); }

protected:
    // function: the imported name, case-sensitive. dll: the DLL name to match case-insensitively
    // ("KERNEL32.dll"), or nullptr for every DLL. module: whose imports to patch, nullptr for the program.
    ImportPatchBase(const char* function, const void* replacement, const char* dll, HMODULE module);
    ~ImportPatchBase();

    void* m_original = nullptr;

private:
    struct Slot { void** m_address; void* m_saved; };
    std::vector<Slot> m_slots;
};

template <class Fn>
class ImportPatch : public ImportPatchBase {
public:
    ImportPatch(const char* function, Fn* replacement, const char* dll = nullptr, HMODULE module = nullptr)
        : ImportPatchBase(function, reinterpret_cast<const void*>(replacement), dll, module) {}

    // The function the slot held before the patch (the real one, unless another patch was already there);
    // nullptr when the patch is not active.
    Fn* Original() const { return reinterpret_cast<Fn*>(m_original); }
};
