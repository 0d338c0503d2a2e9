// Pass objects and pass lists: what each pass writes, the shuffle, and what deleting a list frees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <cstring>
#include <vector>

#include "AllocationCounter.h"
#include "ShuffleModel.h"
#include "engine/ErasureMethod.h"

namespace {

TEST(ConstantPass, RepeatsThePatternFromItsFirstByteOnEveryCall)
{
    CWriteConstant pass({0x92, 0x49, 0x24});
    uint8_t buffer[8];
    memset(buffer, 0xEE, sizeof(buffer));
    pass.Fill(buffer, 7);
    const uint8_t expected[8] = {0x92, 0x49, 0x24, 0x92, 0x49, 0x24, 0x92, 0xEE};
    EXPECT_EQ(0, memcmp(buffer, expected, 8));

    pass.Fill(buffer, 2);
    EXPECT_EQ(0x92, buffer[0]);
    EXPECT_EQ(0x49, buffer[1]);
    EXPECT_EQ(0x92, buffer[3]) << "bytes beyond the size are left alone";
}

// Byte i of any fill is pattern[i mod length], for sizes around the pattern length, odd sizes and the
// whole overwrite buffer.
TEST(ConstantPass, EveryByteIsInPhaseWithThePattern)
{
    const std::vector<std::vector<uint8_t>> patterns = {{0x01}, {0xFF}, {0x6D, 0xB6, 0xDB}, {1, 2, 3, 4, 5}};
    const int64_t sizes[] = {1, 2, 3, 4, 5, 7, 95, 96, 97, 100, 4097, 65539, kOverwriteBufferSize};
    std::vector<uint8_t> buffer(kOverwriteBufferSize + 16);
    for (const auto& pattern : patterns) {
        CWriteConstant pass(pattern);
        for (int64_t size : sizes) {
            std::fill(buffer.begin(), buffer.end(), 0x5A);
            pass.Fill(buffer.data(), size);
            int64_t wrong = -1;
            for (int64_t i = 0; i < size && wrong < 0; ++i) {
                if (buffer[i] != pattern[i % pattern.size()]) {
                    wrong = i;
                }
            }
            EXPECT_EQ(-1, wrong) << "pattern of " << pattern.size() << " bytes, size " << size;
            EXPECT_EQ(0x5A, buffer[size]) << "size " << size << " wrote past its end";
        }
    }
}

TEST(Passes, SizeZeroOrLessWritesNothing)
{
    CWriteConstant constant({0x11});
    CWriteRandom random;
    for (CErasureMethodPass* pass : {static_cast<CErasureMethodPass*>(&constant), static_cast<CErasureMethodPass*>(&random)}) {
        for (int64_t size : {int64_t(0), int64_t(-1), int64_t(-96)}) {
            uint8_t buffer[16];
            memset(buffer, 0xC3, sizeof(buffer));
            pass->Fill(buffer, size);
            for (uint8_t b : buffer) {
                ASSERT_EQ(0xC3, b) << "size " << size;
            }
        }
    }
}

// Every piece is generated just before it is copied: the block left in m_block is the one the fill
// ended with, and a partial last block uses its first bytes.
TEST(RandomPass, FillsWithFreshBlocksOfNinetySixBytes)
{
    CWriteRandom pass;
    uint8_t initial[96];
    memcpy(initial, pass.m_block, 96);

    uint8_t buffer[101];
    memset(buffer, 0, sizeof(buffer));
    buffer[100] = 0xA5;
    pass.Fill(buffer, 96);
    EXPECT_EQ(0, memcmp(buffer, pass.m_block, 96)) << "96 bytes take exactly one block";
    EXPECT_NE(0, memcmp(buffer, initial, 96)) << "the block of the constructor is never written";

    pass.Fill(buffer, 100);
    EXPECT_EQ(0, memcmp(buffer + 96, pass.m_block, 4)) << "100 bytes: the first 4 bytes of a second block";
    EXPECT_NE(0, memcmp(buffer, pass.m_block, 96));
    EXPECT_EQ(0xA5, buffer[100]);
}

TEST(RandomPass, LeavesNoRepeatedOrZeroStretches)
{
    constexpr int64_t kSize = 96 * 48 + 17;  // KiB: the generator is slow under Wine
    std::vector<uint8_t> buffer(kSize, 0);
    CWriteRandom pass;
    pass.Fill(buffer.data(), kSize);
    const std::vector<uint8_t> zeros(96, 0);
    for (int64_t at = 0; at + 96 <= kSize; at += 96) {
        EXPECT_NE(0, memcmp(buffer.data() + at, zeros.data(), 96)) << "zero block at " << at;
        if (at + 192 <= kSize) {
            EXPECT_NE(0, memcmp(buffer.data() + at, buffer.data() + at + 96, 96)) << "repeated block at " << at;
        }
    }
    // Two passes have generators of their own.
    CWriteRandom other;
    std::vector<uint8_t> second(kSize, 0);
    other.Fill(second.data(), kSize);
    EXPECT_NE(buffer, second);
}

CErasureMethod* MakeNumberedList(int count)
{
    auto* list = new CErasureMethod;
    for (int i = 0; i < count; ++i) {
        list->m_passes.push_back(new CWriteConstant({static_cast<uint8_t>(i)}));
    }
    return list;
}

std::vector<CErasureMethodPass*> Order(const CErasureMethod& list) { return list.m_passes; }

// The shuffle seeds the thread's rand() with the time and swaps position i with rand() mod (n-1), so
// the last position is never a swap partner; the next shuffle starts from the order the last one left.
TEST(ShufflePasses, FollowsTheTimeSeededSwapSequenceFromTheCurrentOrder)
{
    std::unique_ptr<CErasureMethod> list(MakeNumberedList(35));
    for (int round = 0; round < 2; ++round) {
        std::vector<CErasureMethodPass*> before = Order(*list);
        std::vector<CErasureMethodPass*> after;
        unsigned seed = ShuffleWithKnownSeed([&] {
            list->m_passes = before;
            list->ShufflePasses();
        });
        after = Order(*list);
        std::vector<CErasureMethodPass*> expected = ShuffleModel(before, seed);
        EXPECT_EQ(expected, after) << "round " << round;

        std::vector<CErasureMethodPass*> sortedBefore = before, sortedAfter = after;
        std::sort(sortedBefore.begin(), sortedBefore.end());
        std::sort(sortedAfter.begin(), sortedAfter.end());
        EXPECT_EQ(sortedBefore, sortedAfter) << "all 35 passes kept";
    }
}

TEST(ShufflePasses, ShortListsOnlySeed)
{
    for (int count : {0, 1}) {
        std::unique_ptr<CErasureMethod> list(MakeNumberedList(count));
        std::vector<CErasureMethodPass*> before = Order(*list);
        int next = 0;
        unsigned seed = ShuffleWithKnownSeed([&] {
            list->ShufflePasses();
            next = rand();
        });
        srand(seed);
        EXPECT_EQ(rand(), next) << count << " passes: the thread's sequence restarts from the time";
        EXPECT_EQ(before, Order(*list));
    }
}

TEST(ErasureMethodList, DeletingTheListFreesEveryPass)
{
    delete CreateErasureMethod(10);  // first use may set up lasting library state
    const int64_t live = allocations::Live();
    CErasureMethod* list = CreateErasureMethod(10);  // constant and random passes
    ASSERT_NE(nullptr, list);
    list->m_passes.push_back(nullptr);  // an empty entry is skipped
    EXPECT_GT(allocations::Live(), live);
    delete list;
    EXPECT_EQ(live, allocations::Live());
}

}  // namespace
