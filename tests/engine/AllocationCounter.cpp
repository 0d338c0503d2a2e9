#include "AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_total{0};
std::atomic<int64_t> g_allowed{-1};  // allocations still allowed; -1: no limit
std::atomic<int64_t> g_refused{0};

bool Allowed()
{
    int64_t allowed = g_allowed.load();
    while (allowed >= 0) {
        if (allowed == 0) {
            ++g_refused;
            return false;
        }
        if (g_allowed.compare_exchange_weak(allowed, allowed - 1)) {
            return true;
        }
    }
    return true;
}

void* Allocate(std::size_t size)
{
    if (!Allowed()) {
        return nullptr;
    }
    void* block = std::malloc(size ? size : 1);
    if (block) {
        ++g_live;
        ++g_total;
    }
    return block;
}

void Release(void* block)
{
    if (block) {
        --g_live;
        std::free(block);
    }
}
}  // namespace

namespace allocations {
int64_t Live() { return g_live.load(); }
int64_t Total() { return g_total.load(); }

FailAfter::FailAfter(int64_t succeeding)
{
    g_refused = 0;
    g_allowed = succeeding < 0 ? 0 : succeeding;
}
FailAfter::~FailAfter() { g_allowed = -1; }
int64_t FailAfter::Failed() const { return g_refused.load(); }
}  // namespace allocations

void* operator new(std::size_t size)
{
    if (void* block = Allocate(size)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, std::size_t) noexcept { Release(block); }
void operator delete[](void* block, std::size_t) noexcept { Release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Release(block); }
