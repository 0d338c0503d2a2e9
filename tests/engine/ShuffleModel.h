#pragma once
// What ShufflePasses must do, written out for the tests: the swap sequence of one shuffle from a known
// seed, and a way to learn the seed (the time in seconds) that a call used.
#include <cstdlib>
#include <ctime>
#include <utility>
#include <vector>

template <class T>
std::vector<T> ShuffleModel(std::vector<T> order, unsigned seed)
{
    srand(seed);
    const size_t n = order.size();
    if (n < 2) {
        return order;
    }
    for (size_t i = 0; i < n; ++i) {
        std::swap(order[i], order[static_cast<size_t>(rand()) % (n - 1)]);
    }
    return order;
}

// Runs call (which shuffles once) until the clock showed the same second before and after it, and
// returns that second. The call must be repeatable; it is run again only across a second boundary.
template <class Call>
unsigned ShuffleWithKnownSeed(Call call)
{
    for (;;) {
        time_t before = time(nullptr);
        call();
        time_t after = time(nullptr);
        if (before == after) {
            return static_cast<unsigned>(before);
        }
    }
}
