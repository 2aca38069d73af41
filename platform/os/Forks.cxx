#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/Threads.hxx>
#include <platform/os/internal/Time.hxx>

#include <array>
#include <ctime>
#include <new>
#include <pthread.h>

namespace Quillomark::Platform::Os {

// The handlers that the library's units keep in their section, in the
// order of the library's objects; those of the section's owner alone, not
// of another copy of the library in the process. This one makes sure that
// the section is there.
QMSOA_IN_CHILD_AFTER_FORK(noHandler, nullptr);
QMSOA_BEFORE_FORK(noHandlerBefore, nullptr);
extern "C" {
extern void (*const __start_qmsoa_in_child_after_fork[])() __attribute__((visibility("hidden")));
extern void (*const __stop_qmsoa_in_child_after_fork[])() __attribute__((visibility("hidden")));
extern void (*const __start_qmsoa_before_fork[])() __attribute__((visibility("hidden")));
extern void (*const __stop_qmsoa_before_fork[])() __attribute__((visibility("hidden")));
}

// Plain storage, constant-initialised: regions of other units are made
// known on their first use, in whatever order, each in the first slot that
// was empty (a slot, once filled, keeps its region).
struct ForkRecords {
    static constexpr unsigned regionLimit = ForkRegion::LIMIT;
    std::atomic<unsigned> forks{0};
    std::array<std::atomic<ForkRegion*>, regionLimit> regions{};

    // What the forking thread read before it forked, of the other threads
    // (its own steps taken out): its own, since two threads may fork at
    // once.
    struct Before {
        std::uint32_t thread;
        std::uint64_t begun[regionLimit];
        std::uint64_t ended[regionLimit];
    };
    static thread_local Before before;
    static std::atomic<std::uint32_t> forker;
    // The forks under way (between their wait and their return in the
    // parent), which the short regions hold threads back for; the word that
    // those threads wait on.
    static std::atomic<int> forksUnderWay;

    // A child's handler ran out of memory, in this process or in one that
    // it was forked from since.
    std::atomic<bool> setUpFailed{false};

    static void prepare() noexcept;
    static void parent() noexcept;
    static void child() noexcept;
    static void waitForShortSteps() noexcept;
};

thread_local ForkRecords::Before ForkRecords::before{};
std::atomic<std::uint32_t> ForkRecords::forker{0};
std::atomic<int> ForkRecords::forksUnderWay{0};

namespace {

ForkRecords records;  // constant-initialised

// Runs one of the library's handlers. The C library runs them inside fork,
// whose frames are C: nothing that a handler throws (std::bad_alloc, where
// a child has no memory for what it makes anew) may leave, and the other
// handlers still run. Whether it ran whole.
bool ranWhole(void (*handler)()) noexcept {
    try {
        if (handler) handler();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

void ForkRecords::prepare() noexcept {
    ForkRegion::own.forking = true;
    for (auto* handler = __start_qmsoa_before_fork; handler != __stop_qmsoa_before_fork;
         ++handler) {
        ranWhole(*handler);
    }
    forksUnderWay.fetch_add(1, std::memory_order_seq_cst);
    waitForShortSteps();
    Before& now = before;
    now.thread = currentThreadId();
    const ForkRegion::OwnCounts& own = ForkRegion::own;
    for (unsigned i = 0; i < ForkRecords::regionLimit; ++i) {
        const ForkRegion* region = records.regions[i].load();
        if (!region) continue;
        // Begun first: a thread that enters and leaves in between shows as
        // one more end than beginning, and counts as inside.
        now.begun[i] = region->begun.load() - own.begun[i];
        now.ended[i] = region->ended.load() - own.ended[i];
    }
}

// Up to FORK_WAIT in all, however many regions and threads: once it gave
// up, the child learns of the threads still inside as of any region's. A
// short sleep between looks leaves the processor to the threads waited for.
// A count that the forking thread is half way through making (a signal's
// handler forks) leaves the region's counts unclear by its own: the fork
// does not wait on them, since the child is told of any thread inside or
// come in since by the counts it finds (and of this one's half-made step,
// which is mended after).
void ForkRecords::waitForShortSteps() noexcept {
    const ForkRegion::OwnCounts& own = ForkRegion::own;
    std::chrono::steady_clock::time_point deadline{};
    for (;;) {
        bool inside = false;
        for (unsigned i = 0; i < ForkRecords::regionLimit && !inside; ++i) {
            const ForkRegion* region = records.regions[i].load();
            if (!region || !region->shortStep) continue;
            const bool arrivalsClear = own.arriving[i] == 0;
            const bool countsClear = own.counting == nullptr || own.counting->at != i;
            inside = (arrivalsClear && region->arriving.load() != 0) ||
                     (countsClear &&
                      region->begun.load() - own.begun[i] != region->ended.load() - own.ended[i]);
        }
        if (!inside) return;
        const auto now = std::chrono::steady_clock::now();
        if (deadline == std::chrono::steady_clock::time_point{}) {
            deadline = now + ForkRegion::FORK_WAIT;
        } else if (now >= deadline) {
            return;
        }
        const timespec pause{0, 20000};
        nanosleep(&pause, nullptr);
    }
}

void ForkRecords::parent() noexcept {
    forksUnderWay.fetch_sub(1, std::memory_order_seq_cst);
    wakeWaiters(forksUnderWay);
    ForkRegion::own.forking = false;
}

void ForkRecords::child() noexcept {
    const unsigned forks = records.forks.fetch_add(1) + 1;
    // No fork of the parent's is under way here, and the threads that were
    // arriving at a short region stayed with the parent. This one, where a
    // signal's handler forked in the middle of its arrival, counts itself
    // gone without going below none.
    forksUnderWay.store(0);
    ForkRegion::OwnCounts& own = ForkRegion::own;
    for (unsigned i = 0; i < ForkRecords::regionLimit; ++i) {
        if (ForkRegion* region = records.regions[i].load()) region->arriving.store(0);
    }
    // Between the two counts of a step: what the child finds, for the
    // thread to mend with once it has made the second.
    if (ForkRegion::HalfCount* half = own.counting) {
        if (ForkRegion* region = records.regions[half->at].load()) {
            half->forked = true;
            half->ownCounted = (half->end ? own.ended : own.begun)[half->at] != half->ownStart;
            half->sharedAtFork = half->end ? region->ended.load() : region->begun.load();
        }
    }
    forker.store(before.thread);
    for (unsigned i = 0; i < ForkRecords::regionLimit; ++i) {
        ForkRegion* region = records.regions[i].load();
        if (!region) continue;
        const std::uint64_t begun = region->begun.load() - own.begun[i],
                            ended = region->ended.load() - own.ended[i];
        if (begun != ended || begun != before.begun[i] || ended != before.ended[i]) {
            region->lastForkInUse.store(forks);
        }
    }
    for (auto* handler = __start_qmsoa_in_child_after_fork;
         handler != __stop_qmsoa_in_child_after_fork; ++handler) {
        if (!ranWhole(*handler)) records.setUpFailed.store(true);
    }
    // The other threads that were inside stayed with the parent and never
    // leave in this process: from here on no thread is inside but this
    // one, where it was, and the forks that this process makes are told so.
    for (unsigned i = 0; i < ForkRecords::regionLimit; ++i) {
        if (ForkRegion* region = records.regions[i].load())
            region->ended.store(region->begun.load() - (own.begun[i] - own.ended[i]));
    }
    own.forking = false;
}

namespace {

std::atomic<bool> handlersRegistered{false};
pthread_once_t registration = PTHREAD_ONCE_INIT;  // constant-initialised

void registerOnce() noexcept {
    pthread_atfork(ForkRecords::prepare, ForkRecords::parent, ForkRecords::child);
    handlersRegistered.store(true, std::memory_order_release);
}

// As the library loads, when nothing of it was used before. The C
// library takes its own lock of the handlers around each fork, and a child
// forked while another thread registered them reruns the registration.
[[maybe_unused]] const bool registeredAsTheLibraryLoads = (registerForkHandlers(), true);

}  // namespace

void registerForkHandlers() {
    if (handlersRegistered.load(std::memory_order_acquire)) return;
    pthread_once(&registration, registerOnce);
}

bool setUpFailedInAFork() { return records.setUpFailed.load(std::memory_order_relaxed); }

unsigned forksSoFar() {
    registerForkHandlers();
    return records.forks.load(std::memory_order_relaxed);
}

namespace {

// A list without a lock: a lock could be held by a thread that a fork left
// behind.
struct LeftAlone {
    void* object;
    LeftAlone* next;
};
std::atomic<LeftAlone*> leftAlone{nullptr};

}  // namespace

void leaveAlone(void* object) noexcept {
    if (object == nullptr) return;
    // Without memory for its entry the object is not listed: it is never
    // freed all the same, but a leak checker counts it.
    auto* left = new (std::nothrow) LeftAlone{object, leftAlone.load(std::memory_order_relaxed)};
    if (left == nullptr) return;
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

// Each thread that enters before the region is known makes sure that it is
// in a slot before it enters, so that no fork misses it, without a lock or
// a wait (a thread that a fork left half way would hold either): it looks
// at the slots in order and fills the first empty one, unless it finds the
// region there first. Threads that do so at once all meet at the same slot,
// so that a region takes one however many threads make it known (past the
// limit, none: it is then taken for in use at every fork).
void ForkRegion::makeKnown() {
    registerForkHandlers();
    unsigned at = 0;
    for (; at < ForkRecords::regionLimit; ++at) {
        ForkRegion* found = nullptr;
        if (records.regions[at].compare_exchange_strong(found, this) || found == this) break;
    }
    slot.store(at, std::memory_order_release);
}

// Looks at the forks under way after it counts itself arriving, as a fork
// counts itself under way before it looks at the arrivals (both in the one
// order of all such operations): either the fork waits for this thread to
// be inside and leave, or this thread sees the fork and turns back. One
// held back longer than GATE_WAIT enters all the same: the fork may be
// waiting for an at-fork handler of the application's that needs a lock
// this thread holds.
void ForkRegion::enterPastForks(unsigned at) {
    std::chrono::steady_clock::time_point deadline{};
    std::uint32_t unknown = 0;  // a region past the limit counts nothing of its own
    std::uint32_t& mine = at < LIMIT ? own.arriving[at] : unknown;
    // A child forked by a signal's handler on this thread between two
    // counts may have none left to take back.
    const auto leave = [this, &mine] {
        std::uint32_t now = arriving.load(std::memory_order_seq_cst);
        while (now != 0 &&
               !arriving.compare_exchange_weak(now, now - 1, std::memory_order_seq_cst)) {
        }
        if (mine != 0) --mine;
    };
    for (bool late = false;;) {
        ++mine;
        arriving.fetch_add(1, std::memory_order_seq_cst);
        const int forks = ForkRecords::forksUnderWay.load(std::memory_order_seq_cst);
        // The fork that this thread makes itself holds nothing back.
        if (forks == 0 || late || own.forking) {
            count(at, false);
            leave();
            return;
        }
        leave();
        const auto now = std::chrono::steady_clock::now();
        if (deadline == std::chrono::steady_clock::time_point{}) deadline = now + GATE_WAIT;
        late = now >= deadline;
        if (!late) waitWhileEqual(ForkRecords::forksUnderWay, forks, deadline);
    }
}

// The child set the count of ends by the thread's own counts as it found
// them, one off where it came after the first of the two counts and before
// the second: a beginning that the region counted and the thread not yet was
// taken for ended, and an end that the thread counted and the region not yet
// is counted again by the region's count made since. Whether the region's
// count came before the fork is told by what it returned: less than the
// child found (the child set the count of ends to no less than it found
// where the thread's end was not yet in its own count, and to more where it
// was, so that an end counted after the fork returns no less).
void ForkRegion::mendHalfWay(const HalfCount& half, std::uint64_t ticket) {
    const bool sharedBefore = ticket < half.sharedAtFork;
    if (sharedBefore != half.ownCounted) ended.fetch_sub(1, std::memory_order_seq_cst);
}

bool ForkRegion::inUseAtLastFork() const {
    const unsigned forks = forksSoFar();
    const unsigned at = slot.load(std::memory_order_acquire);
    if (at == UNKNOWN) return false;  // never entered
    if (at >= ForkRecords::regionLimit) return forks != 0;
    return forks != 0 && lastForkInUse.load(std::memory_order_relaxed) == forks;
}

bool ForkRegion::insideAsCopied() const {
    const unsigned at = slot.load(std::memory_order_acquire);
    if (at >= LIMIT) return begun.load() != ended.load();
    return begun.load() - own.begun[at] != ended.load() - own.ended[at];
}

bool ForkRegion::wholeSince(unsigned forks) const {
    const unsigned at = slot.load(std::memory_order_acquire);
    if (at == UNKNOWN) return true;  // never entered
    return at < ForkRecords::regionLimit && lastForkInUse.load(std::memory_order_relaxed) <= forks;
}

}  // namespace Quillomark::Platform::Os
