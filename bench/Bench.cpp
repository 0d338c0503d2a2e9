// Throughput of the overwrite loop, for comparison with what the disk and the generator allow:
//   pellumar_bench <file> [MiB]        (default 256 MiB; the file is made, overwritten and deleted)
// Prints MB/s (10^6 bytes a second) of plain 6 MiB write-through WriteFile calls, of WritePasses with
// method 1 (one constant pass) and method 0 (one random pass) on a write-through handle, and of the
// random generator alone in 96-byte GenerateBlock calls; then the ratios, constant/limit and
// random/generator as the last two lines. The plain writes and each method's run are timed up to and
// including their FlushFileBuffers (WritePasses flushes each pass itself), so the figures count what has
// reached the disk: Wine ignores write-through, and without the flush they would measure the page cache.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/ErasureMethod.h"

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

    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory))) {
        wprintf(L"peak working set                    : %8.1f MiB\n", memory.PeakWorkingSetSize / 1048576.0);
    }
    wprintf(L"random/limit = %.2f\n", plain > 0 ? random / plain : 0.0);
    wprintf(L"constant/limit = %.2f\n", plain > 0 ? constant / plain : 0.0);
    wprintf(L"random/generator = %.2f\n", generator > 0 ? random / generator : 0.0);
    return 0;
}
