#include "tests/support/FailingAllocations.hxx"

#include <dlfcn.h>
#include <execinfo.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>

namespace Quillomark::Testing::FailingAllocations {

std::atomic<long> failAfter{-1};
std::atomic<bool> failOnce{false};
std::atomic<long> live{0};
std::atomic<long> failed{0};
std::atomic<std::thread::id> onlyThread{};

namespace {

// The stack of the first allocation that failed.
void* firstFailure[64];
int firstFailureDepth = 0;
// backtrace loads the unwinder at its first call, which allocates: as the
// program starts.
[[maybe_unused]] const int unwinderLoaded = [] {
    void* frame = nullptr;
    return backtrace(&frame, 1);
}();

}  // namespace

bool withinStack(void* const* frames, int depth, const char* text) {
    for (int frame = 0; frame < depth; ++frame) {
        Dl_info found{};
        if (dladdr(frames[frame], &found) == 0) continue;
        for (const char* name : {found.dli_fname, found.dli_sname}) {
            if (name != nullptr && std::strstr(name, text) != nullptr) return true;
        }
    }
    return false;
}

bool firstFailureWithin(const char* text) {
    return withinStack(firstFailure, firstFailureDepth, text);
}

}  // namespace Quillomark::Testing::FailingAllocations

using namespace Quillomark::Testing::FailingAllocations;

void* operator new(std::size_t size) {
    const std::thread::id counted = onlyThread.load(std::memory_order_relaxed);
    long left = counted == std::thread::id() || counted == std::this_thread::get_id()
                    ? failAfter.load()
                    : -1;
    while (left > 0 && !failAfter.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0) {
        if (failOnce) failAfter = -1;
        if (failed++ == 0) firstFailureDepth = backtrace(firstFailure, 64);
        throw std::bad_alloc();
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    ++live;
    return block;
}

// The replacement pair allocates with malloc and frees with free, which the
// compiler, seeing only the new-expression, takes for a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept {
    if (block != nullptr) {
        --live;
        std::free(block);
    }
}

void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
#pragma GCC diagnostic pop

// The other forms go through the pair above, also where a sanitizer's
// runtime defines them itself.
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return operator new(size, std::nothrow);
}
void operator delete[](void* block) noexcept { operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { operator delete(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { operator delete(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { operator delete(block); }
