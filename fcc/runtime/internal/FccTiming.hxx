#pragma once

#include <cstdint>

namespace Quillomark::Fcc {

// Every wait of the file-cache client in one place, in milliseconds.
struct FccTiming {
    std::uint32_t monitorTick = 1000;
    std::uint32_t monitorStopLimit = 15000;
    std::uint32_t masterPipeWait = 1000;     // for a busy master pipe
    std::uint32_t connectRetryPause = 1000;  // between connect attempts
    std::uint32_t launchWaitLimit = 60000;   // for a launched server's pipe
    // What one lookup or read of the fast cache waits in all for the cache's
    // lock (FMSC_MUTEX_WAIT_MS), the other threads' turns at it and the wait
    // of an attach on its way included; the attach's exchanges with the
    // server (version check, cache information) wait setUpReplyWait each.
    std::uint32_t cacheMutexWait = 5000;
    // After the client left the fast cache by itself, the pause before it
    // tries to attach again, doubled after each failed try up to the limit.
    std::uint32_t cacheReattachPause = 500;
    std::uint32_t cacheReattachPauseLimit = 8000;
    // For each reply of a set-up exchange (the master pipe's name, the
    // version check, the cache information): a server that stays silent
    // must not hold the caller for ever.
    std::uint32_t setUpReplyWait = 60000;
    // For the translation of a last error: a report must not wait long.
    std::uint32_t translationWait = 5000;
};

// The waits in force, read anew at each wait.
FccTiming fccTiming();
// One of them.
std::uint32_t fccWait(std::uint32_t FccTiming::*wait);

// Ticks a thread may stay idle before it loses its pipe and record.
constexpr int FCC_IDLE_TICK_LIMIT = 10;

namespace Testing {
// Divides every wait by divisor (1 restores them), so that tests of
// time-outs run in a fraction of the time. It may be called while the
// client's threads wait, so that a test sets the client up with the waits
// it has in use and shortens only the waits it means to see run out.
void scaleFccTiming(std::uint32_t divisor);
// Sets one wait, so that a test may make a wait too long to run out before
// the event it waits for, or too short to matter.
void setFccWait(std::uint32_t FccTiming::*wait, std::uint32_t milliseconds);
}  // namespace Testing

}  // namespace Quillomark::Fcc
