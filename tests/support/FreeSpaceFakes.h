#pragma once
// Fakes of the volume and file calls that the free-space fill makes, for what Wine cannot show: a
// drive's free bytes and cluster size, an extension that does not fit (Wine extends every file sparsely),
// a write that runs into the end of a Windows drive, NTFS file records (Wine answers no NTFS volume
// data), and writes that should not reach the machine's disk (the 216 MiB fill files).
//
// Every fake forwards to the real function unless a test switched its behaviour on. Only files whose
// paths lie in the watched folder are touched: the fills under test make nothing else. One object at a
// time; it removes its patches when it goes. The fakes are called from job threads too, so the counters
// are read through the accessors, which lock. A fill that would never end under a fake (a regression)
// is stopped after 50 files or 10000 refused extensions, and its test then fails.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class FreeSpaceFakes {
public:
    // folder: the fill's folder (without trailing backslash); files below it are the fill's files.
    explicit FreeSpaceFakes(std::wstring folder);
    ~FreeSpaceFakes();
    FreeSpaceFakes(const FreeSpaceFakes&) = delete;
    FreeSpaceFakes& operator=(const FreeSpaceFakes&) = delete;

    // True when every patch found its import slot.
    bool IsActive() const;

    void SetFolder(std::wstring folder);

    // GetDiskFreeSpaceExW (any root) answers these free bytes in turn (total free, and available to the
    // caller unless SetCallerFreeBytes says otherwise); the last one repeats. As on a full drive, once it
    // has answered 0 a further fill file (created with CREATE_ALWAYS) is refused with ERROR_DISK_FULL,
    // unless KeepTakingFillFiles was called.
    void SetFreeBytes(std::vector<uint64_t> answers);
    // The bytes available to the caller that GetDiskFreeSpaceExW answers in turn (a disk quota); the last
    // one repeats.
    void SetCallerFreeBytes(std::vector<uint64_t> answers);
    // The drive takes fill files although its free bytes read 0 (a reserve that the caller may write).
    void KeepTakingFillFiles();
    // GetDiskFreeSpaceExW answers the real free bytes, the first answer raised by extra bytes.
    void InflateFirstFreeBytes(uint64_t extra);
    // GetDiskFreeSpaceExW answers the real free bytes, with bytes more in every total-free answer and none
    // in the caller's share: space that a quota or a reserve keeps from the caller.
    void HoldBackFreeBytes(uint64_t bytes);
    // GetDiskFreeSpaceExW fails (ERROR_NOT_READY).
    void FailFreeBytes();
    // GetDiskFreeSpaceW answers clusters of 8 sectors of bytes/8 (0: the call fails).
    void SetClusterSize(DWORD bytes);
    // SetEndOfFile of a fill file beyond maxSize bytes fails with ERROR_DISK_FULL, as on NTFS.
    void LimitExtension(uint64_t maxSize);
    // WriteFile of a fill file that would reach beyond endOfDrive bytes into it fails with error and
    // writes nothing, as Windows does when the drive is full. From then on the drive is full: every write
    // into another fill file fails the same way.
    void FailWritesBeyond(uint64_t endOfDrive, DWORD error);
    // The first WriteFile of a fill file that would leave fewer than bytes free on the real drive is
    // refused for lack of space with nothing written; later writes are real. So ext4 refuses a write while
    // it holds back a few clusters for the writes in flight, and gives them back afterwards.
    void HoldBackOnce(uint64_t bytes);
    // WriteFile of a fill file fails at once with error.
    void FailWrites(DWORD error);
    // WriteFile of a fill file writes nothing and reports success; the bytes are counted.
    void DiscardWrites();
    // CreateFileW of a file in the folder fails with error after this many have been opened (at most 50).
    void FailCreatesAfter(int opened, DWORD error = ERROR_DISK_FULL);
    // FSCTL_GET_NTFS_VOLUME_DATA answers with this file-record size (0: forward to the real call).
    void SetRecordSize(uint32_t bytes);
    // Called before every WriteFile of a fill file, with the number of that write (from 1).
    void OnWrite(std::function<void(int)> hook);

    int FreeBytesCalls() const;
    int ClusterCalls() const;
    int ExtensionCalls() const;
    int WriteCalls() const;
    // Bytes WriteFile was asked to write into each file of the folder, by path, over the whole test.
    std::map<std::wstring, uint64_t> BytesWritten() const;

    struct State;

private:
    std::unique_ptr<State> m_state;
};

// The plain files directly in folder (names only), sorted.
std::vector<std::wstring> FilesIn(const std::wstring& folder);
// The plain files in folder and in every folder below it (paths relative to folder), sorted.
std::vector<std::wstring> FilesBelow(const std::wstring& folder);
// Total size of the files directly in folder.
uint64_t TotalSizeIn(const std::wstring& folder);
// True when every byte of the file equals value (and the file could be read).
bool FileHoldsOnly(const std::wstring& path, uint8_t value);
