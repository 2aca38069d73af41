#include <fcc/runtime/internal/FccTiming.hxx>

namespace Quillomark::Fcc {

namespace {

FccTiming& timing() {
    static FccTiming current;
    return current;
}

}  // namespace

const FccTiming& fccTiming() { return timing(); }

void Testing::scaleFccTiming(std::uint32_t divisor) {
    if (divisor == 0) divisor = 1;
    const FccTiming normal;
    FccTiming& current = timing();
    current.monitorTick = normal.monitorTick / divisor;
    current.monitorStopLimit = normal.monitorStopLimit / divisor;
    current.masterPipeWait = normal.masterPipeWait / divisor;
    current.connectRetryPause = normal.connectRetryPause / divisor;
    current.launchWaitLimit = normal.launchWaitLimit / divisor;
    current.cacheMutexWait = normal.cacheMutexWait / divisor;
    current.cacheReattachPause = normal.cacheReattachPause / divisor;
    current.cacheReattachPauseLimit = normal.cacheReattachPauseLimit / divisor;
    current.setUpReplyWait = normal.setUpReplyWait / divisor;
}

}  // namespace Quillomark::Fcc
