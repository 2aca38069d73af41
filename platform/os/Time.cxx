#include <platform/os/internal/Time.hxx>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Quillomark::Platform::Os {

std::int64_t monotonicMilliseconds() {
    // The C library's clock() counts processor time of the process, which
    // stands still while a thread sleeps or waits; a timeout measured with it
    // would never expire.
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::uint32_t millisecondsLeft(std::int64_t deadline, std::uint32_t most) {
    return std::uint32_t(
        std::clamp<std::int64_t>(deadline - monotonicMilliseconds(), 0, std::int64_t(most)));
}

// A sleep is where a thread asked to terminate stops and unwinds. The address
// sanitizer, when built in, keeps no guard zones around this frame: the
// unwinding skips the code that would clear them, and its own check of the
// unwinding frames would then trip over them.
#if defined(__SANITIZE_ADDRESS__)
__attribute__((no_sanitize_address))
#endif
void sleepMilliseconds(std::uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

int pollWithin(int fd, short events, std::uint32_t milliseconds) {
    using std::chrono::steady_clock;
    const steady_clock::time_point deadline =
        steady_clock::now() + std::chrono::milliseconds(milliseconds);
    pollfd waiting{fd, events, 0};
    for (std::int64_t left = milliseconds;;) {
        // Rounded up: a wait cut short by its rounding would end early.
        const int ready =
            poll(&waiting, 1, static_cast<int>(std::min<std::int64_t>(left, INT_MAX)));
        if (ready >= 0 || errno != EINTR) return ready;
        left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) return 0;
    }
}

// The kernel waits on the word itself: an atomic int is one.
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

void waitWhileEqual(const std::atomic<int>& word, int value,
                    std::chrono::steady_clock::time_point deadline) {
    // The steady clock is CLOCK_MONOTONIC, the clock of an absolute
    // deadline of FUTEX_WAIT_BITSET.
    const auto since = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    const timespec at{
        static_cast<time_t>(seconds.count()),
        static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count())};
    ::syscall(SYS_futex, const_cast<std::atomic<int>*>(&word), FUTEX_WAIT_BITSET_PRIVATE, value,
              &at, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void wakeWaiters(std::atomic<int>& word) {
    ::syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace Quillomark::Platform::Os
