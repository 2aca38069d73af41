#pragma once

#include <mutex>

namespace Quillomark::Platform::Os {

// A lock that the thread holding it may take again; it is free once every
// lock has been matched by an unlock of the same thread. Usable with
// std::lock_guard and std::unique_lock.
class RecursiveLock {
public:
    void lock() { mutex.lock(); }
    bool try_lock() { return mutex.try_lock(); }
    void unlock() { mutex.unlock(); }

private:
    std::recursive_mutex mutex;
};

}  // namespace Quillomark::Platform::Os
