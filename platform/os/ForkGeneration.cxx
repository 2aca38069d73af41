#include <platform/os/internal/ForkGeneration.hxx>

#include <atomic>
#include <pthread.h>
#include <unistd.h>

namespace Quillomark::Platform::Os {

namespace {

// Counted up in each child by a handler that is registered when the library
// loads, before any thread of the library can fork or be forked around:
// registered on first use instead, a fork during the registration could
// leave the child waiting on the guard of a static for good.
std::atomic<unsigned> forks{0};

void forked() { forks.fetch_add(1, std::memory_order_relaxed); }

const bool counting = ::pthread_atfork(nullptr, nullptr, forked) == 0;

// A list without a lock: a lock could be held by a thread that a fork left
// behind.
struct LeftAlone {
    void* object;
    LeftAlone* next;
};
std::atomic<LeftAlone*> leftAlone{nullptr};

}  // namespace

unsigned forkGeneration() {
    // Without the handler (no memory for it at load) the process's number
    // stands in: it differs from a living parent's.
    return counting ? forks.load(std::memory_order_relaxed) : static_cast<unsigned>(::getpid());
}

void leaveAlone(void* object) {
    auto* left = new LeftAlone{object, leftAlone.load(std::memory_order_relaxed)};
    while (!leftAlone.compare_exchange_weak(left->next, left, std::memory_order_release,
                                            std::memory_order_relaxed)) {
    }
}

}  // namespace Quillomark::Platform::Os
