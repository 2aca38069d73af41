#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/Threads.hxx>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace Quillomark::Platform::Os {

namespace {

// The threads started here that have not ended yet, by handle. A thread
// takes itself out before it ends, under the registry's lock, so a thread
// found here can still be cancelled safely: its pthread_t stays valid while
// the lock is held.
struct ThreadRegistry {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, pthread_t> live;
    std::uintptr_t nextHandle = 1;
};

// Never destroyed: threads may still end after static destruction began.
// A forked child has none of its parent's threads, and its copy of the
// registry may be half changed by one of them: it starts a registry of its
// own, and leaves the copy as it is.
ProcessObject<ThreadRegistry> current;

ThreadRegistry& registry() { return *current; }

void startRegistryInChild() {
    ThreadRegistry* const parents = current.ifMade();
    if (!parents) return;
    auto* fresh = new ThreadRegistry;
    fresh->nextHandle = parents->nextHandle + 1;
    replaceInChild(current.slot(), fresh);
}

QMSOA_IN_CHILD_AFTER_FORK(registryInChild, startRegistryInChild);

struct ThreadStart {
    ThreadRoutine routine;
    void* argument;
    std::uintptr_t handle;
    std::promise<std::uint32_t> threadId;
};

// Runs when the thread ends, whether its routine returned or it was
// cancelled and is unwinding.
class ThreadExit {
public:
    explicit ThreadExit(std::uintptr_t handle) : handle(handle) {}
    ~ThreadExit() {
        int ignored;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &ignored);
        ThreadRegistry& threads = registry();
        std::lock_guard<std::mutex> guard(threads.mutex);
        threads.live.erase(handle);
    }
    ThreadExit(const ThreadExit&) = delete;
    ThreadExit& operator=(const ThreadExit&) = delete;

private:
    std::uintptr_t handle;
};

void* runThread(void* startArgument) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(startArgument));
    ThreadRoutine routine = start->routine;
    void* argument = start->argument;
    ThreadExit exit(start->handle);
    start->threadId.set_value(currentThreadId());
    start.reset();
    routine(argument);
    return nullptr;
}

}  // namespace

namespace {

// A thread's identifier, asked of the kernel once per thread: callers ask
// for it on every file-cache call. A forked child's only thread has an
// identifier of its own, so the child asks again (also in the child's
// at-fork handlers, whatever their order).
thread_local std::uint32_t cachedThreadId = 0;
thread_local unsigned cachedAtForks = 0;

}  // namespace

std::uint32_t currentThreadId() {
    const unsigned forks = forksSoFar();
    if (cachedThreadId == 0 || cachedAtForks != forks) {
        cachedThreadId = static_cast<std::uint32_t>(gettid());
        cachedAtForks = forks;
    }
    return cachedThreadId;
}

void makeThreadRegistry() { registry(); }

ThreadHandle startThread(ThreadRoutine routine, void* argument, std::uint32_t* threadId) {
    // A child without its own registry would take its parent's lock.
    if (!routine || setUpFailedInAFork()) return nullptr;
    std::uintptr_t handle = 0;
    // Declared before its future, so that the future goes first: a promise
    // that goes while its future is still held is broken, and the error
    // that tells so is made with memory, in a destructor that may not
    // throw.
    std::unique_ptr<ThreadStart> start;
    std::future<std::uint32_t> startedId;
    try {
        ThreadRegistry& threads = registry();
        std::lock_guard<std::mutex> guard(threads.mutex);
        handle = threads.nextHandle++;
        // Every allocation comes before the thread starts: one that fails
        // leaves no thread running with what its caller then takes back.
        const auto entry = threads.live.emplace(handle, pthread_t{}).first;
        try {
            start = std::make_unique<ThreadStart>(
                ThreadStart{routine, argument, handle, std::promise<std::uint32_t>()});
        } catch (const std::bad_alloc&) {
            threads.live.erase(entry);
            return nullptr;
        }
        startedId = start->threadId.get_future();

        pthread_attr_t attributes;
        int created = pthread_attr_init(&attributes);
        pthread_t thread{};
        if (created == 0) {
            pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
            created = pthread_create(&thread, &attributes, runThread, start.get());
            pthread_attr_destroy(&attributes);
        }
        if (created != 0) {
            threads.live.erase(entry);
            return nullptr;
        }
        start.release();  // the thread owns it now
        entry->second = thread;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    const std::uint32_t id = startedId.get();
    if (threadId) *threadId = id;
    return reinterpret_cast<ThreadHandle>(handle);
}

void terminateThread(ThreadHandle handle) {
    if (!handle || handle == invalidThreadHandle || setUpFailedInAFork()) return;
    ThreadRegistry& threads = registry();
    std::lock_guard<std::mutex> guard(threads.mutex);
    auto found = threads.live.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found != threads.live.end()) pthread_cancel(found->second);
}

}  // namespace Quillomark::Platform::Os
