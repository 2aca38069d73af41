#pragma once

#include <cstdint>

namespace Quillomark::Platform::Os {

// Milliseconds of wall time on a clock that never goes backwards (it does not
// follow changes of the system date). The origin is arbitrary: only
// differences mean anything.
std::int64_t monotonicMilliseconds();

// Blocks the calling thread for at least the given number of milliseconds.
void sleepMilliseconds(std::uint32_t milliseconds);

}  // namespace Quillomark::Platform::Os
