#pragma once
// Counts the test program's operator new/delete calls (replaced in AllocationCounter.cpp), so a test can
// see that a call allocated nothing, or that everything it allocated was freed again.
#include <cstdint>

namespace allocations {
int64_t Live();   // blocks allocated and not yet freed
int64_t Total();  // blocks allocated since the program started
}  // namespace allocations
