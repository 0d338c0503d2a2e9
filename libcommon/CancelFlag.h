#pragma once
// The flag by which a job's owner stops or holds work running on another thread. The owner writes it; the
// job's loops poll it at their safe points (before each item, entry, fill file and written chunk) through
// StopRequested, which also waits out a hold there. Nothing is ever suspended from outside.
#include <windows.h>

#include <atomic>
#include <cstdint>

using CancelFlag = std::atomic<int32_t>;

enum : int32_t {
    kCancelGoOn = 0,  // work on
    kCancelStop = 1,  // stop at the next safe point; also ends a hold
    kCancelHold = 2,  // wait at the next safe point until the owner writes another value
};

// True when the job must stop. While the owner holds the job, the calling thread waits here, at a point
// where it holds no lock and no half-written state. A NULL flag never stops.
inline bool StopRequested(const CancelFlag* flag)
{
    if (!flag)
        return false;
    int32_t value = flag->load();
    while (value == kCancelHold) {
        Sleep(10);
        value = flag->load();
    }
    return value != kCancelGoOn;
}
