#pragma once
// The job thread that wipes the free space of one drive: asks the progress dialog to show itself, makes
// a temporary folder directly under the drive root, lets the engine fill the free space (and then the
// free NTFS file records) with overwritten files in it, deletes the folder with everything in it, and
// reports completion with a failure flag that the dialog reads.
#include <windows.h>

#include <cstdint>

#include "Thread.h"
#include "framework/CString.h"

class CleanFreeSpaceThread : public Thread {
public:
    // The thread is created suspended; m_drivePath stays empty (the dialog never resumes such a job).
    CleanFreeSpaceThread();
    // drivePath: the drive's root path, such as C:\.
    explicit CleanFreeSpaceThread(const CString& drivePath);
    ~CleanFreeSpaceThread() override;

    void Run() override;

    HWND m_hWnd = nullptr;  // the progress dialog; written before the resume
    CString m_drivePath;    // root path of the drive, with its trailing backslash
    int32_t m_method = 0;   // erasure method index; written before the resume
    int32_t m_failed = 0;   // 1 the wipe failed, 0 it succeeded; set before WM_FREE_SPACE_DONE
    // Free bytes that the fill could not reach (a disk quota, a reserve) when that failed the wipe; else 0.
    // Set with m_failed.
    uint64_t m_unwipedBytes = 0;
};

// folderName = drivePath (given a trailing backslash when it lacks one) followed by a new UUID in its
// string form (36 lower-case characters 8-4-4-4-12). 1 on success; 0 when no UUID or no UUID string can
// be made, or drivePath is empty.
int MakeUniqueFolderName(const CString& drivePath, CString& folderName);
