// The engine's four posters: message numbers, payload fields, and who frees a payload.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "AllocationCounter.h"
#include "MessageSink.h"
#include "engine/ProgressMessages.h"

namespace {

static_assert(WM_DELETE_PROGRESS == 0x8001 && WM_RESIDENT_PHASE == 0x8002 && WM_DELETE_DONE == 0x8003 &&
              WM_METRICS_STATUS == 0x8004 && WM_SHOW_PROGRESS == 0x8005 && WM_METRICS_DONE == 0x8006 &&
              WM_FREE_SPACE_DONE == 0x8007 && WM_FREE_SPACE_TOTAL == 0x8008 && WM_CLOSE_PROGRESS == 0x8009,
              "the message numbers are fixed between the threads and the dialog");

TEST(ProgressPosters, CopyEveryFieldAndMarkTheJobKind)
{
    MessageSink sink;
    ASSERT_NE(nullptr, sink.Handle());
    EXPECT_TRUE(PostDeleteProgress(sink.Handle(), L"C:\\dir\\file.txt", 1234, 5, 0x123456789ULL, 7, 3));
    EXPECT_TRUE(PostFreeSpaceProgress(sink.Handle(), L"C:\\free\\fill.tmp", 0x100000000ULL, 9, 42, 35, 35));
    EXPECT_TRUE(PostDeleteProgress(sink.Handle(), nullptr, 0, 0, 0, 1, 1));
    EXPECT_TRUE(PostFreeSpaceProgress(sink.Handle(), nullptr, 1, 2, 3, 4, 5));
    EXPECT_TRUE(PostFreeSpaceTotal(sink.Handle(), 0xFEDCBA9876543210ULL));
    EXPECT_TRUE(PostFreeSpaceTotal(sink.Handle(), 0));
    EXPECT_TRUE(PostResidentPhase(sink.Handle(), 1));
    EXPECT_TRUE(PostResidentPhase(sink.Handle(), 0));
    sink.Pump();

    const auto& m = sink.Messages();
    ASSERT_EQ(8u, m.size());
    for (const auto& message : m) {
        EXPECT_NE(0u, message.m_wParam) << "every one of these carries a payload";
        EXPECT_EQ(0, message.m_lParam);
    }
    EXPECT_EQ(WM_DELETE_PROGRESS, m[0].m_msg);
    const DeleteProgress& a = m[0].m_progress;
    EXPECT_EQ(L"C:\\dir\\file.txt", a.m_name);
    EXPECT_EQ(1234u, a.m_fileSize);
    EXPECT_EQ(5u, a.m_itemsDone);
    EXPECT_EQ(0x123456789ULL, a.m_bytesProcessed);
    EXPECT_EQ(7, a.m_passCount);
    EXPECT_EQ(3, a.m_passNumber);
    EXPECT_EQ(0, a.m_freeSpace);

    const DeleteProgress& b = m[1].m_progress;
    EXPECT_EQ(WM_DELETE_PROGRESS, m[1].m_msg);
    EXPECT_EQ(L"C:\\free\\fill.tmp", b.m_name);
    EXPECT_EQ(0x100000000ULL, b.m_fileSize);
    EXPECT_EQ(9u, b.m_itemsDone);
    EXPECT_EQ(42u, b.m_bytesProcessed);
    EXPECT_EQ(35, b.m_passCount);
    EXPECT_EQ(35, b.m_passNumber);
    EXPECT_EQ(1, b.m_freeSpace);

    EXPECT_EQ(L"", m[2].m_progress.m_name);
    EXPECT_EQ(0, m[2].m_progress.m_freeSpace);
    EXPECT_EQ(L"", m[3].m_progress.m_name);
    EXPECT_EQ(1, m[3].m_progress.m_freeSpace);
    EXPECT_EQ(5, m[3].m_progress.m_passNumber);

    EXPECT_EQ(WM_FREE_SPACE_TOTAL, m[4].m_msg);
    EXPECT_EQ(0xFEDCBA9876543210ULL, m[4].m_total);
    EXPECT_EQ(WM_FREE_SPACE_TOTAL, m[5].m_msg);
    EXPECT_EQ(0u, m[5].m_total);
    EXPECT_EQ(WM_RESIDENT_PHASE, m[6].m_msg);
    EXPECT_EQ(1, m[6].m_flag);
    EXPECT_EQ(WM_RESIDENT_PHASE, m[7].m_msg);
    EXPECT_EQ(0, m[7].m_flag);

    EXPECT_EQ(8u, sink.PayloadsReceived());
    EXPECT_EQ(8u, sink.PayloadsFreed());
}

// Once the receiver has freed what it got, nothing of the posts is left on the heap.
TEST(ProgressPosters, TheReceiverOwnsEveryPayload)
{
    MessageSink sink;
    const std::wstring longName(300, L'x');  // long enough to live on the heap
    sink.Pump();
    const int64_t live = allocations::Live();
    for (int i = 0; i < 20; ++i) {
        PostDeleteProgress(sink.Handle(), longName.c_str(), 1, 2, 3, 4, 5);
        PostFreeSpaceProgress(sink.Handle(), longName.c_str(), 1, 2, 3, 4, 5);
        PostFreeSpaceTotal(sink.Handle(), i);
        PostResidentPhase(sink.Handle(), i & 1);
    }
    sink.Pump();
    EXPECT_EQ(80u, sink.PayloadsReceived());
    EXPECT_EQ(80u, sink.PayloadsFreed());
    sink.Clear();  // drops the sink's own copies
    EXPECT_EQ(live, allocations::Live()) << "a post leaves nothing on the heap but its one payload";
}

// A post that fails never reaches a receiver; the poster frees what it made and reports the failure.
TEST(ProgressPosters, AFailedPostFreesItsPayload)
{
    HWND gone;
    {
        MessageSink closed;
        gone = closed.Handle();
    }
    ASSERT_FALSE(IsWindow(gone));
    const std::wstring longName(300, L'y');
    const int64_t live = allocations::Live();
    EXPECT_FALSE(PostDeleteProgress(gone, longName.c_str(), 1, 2, 3, 4, 5));
    EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError());
    EXPECT_FALSE(PostFreeSpaceProgress(gone, longName.c_str(), 1, 2, 3, 4, 5));
    EXPECT_FALSE(PostFreeSpaceTotal(gone, 10));
    EXPECT_FALSE(PostResidentPhase(gone, 1));
    EXPECT_FALSE(PostPayload(gone, WM_METRICS_STATUS, new MetricsStatus{longName, longName}));
    EXPECT_FALSE(PostPayload(gone, WM_METRICS_DONE, new MetricsResult{1, 2}));
    EXPECT_EQ(live, allocations::Live());
}

// Messages from a job thread arrive in the order it posted them, payloads complete.
TEST(ProgressPosters, AThreadsPostsArriveInOrder)
{
    MessageSink sink;
    HWND target = sink.Handle();
    std::thread worker([target] {
        for (int i = 0; i < 200; ++i) {
            PostDeleteProgress(target, L"item", 10, i, i * 10, 2, 1 + (i & 1));
        }
        PostPayload(target, WM_METRICS_DONE, new MetricsResult{200, 2000});
    });
    EXPECT_TRUE(sink.PumpUntil(WM_METRICS_DONE, 10000));
    worker.join();
    sink.Pump();
    std::vector<DeleteProgress> progress = sink.Progress();
    ASSERT_EQ(200u, progress.size());
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(static_cast<uint64_t>(i), progress[i].m_itemsDone);
        EXPECT_EQ(static_cast<uint64_t>(i) * 10, progress[i].m_bytesProcessed);
    }
    EXPECT_EQ(200u, sink.Messages().back().m_result.m_files);
    EXPECT_EQ(2000u, sink.Messages().back().m_result.m_bytes);
    EXPECT_EQ(201u, sink.PayloadsFreed());
}

}  // namespace
