// The overwrite loop: every pass of a list over an open file, chunk by chunk through one buffer.
#include "ErasureMethod.h"

#include <memory>
#include <new>

int CErasureMethod::WritePasses(HWND hWnd, HANDLE file, const wchar_t* name, const CancelFlag* cancel,
                                const uint64_t* sizeForProgress, const uint64_t* itemsDone,
                                const uint64_t* bytesDone, ProgressCallback callback, int64_t minimumLength)
{
    if (m_shuffle) {
        ShufflePasses();
    }

    LARGE_INTEGER zero = {};
    LARGE_INTEGER start;
    if (!SetFilePointerEx(file, zero, &start, FILE_CURRENT)) {
        return 0;
    }
    LARGE_INTEGER fileSize;
    if (!GetFileSizeEx(file, &fileSize)) {
        return 0;
    }

    int64_t length = fileSize.QuadPart - start.QuadPart;
    if (minimumLength != -1 && minimumLength > length) {
        length = minimumLength;
    }
    if (length < 0) {
        // Positioned beyond the end of the file: there is nothing to overwrite from here.
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (length == 0 || m_passes.empty()) {
        return 1;
    }

    const int64_t bufferSize = length < kOverwriteBufferSize ? length : kOverwriteBufferSize;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[static_cast<size_t>(bufferSize)]);
    if (!buffer) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }

    const int32_t passCount = static_cast<int32_t>(m_passes.size());
    for (int32_t p = 0; p < passCount; ++p) {
        CErasureMethodPass* pass = m_passes[p];
        if (!pass) {
            continue;  // an empty entry writes nothing (the buffer may hold no data of any pass yet)
        }
        if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
            return 0;
        }
        int64_t remaining = length;
        int64_t chunk = bufferSize;
        uint64_t written = 0;
        while (remaining > 0) {
            if (StopRequested(cancel)) {
                return 1;
            }
            pass->Fill(buffer.get(), bufferSize);
            if (remaining < chunk) {
                chunk = remaining;
            }
            DWORD done = 0;
            if (!WriteFile(file, buffer.get(), static_cast<DWORD>(chunk), &done, nullptr)) {
                return 0;
            }
            if (done != static_cast<DWORD>(chunk)) {
                // Fewer bytes reached the file than the pass asked for: the overwrite is incomplete.
                SetLastError(ERROR_WRITE_FAULT);
                return 0;
            }
            remaining -= chunk;
            written += static_cast<uint64_t>(chunk);
            if (callback) {
                // The counters belong to the caller and are read afresh at every report.
                const uint64_t size = sizeForProgress ? *sizeForProgress : 0;
                const uint64_t before = bytesDone ? *bytesDone : 0;
                const uint64_t thisPass = written < size ? written : size;
                callback(hWnd, name, static_cast<uint64_t>(fileSize.QuadPart), itemsDone ? *itemsDone : 0,
                         static_cast<uint64_t>(p) * size + before + thisPass, passCount, p + 1);
            }
        }
    }
    return 1;
}
