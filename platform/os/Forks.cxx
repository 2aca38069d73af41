#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/Threads.hxx>

#include <array>
#include <pthread.h>

namespace Quillomark::Platform::Os {

// Plain storage, constant-initialised: handlers and regions of other
// units register as the library loads, in whatever order.
struct ForkRecords {
    static constexpr unsigned handlerLimit = 32, regionLimit = 16;
    std::atomic<unsigned> forks{0};
    std::atomic<unsigned> handlerCount{0};
    std::array<std::atomic<void (*)()>, handlerLimit> handlers{};
    std::atomic<unsigned> regionCount{0};
    std::array<std::atomic<ForkRegion*>, regionLimit> regions{};

    // What the forking thread read before it forked: its own, since two
    // threads may fork at once.
    struct Before {
        std::uint32_t thread;
        std::uint64_t begun[regionLimit];
        std::uint64_t ended[regionLimit];
    };
    static thread_local Before before;
    static std::atomic<std::uint32_t> forker;

    static void prepare();
    static void child();
};

thread_local ForkRecords::Before ForkRecords::before{};
std::atomic<std::uint32_t> ForkRecords::forker{0};

namespace {

ForkRecords records;  // constant-initialised

}  // namespace

void ForkRecords::prepare() {
    Before& now = before;
    now.thread = currentThreadId();
    const unsigned count = records.regionCount.load();
    for (unsigned i = 0; i < count; ++i) {
        const ForkRegion* region = records.regions[i].load();
        if (!region) continue;
        // Begun first: a thread that enters and leaves in between shows as
        // one more end than beginning, and counts as inside.
        now.begun[i] = region->begun.load();
        now.ended[i] = region->ended.load();
    }
}

void ForkRecords::child() {
    const unsigned forks = records.forks.fetch_add(1) + 1;
    forker.store(before.thread);
    const unsigned regionCount = records.regionCount.load();
    for (unsigned i = 0; i < regionCount; ++i) {
        ForkRegion* region = records.regions[i].load();
        if (!region) continue;
        const std::uint64_t begun = region->begun.load(), ended = region->ended.load();
        if (begun != ended || begun != before.begun[i] || ended != before.ended[i]) {
            region->lastForkInUse.store(forks);
        }
    }
    const unsigned count = records.handlerCount.load();
    for (unsigned i = 0; i < count; ++i) {
        if (void (*handler)() = records.handlers[i].load()) handler();
    }
    // The threads that were inside stayed with the parent and never leave
    // in this process: from here on no thread is inside, and the forks that
    // this process makes are told so.
    for (unsigned i = 0; i < regionCount; ++i) {
        if (ForkRegion* region = records.regions[i].load())
            region->ended.store(region->begun.load());
    }
}

namespace {

// Registered as the library loads, before any thread of the application's
// can fork under a registration (whose own lock a fork might copy held).
[[maybe_unused]] const int registered =
    pthread_atfork(ForkRecords::prepare, nullptr, ForkRecords::child);

}  // namespace

unsigned forksSoFar() { return records.forks.load(std::memory_order_relaxed); }

namespace {

// A list without a lock: a lock could be held by a thread that a fork left
// behind.
struct LeftAlone {
    void* object;
    LeftAlone* next;
};
std::atomic<LeftAlone*> leftAlone{nullptr};

}  // namespace

void leaveAlone(void* object) {
    if (object == nullptr) return;
    auto* left = new LeftAlone{object, leftAlone.load(std::memory_order_relaxed)};
    while (!leftAlone.compare_exchange_weak(left->next, left, std::memory_order_release,
                                            std::memory_order_relaxed)) {
    }
}

bool heldAtFork(std::mutex& mutex) {
    if (!mutex.try_lock()) return true;
    mutex.unlock();
    return false;
}

std::uint32_t forkingThreadId() { return ForkRecords::forker.load(std::memory_order_relaxed); }

InChildAfterFork::InChildAfterFork(void (*handler)()) {
    const unsigned slot = records.handlerCount.load();
    if (slot >= ForkRecords::handlerLimit) return;
    records.handlers[slot].store(handler);
    records.handlerCount.store(slot + 1);
}

ForkRegion::ForkRegion() : slot(records.regionCount.load()) {
    if (slot >= ForkRecords::regionLimit) return;
    records.regions[slot].store(this);
    records.regionCount.store(slot + 1);
}

bool ForkRegion::inUseAtLastFork() const {
    const unsigned forks = forksSoFar();
    if (slot >= ForkRecords::regionLimit) return forks != 0;
    return forks != 0 && lastForkInUse.load(std::memory_order_relaxed) == forks;
}

bool ForkRegion::insideAsCopied() const { return begun.load() != ended.load(); }

bool ForkRegion::wholeSince(unsigned forks) const {
    return slot < ForkRecords::regionLimit &&
           lastForkInUse.load(std::memory_order_relaxed) <= forks;
}

}  // namespace Quillomark::Platform::Os
