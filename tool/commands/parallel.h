// Runs a function over indices on a few threads; the first exception is passed on after all stop.
#ifndef MENDSMITH_TOOL_PARALLEL_H
#define MENDSMITH_TOOL_PARALLEL_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace mendsmith::tool {

template <typename Function> void ParallelFor(std::size_t count, unsigned jobs, Function function)
{
    if (jobs == 0)
        jobs = std::max(1u, std::thread::hardware_concurrency());
    jobs = static_cast<unsigned>(std::min<std::size_t>(jobs, count));
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex errorMutex;
    auto work = [&] {
        for (std::size_t i = next++; i < count && !failed; i = next++) {
            try {
                function(i);
            } catch (...) {
                std::lock_guard lock(errorMutex);
                if (!error)
                    error = std::current_exception();
                failed = true;
            }
        }
    };
    {
        std::vector<std::jthread> threads;
        for (unsigned t = 1; t < jobs; t++)
            threads.emplace_back(work);
        work();
    }
    if (error)
        std::rethrow_exception(error);
}

} // namespace mendsmith::tool

#endif
