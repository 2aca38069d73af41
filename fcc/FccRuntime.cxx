// The timing and thread entries of the library's own file-cache interface.

#include <fcc/internal/FccSelfProxy.hxx>

#include <platform/os/internal/Threads.hxx>
#include <platform/os/internal/Time.hxx>

#include <climits>

namespace Quillomark::Fcc::SelfProxy {

namespace Os = Quillomark::Platform::Os;

int FmsDeltaMs(FmsClockValue later, FmsClockValue earlier) {
    // Clock values count milliseconds already. A difference beyond the range
    // of the result saturates rather than wrapping into a wrong sign.
    FmsClockValue delta = 0;
    if (__builtin_sub_overflow(later, earlier, &delta)) return later > earlier ? INT_MAX : INT_MIN;
    if (delta > INT_MAX) return INT_MAX;
    if (delta < INT_MIN) return INT_MIN;
    return static_cast<int>(delta);
}

FmsClockValue FmsClock() { return Os::monotonicMilliseconds(); }

std::uint32_t ThreadId() { return Os::currentThreadId(); }

void FmsSleepMs(std::uint32_t milliseconds) { Os::sleepMilliseconds(milliseconds); }

FccThreadHandle FCCStartThread(FccThreadRoutine routine, void* argument, std::uint32_t* threadId) {
    return Os::startThread(routine, argument, threadId);
}

void FCCTerminateThread(FccThreadHandle thread, std::uint32_t) {
    // A cancelled thread's exit code is not kept: nothing reads it.
    Os::terminateThread(thread);
}

}  // namespace Quillomark::Fcc::SelfProxy
