#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace Quillomark::Platform::Os {

// Milliseconds of wall time on a clock that never goes backwards (it does not
// follow changes of the system date). The origin is arbitrary: only
// differences mean anything.
std::int64_t monotonicMilliseconds();

// The milliseconds left until `deadline`, a time of monotonicMilliseconds,
// and at most `most`: 0 once it has passed.
std::uint32_t millisecondsLeft(std::int64_t deadline, std::uint32_t most = UINT32_MAX);

// Blocks the calling thread for at least the given number of milliseconds.
void sleepMilliseconds(std::uint32_t milliseconds);

// Waits until `fd` is ready for `events`, or until `milliseconds` have
// passed by the steady clock, however often signals break into the wait:
// what poll returns (0 when the time is up).
int pollWithin(int fd, short events, std::uint32_t milliseconds);

// Blocks the calling thread while `word` holds `value`, until wakeWaiters
// of the word or the steady clock's `deadline`, whatever the timer slack of
// the thread or the sleeps it takes; may also return early (a signal, the
// word changed). The caller reads the word again and decides. Takes no lock
// and holds nothing: what a forked child or an exit finds of a wait is a
// plain integer.
void waitWhileEqual(const std::atomic<int>& word, int value,
                    std::chrono::steady_clock::time_point deadline);

// Wakes every thread that waits on `word` in waitWhileEqual.
void wakeWaiters(std::atomic<int>& word);

}  // namespace Quillomark::Platform::Os
