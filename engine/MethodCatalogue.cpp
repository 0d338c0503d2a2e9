// The twelve erasure methods, by method index.
#include "ErasureMethod.h"

#include <exception>
#include <memory>
#include <new>

namespace {

// One entry of a method's pass column.
enum PassKind : uint8_t {
    Random,
    Fixed,       // the entry's own pattern
    C1,          // c1, ~c1, c2, c3, ~c3: one-byte constants drawn when the list is built
    NotC1,
    C2,
    C3,
    NotC3,
};

struct PassEntry {
    PassKind m_kind;
    uint8_t m_length;  // bytes of m_bytes used by a Fixed entry: 1 or 3
    uint8_t m_bytes[3];
};

constexpr PassEntry R = {Random, 0, {}};
constexpr PassEntry F(uint8_t b) { return {Fixed, 1, {b, 0, 0}}; }
constexpr PassEntry F(uint8_t a, uint8_t b, uint8_t c) { return {Fixed, 3, {a, b, c}}; }
constexpr PassEntry K(PassKind kind) { return {kind, 0, {}}; }

struct MethodEntry {
    UINT m_nameId;  // string-table id of the method's name
    const PassEntry* m_passes;
    uint32_t m_count;
    int32_t m_shuffle;
};

constexpr PassEntry kPseudorandom[] = {R};
constexpr PassEntry kHmgBaseline[] = {F(0x00)};
constexpr PassEntry kGost[] = {F(0x00), R};
constexpr PassEntry kArmy[] = {R, K(C1), K(NotC1)};
constexpr PassEntry kAirForce[] = {K(C1), K(C2), K(C3)};
constexpr PassEntry kHmgEnhanced[] = {F(0x00), F(0x01), R};
constexpr PassEntry kDod[] = {F(0x00), F(0xFF), R};
constexpr PassEntry kVsitr[] = {F(0x00), F(0x01), F(0x00), F(0x01), F(0x00), F(0x01), R};
constexpr PassEntry kSchneier[] = {F(0x01), F(0x00), R, R, R, R, R};
constexpr PassEntry kRcmp[] = {F(0x00), F(0x01), F(0x00), F(0x01), F(0x00), F(0x01), K(C1)};
constexpr PassEntry kDodEce[] = {K(C1), K(NotC1), R, K(C2), K(C3), K(NotC3), R};
constexpr PassEntry kGutmann[] = {
    R, R, R, R,
    F(0x55), F(0xAA), F(0x92, 0x49, 0x24), F(0x49, 0x24, 0x92), F(0x24, 0x92, 0x49),
    F(0x00), F(0x11), F(0x22), F(0x33), F(0x44), F(0x55), F(0x66), F(0x77),
    F(0x88), F(0x99), F(0xAA), F(0xBB), F(0xCC), F(0xDD), F(0xEE), F(0xFF),
    F(0x92, 0x49, 0x24), F(0x49, 0x24, 0x92), F(0x24, 0x92, 0x49),
    F(0x6D, 0xB6, 0xDB), F(0xB6, 0xDB, 0x6D), F(0xDB, 0x6D, 0xB6),
    R, R, R, R,
};

template <size_t N>
constexpr MethodEntry Method(UINT nameId, const PassEntry (&passes)[N], int32_t shuffle = 0)
{
    return {nameId, passes, static_cast<uint32_t>(N), shuffle};
}

constexpr MethodEntry kMethods[kErasureMethodCount] = {
    Method(121, kPseudorandom), Method(120, kHmgBaseline), Method(119, kGost),       Method(118, kArmy),
    Method(117, kAirForce),     Method(116, kHmgEnhanced), Method(115, kDod),        Method(114, kVsitr),
    Method(113, kSchneier),     Method(112, kRcmp),        Method(111, kDodEce),     Method(109, kGutmann, 1),
};

bool UsesDrawnConstants(const MethodEntry& method)
{
    for (uint32_t i = 0; i < method.m_count; ++i) {
        if (method.m_passes[i].m_kind != Random && method.m_passes[i].m_kind != Fixed) {
            return true;
        }
    }
    return false;
}

std::vector<uint8_t> PatternOf(const PassEntry& entry, const uint8_t constants[3])
{
    switch (entry.m_kind) {
    case C1: return {constants[0]};
    case NotC1: return {static_cast<uint8_t>(constants[0] ^ 0xFF)};
    case C2: return {constants[1]};
    case C3: return {constants[2]};
    case NotC3: return {static_cast<uint8_t>(constants[2] ^ 0xFF)};
    default: return std::vector<uint8_t>(entry.m_bytes, entry.m_bytes + entry.m_length);
    }
}

}  // namespace

CErasureMethod* CreateErasureMethod(uint32_t index)
{
    if (index >= kErasureMethodCount) {
        return nullptr;
    }
    const MethodEntry& method = kMethods[index];
    // Everything made so far is owned by a scoped object, so a failure part-way frees it all and no
    // partly built list leaves this function.
    try {
        std::unique_ptr<CErasureMethod> list(new CErasureMethod);
        uint8_t constants[3] = {};
        if (UsesDrawnConstants(method)) {
            // A generator of the builder's own, started like a random pass's (one block at creation);
            // the constants are the first bytes of the block after that.
            CryptoPP::AutoSeededX917RNG<CryptoPP::DES_EDE3> rng;
            uint8_t block[96];
            rng.GenerateBlock(block, sizeof(block));
            rng.GenerateBlock(block, sizeof(block));
            constants[0] = block[0];
            constants[1] = block[1];
            constants[2] = block[2];
        }
        list->m_passes.reserve(method.m_count);
        for (uint32_t i = 0; i < method.m_count; ++i) {
            const PassEntry& entry = method.m_passes[i];
            std::unique_ptr<CErasureMethodPass> pass;
            if (entry.m_kind == Random) {
                pass.reset(new CWriteRandom);
            } else {
                pass.reset(new CWriteConstant(PatternOf(entry, constants)));
            }
            list->m_passes.push_back(pass.release());  // cannot throw: the room was reserved
        }
        list->m_shuffle = method.m_shuffle;
        return list.release();
    } catch (const std::exception&) {
        // Out of memory, or a generator that could not seed itself: the callers handle NULL.
        return nullptr;
    }
}

UINT GetErasureMethodNameId(uint32_t index)
{
    return index < kErasureMethodCount ? kMethods[index].m_nameId : 0;
}
