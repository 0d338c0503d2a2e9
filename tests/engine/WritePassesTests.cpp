// The overwrite loop against real files in a temporary folder: what each pass writes where, the chunks,
// the progress reports, cancel, and every way it fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "ImportPatch.h"
#include "MessageSink.h"
#include "ShuffleModel.h"
#include "TempDir.h"
#include "engine/ErasureMethod.h"

namespace {

constexpr int64_t MiB = 1024 * 1024;

// Writes one byte value and records the buffer and size of every Fill (without allocating for the
// first 64, so that a test can count what the loop itself allocates).
class RecordingPass : public CErasureMethodPass {
public:
    explicit RecordingPass(uint8_t value) : m_value(value)
    {
        m_sizes.reserve(64);
        m_buffers.reserve(64);
    }
    void Fill(uint8_t* buffer, int64_t size) override
    {
        m_buffers.push_back(buffer);
        m_sizes.push_back(size);
        if (size > 0) {
            memset(buffer, m_value, static_cast<size_t>(size));
        }
    }
    uint8_t m_value;
    std::vector<int64_t> m_sizes;
    std::vector<uint8_t*> m_buffers;
};

std::vector<uint8_t> Bytes(size_t count, uint8_t value) { return std::vector<uint8_t>(count, value); }

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// What the progress callback sees: the file's contents at each report, and a cancel it may set.
std::wstring g_watchedPath;
std::vector<std::vector<uint8_t>> g_snapshots;
CancelFlag* g_cancelOnReport = nullptr;
int g_reportsBeforeCancel = 0;

BOOL WatchingCallback(HWND hWnd, const wchar_t* name, uint64_t fileSize, uint64_t itemsDone, uint64_t bytesProcessed,
                      int32_t passCount, int32_t passNumber)
{
    if (!g_watchedPath.empty()) {
        g_snapshots.push_back(TempDir::ReadFile(g_watchedPath));
    }
    if (g_cancelOnReport && --g_reportsBeforeCancel == 0) {
        g_cancelOnReport->store(1);
    }
    return PostDeleteProgress(hWnd, name, fileSize, itemsDone, bytesProcessed, passCount, passNumber);
}

class WritePassesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.IsValid());
        ASSERT_NE(nullptr, m_sink.Handle());
        g_watchedPath.clear();
        g_snapshots.clear();
        g_cancelOnReport = nullptr;
        g_reportsBeforeCancel = 0;
    }
    void TearDown() override
    {
        g_cancelOnReport = nullptr;
        if (m_file != INVALID_HANDLE_VALUE) {
            CloseHandle(m_file);
        }
    }

    // Creates the file and opens it as the engine's callers do (others may read it meanwhile).
    std::wstring MakeFile(const std::vector<uint8_t>& contents, DWORD access = GENERIC_READ | GENERIC_WRITE)
    {
        m_path = m_dir.WriteFile(L"item.bin", contents);
        EXPECT_FALSE(m_path.empty());
        m_file = CreateFileW(m_path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, m_file);
        return m_path;
    }

    void CloseFile()
    {
        CloseHandle(m_file);
        m_file = INVALID_HANDLE_VALUE;
    }

    // A list of recording passes writing the given values; the list owns them.
    std::vector<RecordingPass*> MakeList(std::initializer_list<uint8_t> values)
    {
        std::vector<RecordingPass*> passes;
        for (uint8_t v : values) {
            passes.push_back(new RecordingPass(v));
            m_list.m_passes.push_back(passes.back());
        }
        return passes;
    }

    int Write(int64_t minimum = -1, ProgressCallback callback = &WatchingCallback)
    {
        return m_list.WritePasses(m_sink.Handle(), m_file, m_path.c_str(), &m_cancel, &m_sizeForProgress,
                                  &m_itemsDone, &m_bytesDone, callback, minimum);
    }

    std::vector<DeleteProgress> Reports()
    {
        m_sink.Pump();
        return m_sink.Progress();
    }

    TempDir m_dir{L"writepasses"};
    MessageSink m_sink;
    CErasureMethod m_list;
    std::wstring m_path;
    HANDLE m_file = INVALID_HANDLE_VALUE;
    CancelFlag m_cancel{0};
    uint64_t m_sizeForProgress = 0;
    uint64_t m_itemsDone = 0;
    uint64_t m_bytesDone = 0;
};

// A 10-byte file: a 10-byte buffer, one chunk and one report per pass; each pass is on the file when
// it is reported.
TEST_F(WritePassesTest, SmallFileOneChunkAndOneReportPerPass)
{
    MakeFile(Bytes(10, 0xEE));
    g_watchedPath = m_path;
    std::vector<RecordingPass*> passes = MakeList({0x11, 0x22, 0x33});
    m_sizeForProgress = 10;
    m_itemsDone = 4;
    m_bytesDone = 1000;

    EXPECT_EQ(1, Write());

    std::vector<DeleteProgress> reports = Reports();
    ASSERT_EQ(3u, reports.size());
    for (int p = 0; p < 3; ++p) {
        SCOPED_TRACE("pass " + std::to_string(p + 1));
        EXPECT_EQ(std::vector<int64_t>{10}, passes[p]->m_sizes);
        EXPECT_EQ(Bytes(10, passes[p]->m_value), g_snapshots[p]);
        EXPECT_EQ(m_path, reports[p].m_name);
        EXPECT_EQ(10u, reports[p].m_fileSize);
        EXPECT_EQ(4u, reports[p].m_itemsDone);
        EXPECT_EQ(1000u + 10u * (p + 1), reports[p].m_bytesProcessed);
        EXPECT_EQ(3, reports[p].m_passCount);
        EXPECT_EQ(p + 1, reports[p].m_passNumber);
        EXPECT_EQ(0, reports[p].m_freeSpace);
    }
    CloseFile();
    EXPECT_EQ(Bytes(10, 0x33), TempDir::ReadFile(m_path));
}

// A minimum longer than the file: every pass writes it all from position 0, the file grows, and the
// progress of a pass stops at the size for progress.
TEST_F(WritePassesTest, MinimumLengthGrowsTheFileAndProgressIsCapped)
{
    MakeFile(Bytes(100, 0xEE));
    g_watchedPath = m_path;
    std::vector<RecordingPass*> passes = MakeList({0x5A, 0xA5});
    m_sizeForProgress = 100;

    EXPECT_EQ(1, Write(1024));

    std::vector<DeleteProgress> reports = Reports();
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(100u, reports[0].m_bytesProcessed);
    EXPECT_EQ(200u, reports[1].m_bytesProcessed);
    EXPECT_EQ(100u, reports[1].m_fileSize) << "the size the handle reported at the start";
    EXPECT_EQ(std::vector<int64_t>{1024}, passes[0]->m_sizes);
    EXPECT_EQ(Bytes(1024, 0x5A), g_snapshots[0]);
    CloseFile();
    EXPECT_EQ(Bytes(1024, 0xA5), TempDir::ReadFile(m_path));
}

// 13 MiB: a 6 MiB buffer, chunks of 6, 6 and 1 MiB, every Fill of the whole buffer. The size for
// progress is a little under the file's, so the last chunk of each pass is capped.
TEST_F(WritePassesTest, LargeFileIsWrittenInSixMiBChunks)
{
    MakeFile(Bytes(13 * MiB, 0xEE));
    std::vector<RecordingPass*> passes = MakeList({0xA1, 0xB2});
    m_sizeForProgress = 13 * MiB - 1000;
    m_bytesDone = 7;

    EXPECT_EQ(1, Write());

    std::vector<DeleteProgress> reports = Reports();
    ASSERT_EQ(6u, reports.size());
    const uint64_t size = m_sizeForProgress;
    const uint64_t expected[6] = {7 + 6 * MiB, 7 + 12 * MiB, 7 + size, 7 + size + 6 * MiB, 7 + size + 12 * MiB,
                                  7 + 2 * size};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(expected[i], reports[i].m_bytesProcessed) << "report " << i;
        EXPECT_EQ(1 + i / 3, reports[i].m_passNumber) << "report " << i;
        EXPECT_EQ(static_cast<uint64_t>(13 * MiB), reports[i].m_fileSize);
    }
    for (RecordingPass* pass : passes) {
        EXPECT_EQ(std::vector<int64_t>(3, 6 * MiB), pass->m_sizes);
    }
    std::set<uint8_t*> buffers(passes[0]->m_buffers.begin(), passes[0]->m_buffers.end());
    buffers.insert(passes[1]->m_buffers.begin(), passes[1]->m_buffers.end());
    EXPECT_EQ(1u, buffers.size()) << "one buffer for every chunk of every pass";
    CloseFile();
    std::vector<uint8_t> contents = TempDir::ReadFile(m_path);
    ASSERT_EQ(static_cast<size_t>(13 * MiB), contents.size());
    EXPECT_EQ(contents.end(), std::find_if(contents.begin(), contents.end(), [](uint8_t b) { return b != 0xB2; }));
}

// The overwrite runs from the current position to the end, and every pass starts there again; without
// a callback, the counters are not needed at all, and the call allocates its one buffer and frees it.
TEST_F(WritePassesTest, StartsAtTheCurrentPosition)
{
    MakeFile(Bytes(10, 0xEE));
    std::vector<RecordingPass*> passes = MakeList({0x11, 0x22});
    LARGE_INTEGER at;
    at.QuadPart = 4;
    ASSERT_TRUE(SetFilePointerEx(m_file, at, nullptr, FILE_BEGIN));

    const int64_t total = allocations::Total();
    const int64_t live = allocations::Live();
    EXPECT_EQ(1, m_list.WritePasses(m_sink.Handle(), m_file, nullptr, &m_cancel, nullptr, nullptr, nullptr,
                                    nullptr, -1));
    EXPECT_EQ(1, allocations::Total() - total) << "one buffer per call";
    EXPECT_EQ(live, allocations::Live());

    EXPECT_EQ(std::vector<int64_t>{6}, passes[0]->m_sizes);
    EXPECT_EQ(std::vector<int64_t>{6}, passes[1]->m_sizes);
    EXPECT_TRUE(Reports().empty());
    CloseFile();
    EXPECT_EQ(Concat(Bytes(4, 0xEE), Bytes(6, 0x22)), TempDir::ReadFile(m_path));
}

// A cancel found before the first chunk: the shuffle still happens, nothing is written, result 1.
TEST_F(WritePassesTest, CancelBeforeTheCallWritesNothing)
{
    const std::vector<uint8_t> original = Bytes(50, 0xEE);
    MakeFile(original);
    std::vector<RecordingPass*> passes;
    for (int i = 0; i < 35; ++i) {
        passes.push_back(new RecordingPass(static_cast<uint8_t>(i)));
        m_list.m_passes.push_back(passes.back());
    }
    m_list.m_shuffle = 1;
    m_cancel = 1;
    m_sizeForProgress = 50;
    const std::vector<CErasureMethodPass*> before = m_list.m_passes;

    int result = 0;
    int64_t leaked = 0;
    unsigned seed = ShuffleWithKnownSeed([&] {
        m_list.m_passes = before;
        const int64_t live = allocations::Live();
        result = Write();
        leaked = allocations::Live() - live;
    });

    EXPECT_EQ(kPassesStopped, result);
    EXPECT_EQ(0, leaked) << "the buffer is released on the way out";
    EXPECT_EQ(ShuffleModel(before, seed), m_list.m_passes) << "shuffled once, at the start of the call";
    for (RecordingPass* pass : passes) {
        EXPECT_TRUE(pass->m_sizes.empty());
    }
    EXPECT_TRUE(Reports().empty());
    CloseFile();
    EXPECT_EQ(original, TempDir::ReadFile(m_path));
}

// A cancel set while the loop runs takes effect at the next chunk, also between passes.
TEST_F(WritePassesTest, CancelStopsAtTheNextChunk)
{
    struct Case {
        int64_t m_size;
        int m_reportsBeforeCancel;
        std::vector<uint8_t> (*m_expected)(int64_t size);
    };
    const Case cases[] = {
        // Between passes: the first pass is complete, the others are not written.
        {10, 1, [](int64_t) { return Bytes(10, 0x11); }},
        {10, 2, [](int64_t) { return Bytes(10, 0x22); }},
        // Within a pass: the first 6 MiB chunk is written, the rest of the file is not.
        {6 * MiB + 10, 1, [](int64_t) { return Concat(Bytes(6 * MiB, 0x11), Bytes(10, 0xEE)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.m_size) + ", cancel after report " +
                     std::to_string(c.m_reportsBeforeCancel));
        CErasureMethod& list = m_list;
        for (CErasureMethodPass* pass : list.m_passes) {
            delete pass;
        }
        list.m_passes.clear();
        if (m_file != INVALID_HANDLE_VALUE) {
            CloseFile();
        }
        m_sink.Clear();
        MakeFile(Bytes(static_cast<size_t>(c.m_size), 0xEE));
        std::vector<RecordingPass*> passes = MakeList({0x11, 0x22, 0x33});
        m_cancel = 0;
        g_cancelOnReport = &m_cancel;
        g_reportsBeforeCancel = c.m_reportsBeforeCancel;
        m_sizeForProgress = c.m_size;

        EXPECT_EQ(kPassesStopped, Write()) << "a result of its own, not that of a complete overwrite";

        EXPECT_EQ(static_cast<size_t>(c.m_reportsBeforeCancel), Reports().size());
        EXPECT_TRUE(passes[2]->m_sizes.empty());
        CloseFile();
        EXPECT_TRUE(c.m_expected(c.m_size) == TempDir::ReadFile(m_path));
    }
}

// Nothing to write is no failure: a list without passes, or an empty file.
TEST_F(WritePassesTest, NothingToWriteSucceeds)
{
    MakeFile(Bytes(10, 0xEE));
    m_sizeForProgress = 10;
    EXPECT_EQ(1, Write()) << "a list without passes";
    CloseFile();
    EXPECT_EQ(Bytes(10, 0xEE), TempDir::ReadFile(m_path));

    MakeFile({});
    std::vector<RecordingPass*> passes = MakeList({0x11, 0x22});
    m_sizeForProgress = 0;
    EXPECT_EQ(1, Write()) << "an empty file";
    EXPECT_TRUE(passes[0]->m_sizes.empty());
    EXPECT_TRUE(Reports().empty());
    CloseFile();
    EXPECT_EQ(0u, TempDir::FileSize(m_path));
}

// Positioned beyond the end, the overwrite length is negative: result 0 before anything is allocated
// or written.
TEST_F(WritePassesTest, PositionBeyondTheEndFailsBeforeAllocating)
{
    MakeFile(Bytes(10, 0xEE));
    std::vector<RecordingPass*> passes = MakeList({0x11});
    LARGE_INTEGER at;
    at.QuadPart = 20;
    ASSERT_TRUE(SetFilePointerEx(m_file, at, nullptr, FILE_BEGIN));
    m_sizeForProgress = 10;

    SetLastError(0);
    const int64_t allocated = allocations::Total();
    EXPECT_EQ(0, Write());
    EXPECT_EQ(allocated, allocations::Total());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    EXPECT_TRUE(passes[0]->m_sizes.empty());
    EXPECT_TRUE(Reports().empty());
    CloseFile();
    EXPECT_EQ(Bytes(10, 0xEE), TempDir::ReadFile(m_path));
}

// The buffer cannot be had: result 0 with the allocation's error, nothing filled or written, and no
// exception leaves the loop (its callers run on job threads that catch none).
TEST_F(WritePassesTest, AFailedAllocationReturnsZeroBeforeWriting)
{
    MakeFile(Bytes(10, 0xEE));
    std::vector<RecordingPass*> passes = MakeList({0x11});
    m_sizeForProgress = 10;
    int result = -1;
    DWORD error = 0;
    {
        allocations::FailAfter fail(0);
        SetLastError(0);
        result = Write();
        error = GetLastError();
    }
    EXPECT_EQ(0, result);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), error);
    EXPECT_TRUE(passes[0]->m_sizes.empty());
    EXPECT_TRUE(Reports().empty());
    CloseFile();
    EXPECT_EQ(Bytes(10, 0xEE), TempDir::ReadFile(m_path));
}

// A handle that is no file fails the position query; a read-only handle fails the first write, with
// the Win32 error of the failed call left for the caller.
TEST_F(WritePassesTest, FailedFileOperationsReturnZeroWithTheirError)
{
    std::vector<RecordingPass*> passes = MakeList({0x11, 0x22});
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    SetLastError(0);
    EXPECT_EQ(0, m_list.WritePasses(m_sink.Handle(), event, L"x", &m_cancel, &m_sizeForProgress, &m_itemsDone,
                                    &m_bytesDone, &WatchingCallback, -1));
    EXPECT_NE(0u, GetLastError());
    CloseHandle(event);
    EXPECT_TRUE(passes[0]->m_sizes.empty());

    MakeFile(Bytes(10, 0xEE), GENERIC_READ);
    m_sizeForProgress = 10;
    const int64_t live = allocations::Live();
    EXPECT_EQ(0, Write());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(live, allocations::Live()) << "the buffer is released after a failed write";
    EXPECT_EQ(1u, passes[0]->m_sizes.size());
    EXPECT_TRUE(passes[1]->m_sizes.empty());
    EXPECT_TRUE(Reports().empty());
    CloseFile();
    EXPECT_EQ(Bytes(10, 0xEE), TempDir::ReadFile(m_path));
}

// A WriteFile that reports fewer bytes than asked. Wine completes every synchronous write to a disk file
// in full (or fails it), so the short write is faked; everything else goes to the real WriteFile.
ImportPatch<decltype(::WriteFile)>* g_writeFile = nullptr;
HANDLE g_shortFile = nullptr;
int g_writesBeforeShort = 0;

BOOL WINAPI ShortWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (file == g_shortFile && g_writesBeforeShort-- == 0 && size > 1) {
        return g_writeFile->Original()(file, data, size / 2, written, overlapped);
    }
    return g_writeFile->Original()(file, data, size, written, overlapped);
}

TEST_F(WritePassesTest, AShortWriteIsAFailedWrite)
{
    MakeFile(Bytes(10, 0xEE));
    std::vector<RecordingPass*> passes = MakeList({0x11, 0x22, 0x33});
    m_sizeForProgress = 10;
    g_shortFile = m_file;
    g_writesBeforeShort = 1;  // the first pass is written in full, the second comes up short
    int result;
    {
        ImportPatch<decltype(::WriteFile)> patch("WriteFile", &ShortWriteFile);
        g_writeFile = &patch;
        ASSERT_TRUE(patch.IsActive());
        result = Write();
    }
    g_shortFile = nullptr;
    const DWORD error = GetLastError();

    EXPECT_EQ(0, result);
    EXPECT_EQ(static_cast<DWORD>(ERROR_WRITE_FAULT), error);
    std::vector<DeleteProgress> reports = Reports();
    ASSERT_EQ(1u, reports.size()) << "the short chunk is not reported";
    EXPECT_EQ(1, reports[0].m_passNumber);
    EXPECT_TRUE(passes[2]->m_sizes.empty());
    CloseFile();
    EXPECT_EQ(Concat(Bytes(5, 0x22), Bytes(5, 0x11)), TempDir::ReadFile(m_path));
}

// The real Gutmann list: shuffled once per call, every one of its 35 passes written and reported.
TEST_F(WritePassesTest, GutmannListIsShuffledAndWrittenInFull)
{
    // 0x5A is no pass of the list (0xEE is one: whenever the shuffle put it last, the file ended as it began).
    const std::vector<uint8_t> original = Bytes(200, 0x5A);
    MakeFile(original);
    std::unique_ptr<CErasureMethod> gutmann(CreateErasureMethod(11));
    ASSERT_NE(nullptr, gutmann);
    m_sizeForProgress = 200;
    m_bytesDone = 400;
    const std::vector<CErasureMethodPass*> catalogue = gutmann->m_passes;

    for (int call = 0; call < 2; ++call) {
        SCOPED_TRACE("call " + std::to_string(call + 1));
        const std::vector<CErasureMethodPass*> before = gutmann->m_passes;
        int result = 0;
        unsigned seed = ShuffleWithKnownSeed([&] {
            gutmann->m_passes = before;
            m_sink.Clear();
            LARGE_INTEGER zero = {};
            SetFilePointerEx(m_file, zero, nullptr, FILE_BEGIN);
            result = gutmann->WritePasses(m_sink.Handle(), m_file, m_path.c_str(), &m_cancel, &m_sizeForProgress,
                                          &m_itemsDone, &m_bytesDone, &PostDeleteProgress, -1);
            m_sink.Pump();
        });
        EXPECT_EQ(1, result);
        EXPECT_EQ(ShuffleModel(before, seed), gutmann->m_passes);
        std::vector<CErasureMethodPass*> a = catalogue, b = gutmann->m_passes;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        EXPECT_EQ(a, b) << "the same 35 passes";

        std::vector<DeleteProgress> reports = m_sink.Progress();
        ASSERT_EQ(35u, reports.size());
        for (int p = 0; p < 35; ++p) {
            EXPECT_EQ(p + 1, reports[p].m_passNumber);
            EXPECT_EQ(35, reports[p].m_passCount);
            EXPECT_EQ(400u + 200u * (p + 1), reports[p].m_bytesProcessed);
        }
    }
    CloseFile();
    std::vector<uint8_t> contents = TempDir::ReadFile(m_path);
    EXPECT_EQ(200u, contents.size());
    EXPECT_NE(original, contents);
}

// One random pass over a few KiB leaves no 96-byte stretch of the old contents.
TEST_F(WritePassesTest, RandomPassOverwritesEveryBlock)
{
    const size_t size = 3 * 1024 + 50;
    MakeFile(Bytes(size, 0));
    std::unique_ptr<CErasureMethod> method(CreateErasureMethod(0));
    m_sizeForProgress = size;
    EXPECT_EQ(1, method->WritePasses(m_sink.Handle(), m_file, m_path.c_str(), &m_cancel, &m_sizeForProgress,
                                     &m_itemsDone, &m_bytesDone, &PostDeleteProgress, -1));
    CloseFile();
    std::vector<uint8_t> contents = TempDir::ReadFile(m_path);
    ASSERT_EQ(size, contents.size());
    const std::vector<uint8_t> zeros(96, 0);
    for (size_t at = 0; at + 96 <= size; at += 96) {
        EXPECT_NE(0, memcmp(contents.data() + at, zeros.data(), 96)) << at;
    }
    ASSERT_EQ(1u, Reports().size());
}

// ---- durable and complete ----

// What reached the file at each flush. Wine ignores FILE_FLAG_WRITE_THROUGH and its flushes leave no
// trace a test can read, so the flush is watched (and failed) through the import seam.
ImportPatch<decltype(::FlushFileBuffers)>* g_flush = nullptr;
std::vector<std::vector<uint8_t>> g_atFlush;
int g_failFlushNumber = 0;  // the flush (from 1) that fails with ERROR_IO_DEVICE; 0: none

BOOL WINAPI WatchedFlushFileBuffers(HANDLE file)
{
    if (!g_watchedPath.empty())
        g_atFlush.push_back(TempDir::ReadFile(g_watchedPath));
    if (static_cast<int>(g_atFlush.size()) == g_failFlushNumber) {
        SetLastError(ERROR_IO_DEVICE);
        return FALSE;
    }
    return g_flush->Original()(file);
}

// Each pass is flushed after its last chunk, before the next pass starts; a failed flush is a failed
// write: result 0 with the flush's error, and no later pass is written.
TEST_F(WritePassesTest, EveryPassIsFlushedBeforeTheNextAndAFailedFlushFailsTheOverwrite)
{
    ImportPatch<decltype(::FlushFileBuffers)> patch("FlushFileBuffers", &WatchedFlushFileBuffers);
    g_flush = &patch;
    ASSERT_TRUE(patch.IsActive());
    for (int failAt : {0, 2}) {
        SCOPED_TRACE("failing flush " + std::to_string(failAt));
        if (m_file != INVALID_HANDLE_VALUE)
            CloseFile();
        for (CErasureMethodPass* pass : m_list.m_passes)
            delete pass;
        m_list.m_passes.clear();
        m_sink.Clear();
        const int64_t size = 6 * MiB + 10;  // two chunks per pass
        MakeFile(Bytes(static_cast<size_t>(size), 0xEE));
        std::vector<RecordingPass*> passes = MakeList({0x11, 0x22, 0x33});
        m_sizeForProgress = static_cast<uint64_t>(size);
        g_watchedPath = m_path;
        g_atFlush.clear();
        g_failFlushNumber = failAt;

        SetLastError(0);
        const int result = Write(-1, nullptr);
        const DWORD error = GetLastError();
        g_watchedPath.clear();

        if (failAt == 0) {
            EXPECT_EQ(kPassesWritten, result);
            ASSERT_EQ(3u, g_atFlush.size());
            for (size_t p = 0; p < 3; ++p)
                EXPECT_TRUE(g_atFlush[p] == Bytes(static_cast<size_t>(size), passes[p]->m_value)) << "pass " << p;
        } else {
            EXPECT_EQ(kPassesFailed, result);
            EXPECT_EQ(static_cast<DWORD>(ERROR_IO_DEVICE), error);
            EXPECT_EQ(2u, g_atFlush.size());
            EXPECT_TRUE(passes[2]->m_sizes.empty()) << "no pass after the failed flush";
        }
    }
}

// Counts its fills; writes what CWriteConstant writes.
class CountingConstant : public CWriteConstant {
public:
    using CWriteConstant::CWriteConstant;
    void Fill(uint8_t* buffer, int64_t size) override
    {
        ++m_fills;
        m_sizes.push_back(size);
        CWriteConstant::Fill(buffer, size);
    }
    int m_fills = 0;
    std::vector<int64_t> m_sizes;
};

// How many bytes of contents differ from pattern repeated from the first byte on.
size_t BytesOffThePattern(const std::vector<uint8_t>& contents, const std::vector<uint8_t>& pattern)
{
    size_t wrong = 0;
    for (size_t i = 0; i < contents.size(); ++i)
        wrong += contents[i] != pattern[i % pattern.size()];
    return wrong;
}

// A pattern pass gives the same bytes for every chunk: its buffer is filled once per pass, and the
// pattern still runs on unbroken across the chunks. A random pass draws fresh data for every chunk.
TEST_F(WritePassesTest, APatternPassFillsItsBufferOncePerPassARandomPassEveryChunk)
{
    const int64_t size = 13 * MiB;
    MakeFile(Bytes(static_cast<size_t>(size), 0xEE));
    auto* single = new CountingConstant(std::vector<uint8_t>{0x55});
    auto* triple = new CountingConstant(std::vector<uint8_t>{0x92, 0x49, 0x24});
    m_list.m_passes = {single, triple};
    m_sizeForProgress = static_cast<uint64_t>(size);
    EXPECT_EQ(kPassesWritten, Write(-1, nullptr));
    EXPECT_EQ(1, single->m_fills);
    EXPECT_EQ(1, triple->m_fills);
    CloseFile();
    const std::vector<uint8_t> contents = TempDir::ReadFile(m_path);
    ASSERT_EQ(static_cast<size_t>(size), contents.size());
    EXPECT_EQ(0u, BytesOffThePattern(contents, {0x92, 0x49, 0x24}));

    // A random pass is no pattern: it draws fresh data for every chunk (as the recording passes of
    // LargeFileIsWrittenInSixMiBChunks, filled once per chunk).
    EXPECT_FALSE(CWriteRandom().IsConstant());
}

// A pattern pass in a large buffer lays down only a stretch of whole pattern repeats and writes it over
// and over: the rest of the buffer's pages are never touched (each costs a page fault when first written).
// The file gets the same bytes as from whole-buffer writes, and progress still comes once per chunk.
TEST_F(WritePassesTest, APatternPassWritesFromAFewPagesOfItsBufferWithTheSameBytesAndReports)
{
    const int64_t size = 13 * MiB + 5;  // two whole chunks and a short one that ends inside a stretch
    MakeFile(Bytes(static_cast<size_t>(size), 0xEE));
    auto* single = new CountingConstant(std::vector<uint8_t>{0x00});
    auto* triple = new CountingConstant(std::vector<uint8_t>{0x92, 0x49, 0x24});
    m_list.m_passes = {single, triple};
    m_sizeForProgress = static_cast<uint64_t>(size);
    EXPECT_EQ(kPassesWritten, Write());
    for (const CountingConstant* pass : {single, triple}) {
        ASSERT_EQ(1u, pass->m_sizes.size());
        EXPECT_LE(pass->m_sizes[0], kPatternSpan);
        EXPECT_GT(pass->m_sizes[0], kPatternSpan / 2);
        EXPECT_EQ(0, pass->m_sizes[0] % 4096) << "whole pages";
        EXPECT_EQ(0, pass->m_sizes[0] % static_cast<int64_t>(pass->m_pattern.size()));
    }
    const std::vector<DeleteProgress> reports = Reports();
    ASSERT_EQ(6u, reports.size());
    const uint64_t total = static_cast<uint64_t>(size), chunk = 6 * MiB;
    const uint64_t expected[6] = {chunk, 2 * chunk, total, total + chunk, total + 2 * chunk, 2 * total};
    for (size_t i = 0; i < reports.size(); ++i)
        EXPECT_EQ(expected[i], reports[i].m_bytesProcessed) << "report " << i;
    CloseFile();
    const std::vector<uint8_t> contents = TempDir::ReadFile(m_path);
    ASSERT_EQ(static_cast<size_t>(size), contents.size());
    EXPECT_EQ(0u, BytesOffThePattern(contents, {0x92, 0x49, 0x24}));
}

// Another program appends to the file while the passes run (the callers share writes): a real second
// handle, opened from within the writes.
ImportPatch<decltype(::WriteFile)>* g_appendingWriteFile = nullptr;
HANDLE g_appendTo = nullptr;
int g_appendAfterWrite = 0;  // append after this write of g_appendTo (from 1); every write when negative
int g_appendWrites = 0;

BOOL WINAPI AppendingWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    const BOOL ok = g_appendingWriteFile->Original()(file, data, size, written, overlapped);
    if (file == g_appendTo && (g_appendAfterWrite < 0 || ++g_appendWrites == g_appendAfterWrite)) {
        HANDLE other = CreateFileW(g_watchedPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
        if (other != INVALID_HANDLE_VALUE) {
            const std::vector<uint8_t> appended(5000, 0xAB);
            DWORD done = 0;
            g_appendingWriteFile->Original()(other, appended.data(), 5000, &done, nullptr);
            CloseHandle(other);
        }
    }
    return ok;
}

TEST_F(WritePassesTest, DataAppendedWhileThePassesRunGetsEveryPassOrTheOverwriteFails)
{
    ImportPatch<decltype(::WriteFile)> patch("WriteFile", &AppendingWriteFile);
    g_appendingWriteFile = &patch;
    ASSERT_TRUE(patch.IsActive());

    // Appended once, during the first pass: the new part is written with every pass as well.
    MakeFile(Bytes(10, 0xEE));
    std::vector<RecordingPass*> passes = MakeList({0x11, 0x22, 0x33});
    m_sizeForProgress = 10;
    g_watchedPath = m_path;
    g_appendTo = m_file;
    g_appendAfterWrite = 1;
    g_appendWrites = 0;
    EXPECT_EQ(kPassesWritten, Write(-1, nullptr));
    g_appendTo = nullptr;
    CloseFile();
    EXPECT_TRUE(Bytes(5010, 0x33) == TempDir::ReadFile(m_path));
    for (RecordingPass* pass : passes)
        EXPECT_EQ(2u, pass->m_sizes.size()) << "the file's stretch, then the appended one";

    // Appended after every write: the file never holds still and the overwrite fails.
    MakeFile(Bytes(10, 0xEE));
    g_appendTo = m_file;
    g_appendAfterWrite = -1;
    SetLastError(0);
    EXPECT_EQ(kPassesFailed, Write(-1, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    g_appendTo = nullptr;
    g_watchedPath.clear();
}

}  // namespace
