#pragma once

#include <cstdint>

namespace Quillomark::Platform::Os {

// The kernel's identifier of the calling thread (unique among the live
// threads of the system).
std::uint32_t currentThreadId();

using ThreadRoutine = unsigned (*)(void* argument);

// Identifies a thread started by startThread; it is not a pointer to
// anything. Null stands for "no thread", and so does invalidThreadHandle.
using ThreadHandle = void*;
inline ThreadHandle const invalidThreadHandle = reinterpret_cast<ThreadHandle>(-1);

// Starts routine(argument) on a new thread with the default stack size.
// Returns null when no thread could be made (for want of memory too);
// otherwise the thread's handle, with its identifier stored in *threadId
// when threadId is not null. The thread's resources are released when its
// routine returns.
ThreadHandle startThread(ThreadRoutine routine, void* argument, std::uint32_t* threadId);

// Makes what startThread and terminateThread keep of the threads, once per
// process, so that neither makes it on a first use. Throws std::bad_alloc.
void makeThreadRegistry();

// Asks a thread started by startThread to stop. The thread ends at its next
// cancellation point (a sleep, a wait, a blocking read or write), unwinding
// its stack; it does not stop in the middle of arbitrary code. A handle of a
// thread that has ended, an unknown handle, null and invalidThreadHandle are
// ignored. Returns without waiting for the thread to end.
void terminateThread(ThreadHandle handle);

}  // namespace Quillomark::Platform::Os
