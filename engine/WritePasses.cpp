// The overwrite loop: every pass of a list over an open file, chunk by chunk through one buffer, each pass
// flushed to the disk before the next begins.
#include "ErasureMethod.h"

#include <memory>
#include <new>
#include <numeric>

namespace {

// What the progress reports of one stretch need; null callback: no reports.
struct Progress {
    HWND m_hWnd;
    const wchar_t* m_name;
    uint64_t m_fileSize;
    const uint64_t* m_sizeForProgress;
    const uint64_t* m_itemsDone;
    const uint64_t* m_bytesDone;
    ProgressCallback m_callback;
};

std::unique_ptr<uint8_t[]> AllocateBuffer(int64_t length, int64_t* bufferSize)
{
    *bufferSize = length < kOverwriteBufferSize ? length : kOverwriteBufferSize;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[static_cast<size_t>(*bufferSize)]);
    if (!buffer)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return buffer;
}

// How many bytes of the buffer a pass fills, and so the most that one WriteFile writes: the whole buffer,
// but for a constant pass in a large buffer a stretch of whole pattern repeats (whole pages too where the
// pattern allows), so that each write of it starts at the pattern's first byte, as each chunk does.
int64_t FilledSpan(const CErasureMethodPass& pass, int64_t bufferSize)
{
    const int64_t pattern = static_cast<int64_t>(pass.PatternLength());
    if (!pass.IsConstant() || pattern <= 0 || bufferSize <= kPatternSpan)
        return bufferSize;
    constexpr int64_t kPage = 4096;
    int64_t unit = std::lcm(pattern, kPage);  // whole repeats that are whole pages, when that fits
    if (unit > kPatternSpan)
        unit = pattern;
    const int64_t span = kPatternSpan / unit * unit;
    return span > 0 ? span : bufferSize;
}

// Writes count bytes of the buffer's first span bytes over and over (a span of the buffer's size: once).
// false when a write fails or writes less than it was given.
bool WriteSpans(HANDLE file, const uint8_t* buffer, int64_t span, int64_t count)
{
    while (count > 0) {
        const DWORD piece = static_cast<DWORD>(count < span ? count : span);
        DWORD done = 0;
        if (!WriteFile(file, buffer, piece, &done, nullptr))
            return false;
        if (done != piece) {
            // Fewer bytes reached the file than the pass asked for: the overwrite is incomplete.
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        count -= piece;
    }
    return true;
}

// Every pass over length bytes from offset, each pass flushed before the next one starts.
int WriteStretch(const std::vector<CErasureMethodPass*>& passes, HANDLE file, int64_t offset, int64_t length,
                 uint8_t* buffer, int64_t bufferSize, const CancelFlag* cancel, const Progress& progress)
{
    const int32_t passCount = static_cast<int32_t>(passes.size());
    LARGE_INTEGER start;
    start.QuadPart = offset;
    for (int32_t p = 0; p < passCount; ++p) {
        CErasureMethodPass* pass = passes[p];
        if (!pass)
            continue;  // an empty entry writes nothing (the buffer may hold no data of any pass yet)
        if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
            return kPassesFailed;
        // A pattern pass gives the same bytes for every chunk: one fill serves the whole pass.
        const bool fillOnce = pass->IsConstant();
        const int64_t span = FilledSpan(*pass, bufferSize);
        bool filled = false;
        int64_t remaining = length;
        int64_t chunk = bufferSize;
        uint64_t written = 0;
        while (remaining > 0) {
            if (StopRequested(cancel))
                return kPassesStopped;
            if (!fillOnce || !filled) {
                pass->Fill(buffer, span);
                filled = true;
            }
            if (remaining < chunk)
                chunk = remaining;
            if (!WriteSpans(file, buffer, span, chunk))
                return kPassesFailed;
            remaining -= chunk;
            written += static_cast<uint64_t>(chunk);
            if (progress.m_callback) {
                // The counters belong to the caller and are read afresh at every report.
                const uint64_t size = progress.m_sizeForProgress ? *progress.m_sizeForProgress : 0;
                const uint64_t before = progress.m_bytesDone ? *progress.m_bytesDone : 0;
                const uint64_t thisPass = written < size ? written : size;
                progress.m_callback(progress.m_hWnd, progress.m_name, progress.m_fileSize,
                                    progress.m_itemsDone ? *progress.m_itemsDone : 0,
                                    static_cast<uint64_t>(p) * size + before + thisPass, passCount, p + 1);
            }
        }
        // The pass is on the disk before the next one is written over it, and before the file is closed,
        // renamed or deleted: a page-cached file system drops the unwritten pages of a deleted file.
        if (!FlushFileBuffers(file))
            return kPassesFailed;
    }
    return kPassesWritten;
}

}  // namespace

int CErasureMethod::WritePasses(HWND hWnd, HANDLE file, const wchar_t* name, const CancelFlag* cancel,
                                const uint64_t* sizeForProgress, const uint64_t* itemsDone,
                                const uint64_t* bytesDone, ProgressCallback callback, int64_t minimumLength)
{
    if (m_shuffle)
        ShufflePasses();

    LARGE_INTEGER zero = {};
    LARGE_INTEGER start;
    if (!SetFilePointerEx(file, zero, &start, FILE_CURRENT))
        return kPassesFailed;
    LARGE_INTEGER fileSize;
    if (!GetFileSizeEx(file, &fileSize))
        return kPassesFailed;

    int64_t length = fileSize.QuadPart - start.QuadPart;
    if (minimumLength != -1 && minimumLength > length)
        length = minimumLength;
    if (length < 0) {
        // Positioned beyond the end of the file: there is nothing to overwrite from here.
        SetLastError(ERROR_INVALID_PARAMETER);
        return kPassesFailed;
    }
    if (m_passes.empty())
        return kPassesWritten;

    if (length > 0) {
        int64_t bufferSize = 0;
        std::unique_ptr<uint8_t[]> buffer = AllocateBuffer(length, &bufferSize);
        if (!buffer)
            return kPassesFailed;
        const Progress progress = {hWnd, name, static_cast<uint64_t>(fileSize.QuadPart), sizeForProgress,
                                   itemsDone, bytesDone, callback};
        const int result =
            WriteStretch(m_passes, file, start.QuadPart, length, buffer.get(), bufferSize, cancel, progress);
        if (result != kPassesWritten)
            return result;
    }

    // Another program may have appended to the file while the passes ran (the callers let others write
    // it): what lies past the stretch gets every pass too, until the size holds still.
    int64_t end = start.QuadPart + length;
    const Progress silent = {};
    for (int round = 0;; ++round) {
        if (!GetFileSizeEx(file, &fileSize))
            return kPassesFailed;
        if (fileSize.QuadPart <= end)
            return kPassesWritten;
        if (round == kGrowthRounds) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return kPassesFailed;
        }
        const int64_t grown = fileSize.QuadPart - end;
        int64_t bufferSize = 0;
        std::unique_ptr<uint8_t[]> buffer = AllocateBuffer(grown, &bufferSize);
        if (!buffer)
            return kPassesFailed;
        const int result = WriteStretch(m_passes, file, end, grown, buffer.get(), bufferSize, cancel, silent);
        if (result != kPassesWritten)
            return result;
        end = fileSize.QuadPart;
    }
}
