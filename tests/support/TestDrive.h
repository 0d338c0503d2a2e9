// The real small drive of the drive tests: a tmpfs that scripts/with-tmpfs-drive mounts and maps to a drive
// letter of a Wine prefix of its own, named by PELLUMAR_TMPFS_DRIVE. Nothing else may stand in for it: a
// fill or a shredded root on the prefix's usual drives would reach the machine's own disk.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

// The drive's root ("T:\"), or empty when the test does not run through the script.
std::wstring TestDriveRoot();

// Bytes free to the caller on root (UINT64_MAX when unreadable); *capacity gets the drive's size.
uint64_t DriveFreeBytes(const std::wstring& root, uint64_t* capacity = nullptr);

// Whether root holds no entry.
bool DriveIsEmpty(const std::wstring& root);

// Whether root is the small test drive and still empty (at most 256 MiB, all of it free, no entry);
// *capacity and *free (either may be NULL) get its size and free bytes. A test that fills or shreds a drive
// stops unless it is.
::testing::AssertionResult IsSmallEmptyTestDrive(const std::wstring& root, uint64_t* capacity = nullptr,
                                                 uint64_t* free = nullptr);

// The message the drive tests skip with when there is no test drive.
inline const char* kNoTestDrive = "needs a real small drive: run through scripts/with-tmpfs-drive (ctest does)";

// In a test or a fixture's SetUp: root gets the test drive's root; the test is skipped where there is no test
// drive, and stops failed unless the drive is small and empty. A macro, because skipping and failing return
// from the caller.
#define USE_SMALL_EMPTY_TEST_DRIVE(root, capacity, free)                                                     \
    do {                                                                                                     \
        (root) = TestDriveRoot();                                                                            \
        if ((root).empty())                                                                                  \
            GTEST_SKIP() << kNoTestDrive;                                                                    \
        ASSERT_TRUE(IsSmallEmptyTestDrive((root), (capacity), (free)));                                      \
    } while (0)
