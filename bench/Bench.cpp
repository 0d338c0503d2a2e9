// Throughput of the overwrite loop, for comparison with what the disk and the generator allow:
//   pellumar_bench <file> [MiB]        (default 256 MiB; the file is made, overwritten and deleted)
// Prints MB/s (10^6 bytes a second) of plain 6 MiB write-through WriteFile calls, of WritePasses with
// method 1 (one constant pass) and method 0 (one random pass) on a write-through handle, and of the
// random generator alone in 96-byte GenerateBlock calls; then the ratios, constant/limit and
// random/generator as the last two lines. The plain writes and each method's run are timed up to and
// including their FlushFileBuffers (WritePasses flushes each pass itself), so the figures count what has
// reached the disk: Wine ignores write-through, and without the flush they would measure the page cache.
// Then the many-files figure: a folder of small files (1,000 of 4 KiB unless a third argument says how
// many) shredded through the shredding job's road (method 1), against the platform's floor, the same
// per-file steps done plainly in one loop: files/floor.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/jobs/DeleteItemsThread.h"
#include "engine/ErasureMethod.h"
#include "engine/ProgressMessages.h"

namespace {

double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Rate(uint64_t bytes, double seconds) { return seconds > 0 ? bytes / seconds / 1e6 : 0; }

HANDLE OpenForOverwrite(const std::wstring& path, DWORD disposition)
{
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
}

// Makes the file at its full size, untimed, so that every timed run below overwrites blocks that are
// already there, as a shredder does.
// size bytes written through buffer in whole-buffer WriteFile calls (the last one shorter).
bool WriteRepeatedly(HANDLE file, const std::vector<uint8_t>& buffer, uint64_t size)
{
    uint64_t left = size;
    bool ok = true;
    while (left > 0 && ok) {
        DWORD chunk = static_cast<DWORD>(left < buffer.size() ? left : buffer.size());
        DWORD written = 0;
        ok = WriteFile(file, buffer.data(), chunk, &written, nullptr) && written == chunk;
        left -= chunk;
    }
    return ok;
}

bool Prepare(const std::wstring& path, uint64_t size)
{
    HANDLE file = OpenForOverwrite(path, CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"cannot create %ls (error %lu)\n", path.c_str(), GetLastError());
        return false;
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(kOverwriteBufferSize), 0xEE);
    bool ok = WriteRepeatedly(file, buffer, size);
    if (!ok) {
        fwprintf(stderr, L"cannot write %ls (error %lu)\n", path.c_str(), GetLastError());
    }
    FlushFileBuffers(file);
    CloseHandle(file);
    return ok;
}

// The disk's limit: the same bytes over the same file in 6 MiB write-through WriteFile calls, without
// any pass work.
bool PlainWrite(const std::wstring& path, uint64_t size, double* rate)
{
    HANDLE file = OpenForOverwrite(path, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"cannot open %ls (error %lu)\n", path.c_str(), GetLastError());
        return false;
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(kOverwriteBufferSize), 0x5A);
    double start = Now();
    bool ok = WriteRepeatedly(file, buffer, size) && FlushFileBuffers(file);
    *rate = Rate(size, Now() - start);
    if (!ok) {
        fwprintf(stderr, L"plain write failed (error %lu)\n", GetLastError());
    }
    CloseHandle(file);
    return ok;
}

bool Overwrite(const std::wstring& path, uint32_t method, uint64_t size, double* rate)
{
    std::unique_ptr<CErasureMethod> list(CreateErasureMethod(method));
    HANDLE file = OpenForOverwrite(path, OPEN_EXISTING);
    if (!list || file == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"cannot open %ls (error %lu)\n", path.c_str(), GetLastError());
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        return false;
    }
    CancelFlag cancel{0};
    uint64_t zero = 0;
    double start = Now();
    // Each pass ends with its own flush, inside the timed call.
    const bool ok = list->WritePasses(nullptr, file, path.c_str(), &cancel, &size, &zero, &zero, nullptr, -1) ==
                    kPassesWritten;
    *rate = Rate(size, Now() - start);
    if (!ok) {
        fwprintf(stderr, L"method %u failed (error %lu)\n", method, GetLastError());
    }
    CloseHandle(file);
    return ok;
}

// The generator alone, as a random pass calls it: for five seconds, or the benchmark's size if less.
double GeneratorRate(uint64_t size)
{
    CryptoPP::AutoSeededX917RNG<CryptoPP::DES_EDE3> rng;
    uint8_t block[96];
    uint64_t bytes = 0;
    double start = Now();
    double elapsed = 0;
    do {
        for (int i = 0; i < 1024; ++i) {
            rng.GenerateBlock(block, sizeof(block));
        }
        bytes += 1024 * sizeof(block);
        elapsed = Now() - start;
    } while (elapsed < 5.0 && bytes < size);
    return Rate(bytes, elapsed);
}

// ---- many small files ----

constexpr DWORD kSmallFileSize = 4096;

bool MakeSmallFiles(const std::wstring& folder, uint32_t count)
{
    if (!CreateDirectoryW(folder.c_str(), nullptr)) {
        fwprintf(stderr, L"cannot create %ls (error %lu)\n", folder.c_str(), GetLastError());
        return false;
    }
    std::vector<uint8_t> data(kSmallFileSize, 0xEE);
    for (uint32_t i = 0; i < count; ++i) {
        wchar_t name[32];
        _snwprintf(name, 32, L"\\f%06u.bin", i);
        HANDLE file = CreateFileW((folder + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        const bool ok = file != INVALID_HANDLE_VALUE &&
                        WriteFile(file, data.data(), kSmallFileSize, &written, nullptr) && written == kSmallFileSize;
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        if (!ok) {
            fwprintf(stderr, L"cannot write the small files (error %lu)\n", GetLastError());
            return false;
        }
    }
    return true;
}

// The progress dialog's part: frees every payload the job posts.
LRESULT CALLBACK DropProgress(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_DELETE_PROGRESS) {
        delete reinterpret_cast<DeleteProgress*>(wParam);
        return 0;
    }
    return DefWindowProcW(hWnd, msg, wParam, lParam);
}

// The folder shredded by the shredding job on its own thread, its messages taken by a window here.
bool ShredThroughTheJob(const std::wstring& folder, uint32_t count, double* rate)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = &DropProgress;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"PellumarBenchProgress";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
    if (!window)
        return false;
    PathList folders = {folder};
    DeleteItemsThread job(nullptr, &folders);
    job.m_hWnd = window;
    job.m_method = 1;
    job.m_running = true;
    const double start = Now();
    if (ResumeThread(job.m_hThread) == static_cast<DWORD>(-1)) {
        DestroyWindow(window);
        return false;
    }
    while (MsgWaitForMultipleObjects(1, &job.m_hThread, FALSE, INFINITE, QS_ALLPOSTMESSAGE) != WAIT_OBJECT_0) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }
    *rate = count / (Now() - start);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
    DestroyWindow(window);
    if (job.m_error.m_kind != 0) {
        fwprintf(stderr, L"the job failed on %ls (kind %d, error %lu)\n", job.m_error.m_name.GetString(),
                 job.m_error.m_kind, job.m_error.m_lastError);
        return false;
    }
    return true;
}

// The floor: per file what shredding must do at the least (open, overwrite its cluster, flush, set its
// times, seven renames, delete), plainly in one loop after one volume query.
bool ShredPlainly(const std::wstring& folder, uint32_t count, double* rate)
{
    std::vector<uint8_t> data(kSmallFileSize, 0x55);
    const double start = Now();
    wchar_t volume[64];
    if (!GetVolumeNameForVolumeMountPointW(L"C:\\", volume, 64))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        wchar_t name[32];
        _snwprintf(name, 32, L"\\f%06u.bin", i);
        std::wstring current = folder + name;
        HANDLE file = CreateFileW(current.c_str(), FILE_WRITE_DATA, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
        DWORD written = 0;
        const bool ok = file != INVALID_HANDLE_VALUE && WriteFile(file, data.data(), kSmallFileSize, &written, nullptr) &&
                        FlushFileBuffers(file);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        if (!ok)
            return false;
        HANDLE item = CreateFileW(current.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (item == INVALID_HANDLE_VALUE)
            return false;
        const FILETIME earliest = {1, 0};
        SetFileTime(item, &earliest, &earliest, &earliest);
        CloseHandle(item);
        for (int rename = 0; rename < 7; ++rename) {
            wchar_t target[32];
            _snwprintf(target, 32, L"\\r%06u-%d.tmp", i, rename);
            const std::wstring next = folder + target;
            if (MoveFileW(current.c_str(), next.c_str()))
                current = next;
        }
        if (!DeleteFileW(current.c_str()))
            return false;
    }
    const bool removed = RemoveDirectoryW(folder.c_str()) != 0;
    *rate = count / (Now() - start);
    return removed;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fwprintf(stderr, L"usage: pellumar_bench <file> [MiB]\n");
        return 2;
    }
    const std::wstring path = argv[1];
    const uint64_t mib = argc > 2 ? _wcstoui64(argv[2], nullptr, 10) : 256;
    if (mib == 0) {
        fwprintf(stderr, L"the size must be at least 1 MiB\n");
        return 2;
    }
    const uint64_t size = mib * 1024 * 1024;
    const uint32_t files = argc > 3 ? static_cast<uint32_t>(_wcstoui64(argv[3], nullptr, 10)) : 1000;
    if (files == 0) {
        fwprintf(stderr, L"the number of small files must be at least 1\n");
        return 2;
    }
    wprintf(L"file %ls, %llu MiB\n", path.c_str(), static_cast<unsigned long long>(mib));
    fflush(stdout);

    double plain = 0, constant = 0, random = 0;
    bool ok = Prepare(path, size) && PlainWrite(path, size, &plain);
    if (ok) {
        wprintf(L"plain WriteFile + flush, 6 MiB       : %8.2f MB/s\n", plain);
        fflush(stdout);
        ok = Overwrite(path, 1, size, &constant);
    }
    double generatorBefore = 0;
    if (ok) {
        wprintf(L"method 1, one constant pass         : %8.2f MB/s\n", constant);
        fflush(stdout);
        // The generator is measured just before and just after the random pass, so that a change in the
        // machine's load during the long random pass shows in its reference as well.
        generatorBefore = GeneratorRate(size);
        ok = Overwrite(path, 0, size, &random);
    }
    DeleteFileW(path.c_str());
    if (!ok) {
        return 1;
    }
    wprintf(L"method 0, one random pass           : %8.2f MB/s\n", random);
    fflush(stdout);
    const double generatorAfter = GeneratorRate(size);
    const double generator = (generatorBefore + generatorAfter) / 2;
    wprintf(L"generator, 96-byte GenerateBlock    : %8.2f MB/s (%.2f before, %.2f after)\n", generator,
            generatorBefore, generatorAfter);

    // The small files lie in folders beside the benchmark's file.
    const size_t slash = path.find_last_of(L"\\");
    const std::wstring base = slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
    double jobRate = 0, floorRate = 0;
    if (!MakeSmallFiles(base + L"\\job-files", files) || !ShredThroughTheJob(base + L"\\job-files", files, &jobRate) ||
        !MakeSmallFiles(base + L"\\floor-files", files) ||
        !ShredPlainly(base + L"\\floor-files", files, &floorRate)) {
        fwprintf(stderr, L"the many-files run failed\n");
        return 1;
    }
    wprintf(L"%u files of 4 KiB, shredding job        : %8.1f files/s\n", files, jobRate);
    wprintf(L"%u files of 4 KiB, plain loop (floor)   : %8.1f files/s\n", files, floorRate);

    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory))) {
        wprintf(L"peak working set                    : %8.1f MiB\n", memory.PeakWorkingSetSize / 1048576.0);
    }
    wprintf(L"random/limit = %.2f\n", plain > 0 ? random / plain : 0.0);
    wprintf(L"files/floor = %.2f\n", floorRate > 0 ? jobRate / floorRate : 0.0);
    wprintf(L"constant/limit = %.2f\n", plain > 0 ? constant / plain : 0.0);
    wprintf(L"random/generator = %.2f\n", generator > 0 ? random / generator : 0.0);
    return 0;
}
