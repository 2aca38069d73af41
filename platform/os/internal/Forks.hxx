#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace Quillomark::Platform::Os {

// What a child of fork needs to know of the process it was copied from. The
// child has one thread, the one that forked: every other thread's locks,
// half-done changes and descriptor numbers are in its memory as they stood.
// Nothing here takes a lock around a fork, and every wait at a fork is
// bounded by the steady clock: the application's own at-fork handlers may
// hold their locks (an allocator's among them) while a thread inside the
// library needs one, and a thread that the library holds back may hold a
// lock that such a handler needs. The parent runs the handlers kept to run
// before a fork (QMSOA_BEFORE_FORK), waits a moment for the threads inside
// the regions whose step is short (ForkRegion::SHORT_STEP, below), and
// reads counters; all else is done in the child.

// Makes the library's handlers run at every fork from now on (once per
// process): as the library loads, or at the first use of what a child must
// know of (a fork count read, a region entered, a process-wide object
// made) when that comes first, from an application's static constructor
// that runs before the library's own (a static link puts the
// application's objects first). Takes no lock of the library's.
void registerForkHandlers();

// The forks that made this process since the library was loaded, counted
// in the child: what the library made when the count was another (a
// connection, a socket, an ORB) is its parent's. Takes no lock and, but
// for the process's first call, no system call.
unsigned forksSoFar();

// Whether a child's handler of the library (QMSOA_IN_CHILD_AFTER_FORK)
// could not make what it makes anew there, no memory being left, in this
// process or in one that it was forked from since. fork returns all the
// same, the other handlers having run, and the parts whose state that was
// refuse to be used: the threads that the library starts, the file-cache
// interface, and the fast cache's creation of files.
bool setUpFailedInAFork();

// Keeps `object` reachable, never freed, for the rest of the process: what a
// forked child found of its parent's and must not end (ending it could
// close or write to what the parent still uses, or wait for a lock that a
// thread the fork left behind holds). Takes no lock, and needs no memory.
void leaveAlone(void* object) noexcept;

// In a child's at-fork handler: puts `fresh` in the slot in place of the
// parent's copy, which is left alone (still reachable, never freed).
template <class T>
void replaceInChild(std::atomic<T*>& slot, T* fresh) {
    leaveAlone(slot.exchange(fresh));
}

// A process-wide object that nothing destroys (threads may still use it as
// the process exits), made by its first use. A namespace-scope one is
// constant-initialised: a call from an application's static constructor
// that runs before the library's own (a static link puts the application's
// objects first) finds it as well as any later call. Two threads that make
// it at once keep one, the other's is deleted; no lock or guard is taken, so
// that a child forked meanwhile finds it whole or not made at all. A child's
// at-fork handler may put a fresh one in place of one that was made:
// replaceInChild(object.slot(), fresh).
template <class T>
class ProcessObject {
public:
    using Maker = T* (*)();
    constexpr ProcessObject() : maker(&makeDefault) {}
    constexpr explicit ProcessObject(Maker maker) : maker(maker) {}
    ProcessObject(const ProcessObject&) = delete;
    ProcessObject& operator=(const ProcessObject&) = delete;

    T& operator*() { return *get(); }
    T* operator->() { return get(); }
    T* get() {
        T* object = made.load(std::memory_order_acquire);
        if (object != nullptr) return object;
        registerForkHandlers();
        T* const mine = maker();
        if (made.compare_exchange_strong(object, mine, std::memory_order_acq_rel)) return mine;
        delete mine;
        return object;
    }
    // The object, or null while nothing made it: what a child's at-fork
    // handler looks at, so that it makes nothing of the parent's there.
    T* ifMade() { return made.load(std::memory_order_acquire); }
    std::atomic<T*>& slot() { return made; }

private:
    static T* makeDefault() { return new T{}; }

    std::atomic<T*> made{nullptr};
    Maker maker;
};

// In a child: the identifier (currentThreadId) that the forking thread had
// in its parent, which the locks it held there still name; 0 elsewhere.
std::uint32_t forkingThreadId();

// In a child's at-fork handler: whether the child's copy of the mutex is
// held, by a thread it does not have (the forking thread is in no
// critical section of the library's as it forks), so that the child must
// not take it, nor trust what it guards to be whole.
bool heldAtFork(std::mutex& mutex);

// Runs handler in the child after each fork, once the counts above are
// up to date, in the order of the library's objects. At namespace scope:
// the handler is kept in a section of the library's image, not registered
// as the library loads, so that a fork made before the library's statics
// (from an application's static constructor) runs it too.
#if __has_attribute(retain)
#define QMSOA_FORK_HANDLER_KEPT used, retain
#else
#define QMSOA_FORK_HANDLER_KEPT used
#endif
#define QMSOA_IN_CHILD_AFTER_FORK(name, handler) \
    __attribute__((QMSOA_FORK_HANDLER_KEPT,      \
                   section("qmsoa_in_child_after_fork"))) void (*const name)() = handler

// Runs handler in the forking thread before each fork, kept as those above
// are, in the order of the library's objects. It takes no lock of the
// library's, and none that a thread may hold while it runs code of the
// application's.
#define QMSOA_BEFORE_FORK(name, handler)                                                          \
    __attribute__((QMSOA_FORK_HANDLER_KEPT, section("qmsoa_before_fork"))) void (*const name)() = \
        handler

// Work that a child must not take over half done: the changes of a set of
// descriptors kept in memory (a fork copies the descriptors before the
// memory, so that a number made or closed in between is wrong in the
// child), or the use of state that the child then abandons. Tells in a
// child whether another thread than the forking one was inside between the
// moment the forking thread began its fork and the copy of the memory. Once
// the child's at-fork handlers have run, no other thread is inside in the
// child (those that were stayed with the parent), so that the forks it makes
// in turn are told of its own threads alone. A namespace-scope object, constant-initialised:
// a thread that an application's static constructor started may be inside
// before the library's statics are made, and the forks that the process
// makes then are told of it. Known to the forks from its first use on: at
// most 16 in use.
//
// A region whose step is short, does no I/O and runs no code of the
// application's is made with SHORT_STEP: a fork waits until no thread is
// inside (up to FORK_WAIT, so that a thread that the machine's load holds
// up inside is still waited for), and holds back the threads that come to
// it meanwhile until the fork is done (each up to GATE_WAIT), so that its
// child finds the region as no thread was inside. Only a fork that gave up
// waiting, or a thread that gave up being held back, leaves a thread inside
// as the memory is copied. A region whose step may be long (waits for a
// server, reads a document of any size) or runs the application's code
// keeps the plain rule: the fork does not wait, and its child learns that a
// thread was inside.
class ForkRegion {
public:
    enum Step { ANY_STEP, SHORT_STEP };
    // A fork's wait for the threads inside its short regions, in all.
    static constexpr std::chrono::milliseconds FORK_WAIT{50};
    // A thread's wait to enter a short region while a fork is under way:
    // the fork's wait and its copy of the process.
    static constexpr std::chrono::milliseconds GATE_WAIT{2 * FORK_WAIT};

    constexpr ForkRegion() = default;
    constexpr explicit ForkRegion(Step step) : shortStep(step == SHORT_STEP) {}
    ForkRegion(const ForkRegion&) = delete;
    ForkRegion& operator=(const ForkRegion&) = delete;

    class Scope {
    public:
        explicit Scope(ForkRegion& region) : region(region) {
            if (region.slot.load(std::memory_order_acquire) == UNKNOWN) region.makeKnown();
            at = region.slot.load(std::memory_order_relaxed);
            if (region.shortStep) {
                region.enterPastForks(at);
            } else {
                region.count(at, false);
            }
        }
        ~Scope() { region.count(at, true); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        ForkRegion& region;
        unsigned at;
    };

    // In a child: whether another thread than the forking one was inside as
    // the process was forked.
    bool inUseAtLastFork() const;
    // In a child's at-fork handler: whether a thread of the parent was
    // inside as the memory was copied, so that what the region changes in
    // memory may be half changed. Unlike inUseAtLastFork, a thread that
    // came and went while the process forked does not count: what it
    // changed is whole in the copy (each thread's writes reach it up to the
    // first that the fork holds up). Nor does the forking thread, which
    // finishes its own step in the child.
    bool insideAsCopied() const;
    // Whether any thread, the calling one too, is inside now.
    bool anyThreadInside() const { return begun.load() != ended.load(); }
    // Whether no fork since the count was forksSoFar() came while a thread
    // was inside: what was true of the region's state then is true now.
    bool wholeSince(unsigned forks) const;

private:
    friend struct ForkRecords;
    static constexpr unsigned UNKNOWN = ~0u;
    // The regions that the forks know of; any more are taken for in use at
    // every fork.
    static constexpr unsigned LIMIT = 16;
    // Makes the region known to the forks before the caller enters it.
    void makeKnown();
    // Enters a short region once no fork is under way (or none but the
    // calling thread's own), or once the wait for that is over.
    void enterPastForks(unsigned at);

    // A count of the calling thread's that a fork from a signal's handler
    // may find half made. It lives on the counting call's stack, so that a
    // step taken in the child before the call goes on (by the handler)
    // neither uses it up nor clears it.
    struct HalfCount {
        unsigned at;
        bool end;
        std::uint64_t ownStart;
        // Set in a child forked between the two counts: whether the
        // thread's own count came before the fork, and the region's count
        // as the child found it.
        bool forked;
        bool ownCounted;
        std::uint64_t sharedAtFork;
    };

    // Counts the calling thread's beginning or end of a step, in the
    // region's count and its own: begun first there, ended last, so that a
    // child forked between the two can tell whether the region's count came
    // before its fork, by what that count returned.
    void count(unsigned at, bool end) {
        std::atomic<std::uint64_t>& shared = end ? ended : begun;
        if (at >= LIMIT) {
            shared.fetch_add(1, std::memory_order_seq_cst);
            return;
        }
        OwnCounts& mine = own;
        std::uint64_t& mineCounted = end ? mine.ended[at] : mine.begun[at];
        HalfCount half{at, end, mineCounted, false, false, 0};
        HalfCount* const outer = mine.counting;
        mine.counting = &half;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (end) ++mineCounted;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        const std::uint64_t ticket = shared.fetch_add(1, std::memory_order_seq_cst);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (!end) ++mineCounted;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        mine.counting = outer;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (half.forked) mendHalfWay(half, ticket);
    }
    // In a child forked between the two counts of the step just counted:
    // evens the region's count of ends with this thread's own, which the
    // child set by the own count alone.
    void mendHalfWay(const HalfCount& half, std::uint64_t ticket);

    // What the calling thread itself counted of each known region. A fork
    // that a thread makes while it is inside one (from a signal's handler)
    // or that enters one (an at-fork handler of the application's, run
    // after the library's before the fork, or before its own after it)
    // waits for none of that thread's steps, holds none of them back and
    // tells its child of none: the thread goes on with them, in the parent
    // and in the child. A fork that came between a thread's two counts of a
    // step is mended once the thread has made the second: only that fork's
    // child is told of the step, as it would be of another thread's.
    struct OwnCounts {
        std::uint64_t begun[LIMIT];
        std::uint64_t ended[LIMIT];
        std::uint32_t arriving[LIMIT];
        bool forking;
        // The count that the thread is making, if any.
        HalfCount* counting;
    };
    static inline thread_local OwnCounts own{};

    const bool shortStep = false;
    std::atomic<std::uint64_t> begun{0}, ended{0};
    // The threads of a short region between their look at the forks under
    // way and their entry (or their turning back): a fork that began waits
    // for them to be inside or gone.
    std::atomic<std::uint32_t> arriving{0};
    // Where the forks find it; UNKNOWN while no thread has entered it.
    std::atomic<unsigned> slot{UNKNOWN};
    // The last fork that came while a thread was inside.
    std::atomic<unsigned> lastForkInUse{0};
};

}  // namespace Quillomark::Platform::Os
