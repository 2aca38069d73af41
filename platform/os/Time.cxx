#include <platform/os/internal/Time.hxx>

#include <cerrno>
#include <chrono>
#include <ctime>

namespace Quillomark::Platform::Os {

std::int64_t monotonicMilliseconds() {
    // The C library's clock() counts processor time of the process, which
    // stands still while a thread sleeps or waits; a timeout measured with it
    // would never expire.
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
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

}  // namespace Quillomark::Platform::Os
