#pragma once
// Counts the test program's operator new/delete calls (replaced in AllocationCounter.cpp), so a test can
// see that a call allocated nothing, or that everything it allocated was freed again, and make the
// allocations after a given number fail, as when memory runs out.
#include <cstdint>

namespace allocations {
int64_t Live();   // blocks allocated and not yet freed
int64_t Total();  // blocks allocated since the program started

// While one of these lives, the first `succeeding` allocations work and every later one fails
// (operator new throws std::bad_alloc, the nothrow forms return null). Failed() counts the refusals.
class FailAfter {
public:
    explicit FailAfter(int64_t succeeding);
    ~FailAfter();
    FailAfter(const FailAfter&) = delete;
    FailAfter& operator=(const FailAfter&) = delete;
    int64_t Failed() const;
};
}  // namespace allocations
