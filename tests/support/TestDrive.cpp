#include "TestDrive.h"

#include <cwchar>

std::wstring TestDriveRoot()
{
    wchar_t value[16] = {};
    const DWORD n = GetEnvironmentVariableW(L"PELLUMAR_TMPFS_DRIVE", value, 16);
    return n > 0 && n < 16 ? std::wstring(value) : std::wstring();
}

uint64_t DriveFreeBytes(const std::wstring& root, uint64_t* capacity)
{
    ULARGE_INTEGER available = {}, total = {}, totalFree = {};
    if (!GetDiskFreeSpaceExW(root.c_str(), &available, &total, &totalFree)) {
        return UINT64_MAX;
    }
    if (capacity) {
        *capacity = total.QuadPart;
    }
    return available.QuadPart;
}

bool DriveIsEmpty(const std::wstring& root)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((root + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return true;
    }
    bool empty = true;
    do {
        if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) {
            empty = false;
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return empty;
}

::testing::AssertionResult IsSmallEmptyTestDrive(const std::wstring& root, uint64_t* capacity, uint64_t* free)
{
    uint64_t capacityHere = 0, freeHere = 0;
    if (!capacity)
        capacity = &capacityHere;
    if (!free)
        free = &freeHere;
    *free = DriveFreeBytes(root, capacity);
    if (*free == UINT64_MAX)
        return ::testing::AssertionFailure() << "the free space of the test drive cannot be read";
    if (*capacity > 256ull * 1024 * 1024)
        return ::testing::AssertionFailure() << "not the small test drive: " << *capacity << " bytes";
    if (*capacity != *free || !DriveIsEmpty(root))
        return ::testing::AssertionFailure() << "the test drive is not empty";
    return ::testing::AssertionSuccess();
}
