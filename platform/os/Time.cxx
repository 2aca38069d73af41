#include <platform/os/internal/Time.hxx>

#include <chrono>
#include <thread>

namespace Quillomark::Platform::Os {

std::int64_t monotonicMilliseconds() {
    // The C library's clock() counts processor time of the process, which
    // stands still while a thread sleeps or waits; a timeout measured with it
    // would never expire.
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void sleepMilliseconds(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace Quillomark::Platform::Os
