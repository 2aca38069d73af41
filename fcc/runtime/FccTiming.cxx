#include <fcc/runtime/internal/FccTiming.hxx>

#include <array>
#include <atomic>
#include <cstddef>
#include <iterator>

namespace Quillomark::Fcc {

namespace {

constexpr std::uint32_t FccTiming::*const WAITS[] = {
    &FccTiming::monitorTick,        &FccTiming::monitorStopLimit,        &FccTiming::masterPipeWait,
    &FccTiming::connectRetryPause,  &FccTiming::launchWaitLimit,         &FccTiming::cacheMutexWait,
    &FccTiming::cacheReattachPause, &FccTiming::cacheReattachPauseLimit, &FccTiming::setUpReplyWait,
    &FccTiming::translationWait};
static_assert(sizeof(FccTiming) == std::size(WAITS) * sizeof(std::uint32_t),
              "every wait of FccTiming is listed in WAITS");

// The waits in force, each on its own: a test may change them while the
// client's threads read them.
using Waits = std::array<std::atomic<std::uint32_t>, std::size(WAITS)>;

Waits& current() {
    static Waits* const waits = [] {
        auto* made = new Waits;
        const FccTiming normal;
        for (std::size_t i = 0; i < made->size(); ++i) (*made)[i] = normal.*WAITS[i];
        return made;
    }();
    return *waits;
}

// Made as the library loads: a thread that made them as another forked
// would leave the child waiting for good on the static's guard.
[[maybe_unused]] const bool madeAtLoad = (current(), true);

}  // namespace

FccTiming fccTiming() {
    const Waits& waits = current();
    FccTiming timing;
    for (std::size_t i = 0; i < waits.size(); ++i) timing.*WAITS[i] = waits[i];
    return timing;
}

std::uint32_t fccWait(std::uint32_t FccTiming::*wait) {
    for (std::size_t i = 0; i < std::size(WAITS); ++i) {
        if (WAITS[i] == wait) return current()[i];
    }
    return FccTiming().*wait;
}

void Testing::scaleFccTiming(std::uint32_t divisor) {
    if (divisor == 0) divisor = 1;
    const FccTiming normal;
    Waits& waits = current();
    for (std::size_t i = 0; i < waits.size(); ++i) waits[i] = normal.*WAITS[i] / divisor;
}

void Testing::setFccWait(std::uint32_t FccTiming::*wait, std::uint32_t milliseconds) {
    for (std::size_t i = 0; i < std::size(WAITS); ++i) {
        if (WAITS[i] == wait) current()[i] = milliseconds;
    }
}

}  // namespace Quillomark::Fcc
