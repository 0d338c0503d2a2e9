#include "FreeSpaceFakes.h"

#include <winioctl.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>

#include "ImportPatch.h"

struct FreeSpaceFakes::State {
    mutable std::mutex m_lock;
    std::wstring m_folder;

    bool m_freeSet = false;
    bool m_freeFails = false;
    std::vector<uint64_t> m_freeAnswers;
    bool m_callerSet = false;
    std::vector<uint64_t> m_callerAnswers;
    bool m_takesFilesWhenFull = false;
    bool m_full = false;  // the last answer in force was 0 free bytes
    uint64_t m_inflateFirst = 0;
    uint64_t m_heldBack = 0;  // added to every real total-free answer, not to the caller's share
    int m_freeCalls = 0;

    bool m_clusterSet = false;
    DWORD m_cluster = 0;
    int m_clusterCalls = 0;

    uint64_t m_extensionLimit = UINT64_MAX;
    int m_extensionCalls = 0;

    enum class Writes { Real, Discard, Fail, FailBeyond } m_writes = Writes::Real;
    DWORD m_writeError = 0;
    uint64_t m_endOfDrive = 0;
    std::wstring m_endMetBy;  // the fill file whose write first met the end: the drive is full for others
    uint64_t m_holdBackOnce = 0;  // a write that would leave fewer free bytes is refused, once
    int m_writeCalls = 0;
    std::function<void(int)> m_onWrite;

    // No test makes more than a few files: a fill that would go on without end is stopped by these.
    static constexpr int kCreateBound = 50;
    static constexpr int kRefusedExtensionBound = 10000;
    int m_createLimit = kCreateBound;
    DWORD m_createError = ERROR_DISK_FULL;
    int m_refusedExtensions = 0;
    int m_creates = 0;

    uint32_t m_recordSize = 0;

    std::map<HANDLE, std::wstring> m_files;  // open fill files: handle -> path
    std::map<std::wstring, uint64_t> m_written;

    std::unique_ptr<ImportPatch<decltype(::CreateFileW)>> m_createFile;
    std::unique_ptr<ImportPatch<decltype(::CloseHandle)>> m_closeHandle;
    std::unique_ptr<ImportPatch<decltype(::WriteFile)>> m_writeFile;
    std::unique_ptr<ImportPatch<decltype(::SetEndOfFile)>> m_setEndOfFile;
    std::unique_ptr<ImportPatch<decltype(::GetDiskFreeSpaceExW)>> m_freeSpaceEx;
    std::unique_ptr<ImportPatch<decltype(::GetDiskFreeSpaceW)>> m_freeSpace;
    std::unique_ptr<ImportPatch<decltype(::DeviceIoControl)>> m_ioControl;

    bool InFolder(const wchar_t* path) const
    {
        if (!path || m_folder.empty()) {
            return false;
        }
        const size_t n = m_folder.size();
        return wcslen(path) > n && _wcsnicmp(path, m_folder.c_str(), n) == 0 && path[n] == L'\\';
    }
};

namespace {

FreeSpaceFakes::State* g_state = nullptr;

HANDLE WINAPI FakeCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile)
{
    FreeSpaceFakes::State& s = *g_state;
    // The fills create their files (CREATE_ALWAYS, CREATE_NEW); the tests' own reads open existing ones.
    const bool fillFile = (disposition == CREATE_ALWAYS || disposition == CREATE_NEW) && s.InFolder(name);
    if (fillFile) {
        std::lock_guard<std::mutex> lock(s.m_lock);
        if (s.m_createLimit >= 0 && s.m_creates >= s.m_createLimit) {
            SetLastError(s.m_creates >= FreeSpaceFakes::State::kCreateBound ? ERROR_DISK_FULL : s.m_createError);
            return INVALID_HANDLE_VALUE;
        }
        if (disposition == CREATE_ALWAYS && s.m_full && !s.m_takesFilesWhenFull) {
            SetLastError(ERROR_DISK_FULL);
            return INVALID_HANDLE_VALUE;
        }
    }
    HANDLE h = s.m_createFile->Original()(name, access, share, security, disposition, flags, templateFile);
    if (fillFile && h != INVALID_HANDLE_VALUE) {
        std::lock_guard<std::mutex> lock(s.m_lock);
        ++s.m_creates;
        s.m_files[h] = name;
        s.m_written.emplace(name, 0);
    }
    return h;
}

BOOL WINAPI FakeCloseHandle(HANDLE h)
{
    FreeSpaceFakes::State& s = *g_state;
    {
        std::lock_guard<std::mutex> lock(s.m_lock);
        s.m_files.erase(h);
    }
    return s.m_closeHandle->Original()(h);
}

BOOL WINAPI FakeWriteFile(HANDLE h, LPCVOID data, DWORD size, LPDWORD done, LPOVERLAPPED overlapped)
{
    FreeSpaceFakes::State& s = *g_state;
    std::function<void(int)> hook;
    int number = 0;
    FreeSpaceFakes::State::Writes mode;
    DWORD error;
    uint64_t endOfDrive;
    std::wstring path;
    bool otherFileMetEnd = false;
    {
        std::lock_guard<std::mutex> lock(s.m_lock);
        auto it = s.m_files.find(h);
        if (it == s.m_files.end()) {
            mode = FreeSpaceFakes::State::Writes::Real;
            error = 0;
            endOfDrive = 0;
        } else {
            number = ++s.m_writeCalls;
            hook = s.m_onWrite;
            mode = s.m_writes;
            error = s.m_writeError;
            endOfDrive = s.m_endOfDrive;
            path = it->second;
            otherFileMetEnd = !s.m_endMetBy.empty() && s.m_endMetBy != path;
            s.m_written[it->second] += size;
        }
    }
    if (number != 0 && s.m_holdBackOnce != 0) {
        ULARGE_INTEGER available, total, totalFree;
        if (s.m_freeSpaceEx->Original()(s.m_folder.c_str(), &available, &total, &totalFree) &&
            totalFree.QuadPart < s.m_holdBackOnce + size) {
            {
                std::lock_guard<std::mutex> lock(s.m_lock);
                s.m_holdBackOnce = 0;
            }
            if (done) {
                *done = 0;
            }
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }
    }
    if (number == 0) {
        return s.m_writeFile->Original()(h, data, size, done, overlapped);
    }
    if (hook) {
        hook(number);
    }
    switch (mode) {
    case FreeSpaceFakes::State::Writes::Discard:
        if (done) {
            *done = size;
        }
        return TRUE;
    case FreeSpaceFakes::State::Writes::Fail:
        if (done) {
            *done = 0;
        }
        SetLastError(error);
        return FALSE;
    case FreeSpaceFakes::State::Writes::FailBeyond: {
        LARGE_INTEGER zero = {};
        LARGE_INTEGER position;
        if (otherFileMetEnd || (SetFilePointerEx(h, zero, &position, FILE_CURRENT) &&
                                static_cast<uint64_t>(position.QuadPart) + size > endOfDrive)) {
            {
                std::lock_guard<std::mutex> lock(s.m_lock);
                if (s.m_endMetBy.empty()) {
                    s.m_endMetBy = path;
                }
            }
            if (done) {
                *done = 0;
            }
            SetLastError(error);
            return FALSE;
        }
        break;
    }
    case FreeSpaceFakes::State::Writes::Real:
        break;
    }
    return s.m_writeFile->Original()(h, data, size, done, overlapped);
}

BOOL WINAPI FakeSetEndOfFile(HANDLE h)
{
    FreeSpaceFakes::State& s = *g_state;
    uint64_t limit = UINT64_MAX;
    {
        std::lock_guard<std::mutex> lock(s.m_lock);
        if (s.m_files.count(h)) {
            ++s.m_extensionCalls;
            limit = s.m_extensionLimit;
        }
    }
    if (limit != UINT64_MAX) {
        LARGE_INTEGER zero = {};
        LARGE_INTEGER position;
        std::lock_guard<std::mutex> lock(s.m_lock);
        if (SetFilePointerEx(h, zero, &position, FILE_CURRENT) &&
            static_cast<uint64_t>(position.QuadPart) > limit &&
            s.m_refusedExtensions < FreeSpaceFakes::State::kRefusedExtensionBound) {
            ++s.m_refusedExtensions;
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }
    }
    return s.m_setEndOfFile->Original()(h);
}

BOOL WINAPI FakeGetDiskFreeSpaceExW(LPCWSTR root, PULARGE_INTEGER available, PULARGE_INTEGER total,
                                    PULARGE_INTEGER totalFree)
{
    FreeSpaceFakes::State& s = *g_state;
    uint64_t answer = 0;
    uint64_t callerAnswer = 0;
    uint64_t inflate = 0;
    uint64_t heldBack = 0;
    {
        std::lock_guard<std::mutex> lock(s.m_lock);
        const int call = s.m_freeCalls++;
        if (s.m_freeFails) {
            SetLastError(ERROR_NOT_READY);
            return FALSE;
        }
        auto inTurn = [call](const std::vector<uint64_t>& answers) -> uint64_t {
            if (answers.empty()) {
                return 0;
            }
            return answers[static_cast<size_t>(call) < answers.size() ? static_cast<size_t>(call)
                                                                       : answers.size() - 1];
        };
        if (s.m_freeSet) {
            answer = inTurn(s.m_freeAnswers);
            callerAnswer = s.m_callerSet ? inTurn(s.m_callerAnswers) : answer;
            s.m_full = answer == 0;
        } else if (call == 0) {
            inflate = s.m_inflateFirst;
        }
        heldBack = s.m_heldBack;
    }
    if (!s.m_freeSet) {
        BOOL ok = s.m_freeSpaceEx->Original()(root, available, total, totalFree);
        if (ok && available) {
            available->QuadPart += inflate;
        }
        if (ok && totalFree) {
            totalFree->QuadPart += inflate + heldBack;
        }
        return ok;
    }
    if (available) {
        available->QuadPart = callerAnswer;
    }
    if (total) {
        total->QuadPart = answer + 64 * 1024 * 1024;
    }
    if (totalFree) {
        totalFree->QuadPart = answer;
    }
    return TRUE;
}

BOOL WINAPI FakeGetDiskFreeSpaceW(LPCWSTR root, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                                  LPDWORD freeClusters, LPDWORD totalClusters)
{
    FreeSpaceFakes::State& s = *g_state;
    DWORD cluster;
    {
        std::lock_guard<std::mutex> lock(s.m_lock);
        ++s.m_clusterCalls;
        if (!s.m_clusterSet) {
            cluster = UINT32_MAX;
        } else {
            cluster = s.m_cluster;
        }
    }
    if (cluster == UINT32_MAX) {
        return s.m_freeSpace->Original()(root, sectorsPerCluster, bytesPerSector, freeClusters, totalClusters);
    }
    if (cluster == 0) {
        SetLastError(ERROR_NOT_READY);
        return FALSE;
    }
    *sectorsPerCluster = 8;
    *bytesPerSector = cluster / 8;
    *freeClusters = 0;
    *totalClusters = 0x10000;
    return TRUE;
}

BOOL WINAPI FakeDeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD returned, LPOVERLAPPED overlapped)
{
    FreeSpaceFakes::State& s = *g_state;
    uint32_t recordSize;
    {
        std::lock_guard<std::mutex> lock(s.m_lock);
        recordSize = s.m_recordSize;
    }
    if (code == FSCTL_GET_NTFS_VOLUME_DATA && recordSize != 0 && out && outSize >= sizeof(NTFS_VOLUME_DATA_BUFFER)) {
        auto* data = static_cast<NTFS_VOLUME_DATA_BUFFER*>(out);
        *data = {};
        data->BytesPerSector = 512;
        data->BytesPerCluster = 4096;
        data->BytesPerFileRecordSegment = recordSize;
        if (returned) {
            *returned = sizeof(NTFS_VOLUME_DATA_BUFFER);
        }
        return TRUE;
    }
    return s.m_ioControl->Original()(h, code, in, inSize, out, outSize, returned, overlapped);
}

}  // namespace

FreeSpaceFakes::FreeSpaceFakes(std::wstring folder) : m_state(new State)
{
    m_state->m_folder = std::move(folder);
    // Patches of two objects would forward into each other through one state: one object at a time.
    if (g_state) {
        std::fprintf(stderr, "FreeSpaceFakes: another object is still active\n");
        std::abort();
    }
    g_state = m_state.get();
    State& s = *m_state;
    s.m_createFile.reset(new ImportPatch<decltype(::CreateFileW)>("CreateFileW", &FakeCreateFileW));
    s.m_closeHandle.reset(new ImportPatch<decltype(::CloseHandle)>("CloseHandle", &FakeCloseHandle));
    s.m_writeFile.reset(new ImportPatch<decltype(::WriteFile)>("WriteFile", &FakeWriteFile));
    s.m_setEndOfFile.reset(new ImportPatch<decltype(::SetEndOfFile)>("SetEndOfFile", &FakeSetEndOfFile));
    s.m_freeSpaceEx.reset(
        new ImportPatch<decltype(::GetDiskFreeSpaceExW)>("GetDiskFreeSpaceExW", &FakeGetDiskFreeSpaceExW));
    s.m_freeSpace.reset(new ImportPatch<decltype(::GetDiskFreeSpaceW)>("GetDiskFreeSpaceW", &FakeGetDiskFreeSpaceW));
    s.m_ioControl.reset(new ImportPatch<decltype(::DeviceIoControl)>("DeviceIoControl", &FakeDeviceIoControl));
}

FreeSpaceFakes::~FreeSpaceFakes()
{
    State& s = *m_state;
    // In reverse order of installation.
    s.m_ioControl.reset();
    s.m_freeSpace.reset();
    s.m_freeSpaceEx.reset();
    s.m_setEndOfFile.reset();
    s.m_writeFile.reset();
    s.m_closeHandle.reset();
    s.m_createFile.reset();
    g_state = nullptr;
}

bool FreeSpaceFakes::IsActive() const
{
    const State& s = *m_state;
    return s.m_createFile->IsActive() && s.m_closeHandle->IsActive() && s.m_writeFile->IsActive() &&
           s.m_setEndOfFile->IsActive() && s.m_freeSpaceEx->IsActive() && s.m_freeSpace->IsActive() &&
           s.m_ioControl->IsActive();
}

void FreeSpaceFakes::SetFolder(std::wstring folder)
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_folder = std::move(folder);
}

void FreeSpaceFakes::SetFreeBytes(std::vector<uint64_t> answers)
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_freeSet = true;
    m_state->m_freeFails = false;
    m_state->m_freeAnswers = std::move(answers);
}

void FreeSpaceFakes::SetCallerFreeBytes(std::vector<uint64_t> answers)
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_callerSet = true;
    m_state->m_callerAnswers = std::move(answers);
}

void FreeSpaceFakes::KeepTakingFillFiles()
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_takesFilesWhenFull = true;
}

void FreeSpaceFakes::InflateFirstFreeBytes(uint64_t extra)
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_inflateFirst = extra;
}

void FreeSpaceFakes::HoldBackFreeBytes(uint64_t bytes)
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_heldBack = bytes;
}

void FreeSpaceFakes::FailFreeBytes()
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_freeFails = true;
}

void FreeSpaceFakes::SetClusterSize(DWORD bytes)
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_clusterSet = true;
    m_state->m_cluster = bytes;
}

void FreeSpaceFakes::LimitExtension(uint64_t maxSize)
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_extensionLimit = maxSize;
}

void FreeSpaceFakes::HoldBackOnce(uint64_t bytes)
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_holdBackOnce = bytes;
}

void FreeSpaceFakes::FailWritesBeyond(uint64_t endOfDrive, DWORD error)
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_writes = State::Writes::FailBeyond;
    m_state->m_endOfDrive = endOfDrive;
    m_state->m_writeError = error;
}

void FreeSpaceFakes::FailWrites(DWORD error)
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_writes = State::Writes::Fail;
    m_state->m_writeError = error;
}

void FreeSpaceFakes::DiscardWrites()
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_writes = State::Writes::Discard;
}

void FreeSpaceFakes::FailCreatesAfter(int opened, DWORD error)
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_createLimit = opened;
    m_state->m_createError = error;
}

void FreeSpaceFakes::SetRecordSize(uint32_t bytes)
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_recordSize = bytes;
}

void FreeSpaceFakes::OnWrite(std::function<void(int)> hook)
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    m_state->m_onWrite = std::move(hook);
}

int FreeSpaceFakes::FreeBytesCalls() const
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    return m_state->m_freeCalls;
}

int FreeSpaceFakes::ClusterCalls() const
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    return m_state->m_clusterCalls;
}

int FreeSpaceFakes::ExtensionCalls() const
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    return m_state->m_extensionCalls;
}

int FreeSpaceFakes::WriteCalls() const
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    return m_state->m_writeCalls;
}

std::map<std::wstring, uint64_t> FreeSpaceFakes::BytesWritten() const
{
    std::lock_guard<std::mutex> lock(m_state->m_lock);
    return m_state->m_written;
}

namespace {

// The entries of folder as a search gives them, without "." and "..".
std::vector<WIN32_FIND_DATAW> EntriesOf(const std::wstring& folder)
{
    std::vector<WIN32_FIND_DATAW> entries;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return entries;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") {
            entries.push_back(data);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return entries;
}

bool IsFolderEntry(const WIN32_FIND_DATAW& entry)
{
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::vector<std::wstring> Sorted(const std::vector<std::wstring>& names)
{
    std::set<std::wstring> sorted(names.begin(), names.end());
    return std::vector<std::wstring>(sorted.begin(), sorted.end());
}

}  // namespace

std::vector<std::wstring> FilesIn(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    for (const WIN32_FIND_DATAW& entry : EntriesOf(folder)) {
        if (!IsFolderEntry(entry)) {
            names.push_back(entry.cFileName);
        }
    }
    return Sorted(names);
}

std::vector<std::wstring> FilesBelow(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    for (const WIN32_FIND_DATAW& entry : EntriesOf(folder)) {
        const std::wstring name = entry.cFileName;
        if (!IsFolderEntry(entry)) {
            names.push_back(name);
            continue;
        }
        for (const std::wstring& below : FilesBelow(folder + L"\\" + name)) {
            names.push_back(name + L"\\" + below);
        }
    }
    return Sorted(names);
}

uint64_t TotalSizeIn(const std::wstring& folder)
{
    uint64_t total = 0;
    for (const WIN32_FIND_DATAW& entry : EntriesOf(folder)) {
        if (!IsFolderEntry(entry)) {
            total += (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        }
    }
    return total;
}

bool FileHoldsOnly(const std::wstring& path, uint8_t value)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::vector<uint8_t> buffer(1024 * 1024);
    bool same = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            same = false;
            break;
        }
        if (got == 0) {
            break;
        }
        for (DWORD i = 0; i < got; ++i) {
            if (buffer[i] != value) {
                same = false;
                break;
            }
        }
        if (!same) {
            break;
        }
    }
    CloseHandle(file);
    return same;
}
