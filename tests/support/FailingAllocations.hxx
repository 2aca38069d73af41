#pragma once

// The global allocation functions of a test executable built with
// FailingAllocations.cxx: they fail the n-th allocation from now (alone, or
// with every one after it) and count the blocks in use. The counts are
// atomic, so that a thread the code under test starts may allocate and free
// meanwhile; which allocation fails is told only while one thread allocates,
// or while the allocations of one thread alone are counted (onlyThread).

#include <atomic>
#include <thread>

namespace Quillomark::Testing::FailingAllocations {

extern std::atomic<long> failAfter;  // allocations left before one fails; -1: never fail
extern std::atomic<bool> failOnce;   // whether only that one fails, or every one from it on
extern std::atomic<long> live;       // blocks allocated and not yet freed
extern std::atomic<long> failed;     // allocations failed so far
// The thread whose allocations count towards failAfter and fail; those of
// every thread while it is the default (no thread).
extern std::atomic<std::thread::id> onlyThread;

// Whether a frame of the stack (as backtrace gives it) lies in a shared
// library whose file name, or in an exported function whose name, holds
// `text`.
bool withinStack(void* const* frames, int depth, const char* text);
// The same of the stack of the process's first allocation that failed.
bool firstFailureWithin(const char* text);

}  // namespace Quillomark::Testing::FailingAllocations
