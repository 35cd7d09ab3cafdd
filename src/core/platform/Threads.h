#pragma once
// Splitting a loop over threads. Callers split only work whose slices are
// independent, so a result never depends on the number of threads.

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

// One thread per core unless the host says otherwise.
inline int DefaultThreadCount() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

// Calls work(begin, end) for consecutive slices of [0, count), up to threads
// of them at once; the first slice runs on the calling thread. A thread that
// cannot be started leaves its slice to the calling thread.
template <typename Work>
void RunSplit(int64_t count, int threads, Work&& work)
{
    const int64_t n = std::clamp<int64_t>(threads, 1, std::max<int64_t>(count, 1));
    std::vector<std::thread> helpers;
    std::vector<int64_t> left;
    for (int64_t t = 1; t < n; ++t) {
        try {
            helpers.emplace_back([&work, count, n, t] { work(count * t / n, count * (t + 1) / n); });
        } catch (...) {
            left.push_back(t);
        }
    }
    work(0, count / n);
    for (int64_t t : left)
        work(count * t / n, count * (t + 1) / n);
    for (std::thread& helper : helpers)
        helper.join();
}
