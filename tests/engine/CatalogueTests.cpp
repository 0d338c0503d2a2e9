// The erasure-method catalogue: every method's passes as tabled, the drawn constants, the names.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "engine/ErasureMethod.h"
#include "TestText.h"

namespace {

// How a pass of the table is written down here: "R" random, "c1", "~c1", "c2", "c3", "~c3", or the
// pattern's bytes in hexadecimal ("00", "924924").
struct MethodCase {
    uint32_t m_index;
    UINT m_nameId;
    const wchar_t* m_name;
    std::vector<std::string> m_passes;
    int32_t m_shuffle;
};

const std::vector<std::string> kGutmann = {
    "R", "R", "R", "R", "55", "AA", "924924", "492492", "249249",
    "00", "11", "22", "33", "44", "55", "66", "77", "88", "99", "AA", "BB", "CC", "DD", "EE", "FF",
    "924924", "492492", "249249", "6DB6DB", "B6DB6D", "DB6DB6", "R", "R", "R", "R"};

const MethodCase kMethods[] = {
    {0, 121, L"Pseudorandom Data ( 1 pass )", {"R"}, 0},
    {1, 120, L"British HMG (Baseline) ( 1 pass )", {"00"}, 0},
    {2, 119, L"Russian GOST P50739-95  ( 2 passes )", {"00", "R"}, 0},
    {3, 118, L"US Army AR380-19 ( 3 passes )", {"R", "c1", "~c1"}, 0},
    {4, 117, L"US Air Force 5020 ( 3 passes )", {"c1", "c2", "c3"}, 0},
    {5, 116, L"British HMG IS5 (Enhanced) ( 3 passes )", {"00", "01", "R"}, 0},
    {6, 115, L"US Dod 5220.22-M  (8-306. /E) ( 3 passes )", {"00", "FF", "R"}, 0},
    {7, 114, L"German VSITR ( 7 passes )", {"00", "01", "00", "01", "00", "01", "R"}, 0},
    {8, 113, L"Schneier ( 7 passes )", {"01", "00", "R", "R", "R", "R", "R"}, 0},
    {9, 112, L"RCMP TSSIT OPS-II ( 7 passes )", {"00", "01", "00", "01", "00", "01", "c1"}, 0},
    {10, 111, L"US DoD 5220.22-M (8-306. /E, C & E) ( 7 passes )", {"c1", "~c1", "R", "c2", "c3", "~c3", "R"}, 0},
    {11, 109, L"Gutmann Method ( 35 passes )", kGutmann, 1},
};

// Checks one built list against its table row; the drawn constants are returned in c (-1: not used).
void CheckAgainstTable(const CErasureMethod& list, const MethodCase& method, int c[3])
{
    c[0] = c[1] = c[2] = -1;
    ASSERT_EQ(method.m_passes.size(), list.m_passes.size());
    EXPECT_EQ(method.m_shuffle, list.m_shuffle);
    for (size_t i = 0; i < method.m_passes.size(); ++i) {
        const std::string& want = method.m_passes[i];
        CErasureMethodPass* pass = list.m_passes[i];
        SCOPED_TRACE("pass " + std::to_string(i + 1) + " (" + want + ")");
        if (want == "R") {
            EXPECT_NE(nullptr, dynamic_cast<CWriteRandom*>(pass));
            continue;
        }
        auto* constant = dynamic_cast<CWriteConstant*>(pass);
        ASSERT_NE(nullptr, constant);
        if (want[0] != 'c' && want[0] != '~') {
            EXPECT_EQ(want, Hex(constant->m_pattern));
            continue;
        }
        ASSERT_EQ(1u, constant->m_pattern.size());
        int value = constant->m_pattern[0];
        int slot = want.back() - '1';
        if (want[0] == '~') {
            value ^= 0xFF;
        }
        if (c[slot] < 0) {
            c[slot] = value;
        }
        EXPECT_EQ(c[slot], value) << "a complement follows its constant";
    }
}

TEST(Catalogue, EveryMethodIsBuiltAsTabled)
{
    for (const MethodCase& method : kMethods) {
        SCOPED_TRACE("method " + std::to_string(method.m_index));
        std::unique_ptr<CErasureMethod> list(CreateErasureMethod(method.m_index));
        ASSERT_NE(nullptr, list);
        int c[3];
        CheckAgainstTable(*list, method, c);
        EXPECT_EQ(method.m_nameId, GetErasureMethodNameId(method.m_index));
    }
}

TEST(Catalogue, IndexesAboveElevenGiveNullAndAllocateNothing)
{
    for (uint32_t index : {12u, 13u, 0x7FFFFFFFu, static_cast<uint32_t>(-1)}) {
        const int64_t total = allocations::Total();
        EXPECT_EQ(nullptr, CreateErasureMethod(index)) << index;
        EXPECT_EQ(total, allocations::Total()) << index;
        EXPECT_EQ(0u, GetErasureMethodNameId(index));
    }
}

// Each built list draws its own constants; they stay fixed in the list. Twelve lists of method 4 that
// all drew the same three bytes would be a generator fault (chance 2^-264 otherwise).
TEST(Catalogue, EachListDrawsItsOwnConstants)
{
    std::set<std::vector<int>> seen;
    for (int i = 0; i < 12; ++i) {
        std::unique_ptr<CErasureMethod> list(CreateErasureMethod(4));
        int c[3];
        CheckAgainstTable(*list, kMethods[4], c);
        seen.insert({c[0], c[1], c[2]});
    }
    EXPECT_GT(seen.size(), 1u);

    std::set<int> army;
    for (int i = 0; i < 12; ++i) {
        std::unique_ptr<CErasureMethod> list(CreateErasureMethod(3));
        int c[3];
        CheckAgainstTable(*list, kMethods[3], c);
        army.insert(c[0]);
    }
    EXPECT_GT(army.size(), 1u);
}

// Memory running out at any point of a build: NULL, and everything made so far is freed again. Method 10
// has the builder's own generator, drawn constants and random passes; method 11 the longest list.
TEST(Catalogue, RunningOutOfMemoryPartWayFreesEverythingAndGivesNull)
{
    for (uint32_t index : {10u, 11u}) {
        delete CreateErasureMethod(index);  // first use may set up lasting library state
        bool built = false;
        for (int64_t succeeding = 0; !built && succeeding < 2000; ++succeeding) {
            const int64_t live = allocations::Live();
            CErasureMethod* list;
            int64_t refused;
            {
                allocations::FailAfter fail(succeeding);
                list = CreateErasureMethod(index);
                refused = fail.Failed();
            }
            if (refused == 0) {
                ASSERT_NE(nullptr, list) << "method " << index << ": nothing was refused";
                EXPECT_EQ(kMethods[index].m_passes.size(), list->m_passes.size());
                delete list;
                built = true;
            } else {
                ASSERT_EQ(nullptr, list) << "method " << index << ", allocation " << succeeding << " refused";
            }
            ASSERT_EQ(live, allocations::Live()) << "method " << index << ", allocation " << succeeding << " refused";
        }
        EXPECT_TRUE(built) << "method " << index;
    }
}

TEST(Catalogue, FirstPassOfSchneierWritesOnes)
{
    std::unique_ptr<CErasureMethod> list(CreateErasureMethod(8));
    std::vector<uint8_t> buffer(4096, 0xEE);
    list->m_passes[0]->Fill(buffer.data(), static_cast<int64_t>(buffer.size()));
    EXPECT_EQ(std::vector<uint8_t>(4096, 0x01), buffer);
}

// The names come from the program's string table, byte for byte, in index order.
TEST(Catalogue, MethodNamesAreInTheStringTable)
{
    for (const MethodCase& method : kMethods) {
        wchar_t text[256] = {};
        int length = LoadStringW(GetModuleHandleW(nullptr), GetErasureMethodNameId(method.m_index), text, 256);
        EXPECT_EQ(std::wstring(method.m_name), std::wstring(text, length > 0 ? length : 0))
            << "method " << method.m_index;
    }
}

}  // namespace
