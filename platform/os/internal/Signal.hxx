#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace Quillomark::Platform::Os {

// A flag that threads can wait for with a time limit: a waiting thread
// wakes as soon as another raises it, not at the end of its wait.
class Signal {
public:
    void raise() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            raised = true;
        }
        changed.notify_all();
    }

    void lower() {
        std::lock_guard<std::mutex> guard(mutex);
        raised = false;
    }

    bool isRaised() {
        std::lock_guard<std::mutex> guard(mutex);
        return raised;
    }

    // Waits until the flag is raised or the time is up; true when raised.
    bool waitFor(std::uint32_t milliseconds) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                [this] { return raised; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool raised = false;
};

}  // namespace Quillomark::Platform::Os
