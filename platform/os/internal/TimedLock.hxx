#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace Quillomark::Platform::Os {

// A lock that a thread can give up waiting for after a while. Built on a
// condition variable rather than on a timed mutex, whose timed wait the
// thread sanitizer of the toolchain does not follow.
class TimedLock {
public:
    void lock() {
        std::unique_lock<std::mutex> guard(mutex);
        freed.wait(guard, [this] { return !held; });
        held = true;
    }

    // Takes the lock unless it stays taken for that long: false then.
    bool lockWithin(std::uint32_t milliseconds) {
        std::unique_lock<std::mutex> guard(mutex);
        // A free lock is taken without reading the clock.
        if (held && !freed.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                    [this] { return !held; })) {
            return false;
        }
        held = true;
        return true;
    }

    void unlock() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            held = false;
        }
        freed.notify_one();
    }

private:
    std::mutex mutex;
    std::condition_variable freed;
    bool held = false;
};

}  // namespace Quillomark::Platform::Os
