// The first failure of a group of worker threads, carried to the thread that waits for them. An
// exception that leaves a thread's function ends the program, whatever its type; a worker
// therefore hands over whatever it throws, a bad_alloc as much as an Error, and the waiting
// thread throws it again as if it had failed itself.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <limits>
#include <mutex>

namespace oz::core {

class WorkerFailure {
public:
    // Where a failure comes in the caller's order (the file a worker was writing, say), so that
    // the caller reports the same failure however the threads happened to run. Failures outside
    // any item come after all of them.
    static constexpr std::size_t noItem = std::numeric_limits<std::size_t>::max();

    // Keeps the exception being handled unless one kept already comes first, and raises the
    // stop flag. Call it in a catch block.
    void capture(std::size_t item = noItem) noexcept { capture(std::current_exception(), item); }
    void capture(std::exception_ptr failure, std::size_t item = noItem) noexcept
    {
        std::lock_guard lock(mutex_);
        if (!first_ || item < item_) {
            first_ = std::move(failure);
            item_ = item;
        }
        stop_.store(true, std::memory_order_release);
    }

    // Runs work on a worker's thread and keeps whatever it throws; false when it threw.
    template <typename Work>
    bool guard(Work &&work, std::size_t item = noItem) noexcept
    {
        try {
            work();
            return true;
        } catch (...) {
            capture(item);
            return false;
        }
    }

    // Whether any worker failed: the others stop at their next piece of work.
    bool stopped() const noexcept { return stop_.load(std::memory_order_acquire); }

    // On the waiting thread: throws the kept failure again, if there is one.
    void rethrow() const
    {
        std::exception_ptr failure;
        {
            std::lock_guard lock(mutex_);
            failure = first_;
        }
        if (failure)
            std::rethrow_exception(failure);
    }

private:
    mutable std::mutex mutex_;
    std::exception_ptr first_;
    std::size_t item_ = noItem;
    std::atomic<bool> stop_{false};
};

} // namespace oz::core
