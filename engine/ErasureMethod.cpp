// Pass objects and pass lists.
#include "ErasureMethod.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

CErasureMethodPass::~CErasureMethodPass() = default;

CWriteRandom::CWriteRandom()
{
    // The generator seeds itself from the system's random source; the first block is generated here and
    // never written out.
    m_rng.GenerateBlock(m_block, sizeof(m_block));
}

void CWriteRandom::Fill(uint8_t* buffer, int64_t size)
{
    int64_t position = 0;
    int64_t remaining = size;
    while (remaining > 0) {
        m_rng.GenerateBlock(m_block, sizeof(m_block));
        if (remaining < static_cast<int64_t>(sizeof(m_block))) {
            memcpy(buffer + position, m_block, static_cast<size_t>(remaining));
            return;
        }
        memcpy(buffer + position, m_block, sizeof(m_block));
        position += sizeof(m_block);
        remaining -= sizeof(m_block);
    }
}

CWriteConstant::CWriteConstant(std::vector<uint8_t> pattern) : m_pattern(std::move(pattern)) {}

void CWriteConstant::Fill(uint8_t* buffer, int64_t size)
{
    if (size <= 0 || m_pattern.empty()) {
        return;
    }
    const size_t total = static_cast<size_t>(size);
    const size_t length = m_pattern.size();
    if (length == 1) {
        memset(buffer, m_pattern[0], total);
        return;
    }
    // Lay the pattern down once, then double the filled stretch: byte i is always pattern[i mod length].
    size_t filled = length < total ? length : total;
    memcpy(buffer, m_pattern.data(), filled);
    while (filled < total) {
        size_t copy = filled <= total - filled ? filled : total - filled;
        copy -= copy % length;  // keep the copy in phase with the pattern
        if (copy == 0) {
            copy = total - filled;
            for (size_t i = 0; i < copy; ++i) {
                buffer[filled + i] = m_pattern[(filled + i) % length];
            }
        } else {
            memcpy(buffer + filled, buffer, copy);
        }
        filled += copy;
    }
}

CErasureMethod::~CErasureMethod()
{
    for (CErasureMethodPass* pass : m_passes) {
        delete pass;  // empty entries are skipped by delete itself
    }
    m_passes.clear();
}

void CErasureMethod::ShufflePasses()
{
    srand(static_cast<unsigned>(time(nullptr)));
    const size_t n = m_passes.size();
    // The swap partner is drawn from the first n-1 positions. A list of one pass has nothing to shuffle
    // (and would take rand() modulo 0).
    if (n < 2) {
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        size_t j = static_cast<size_t>(rand()) % (n - 1);
        std::swap(m_passes[i], m_passes[j]);
    }
}
