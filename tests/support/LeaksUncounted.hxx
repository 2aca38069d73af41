#pragma once

// What a thread allocates and loses while a LeaksUncounted of its own
// lives is not counted as a leak by the leak checker of a sanitized build;
// elsewhere it does nothing.

#if defined(__SANITIZE_ADDRESS__)
#define QMSOA_LEAKS_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QMSOA_LEAKS_CHECKED 1
#endif
#endif
#ifdef QMSOA_LEAKS_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

namespace Quillomark::Testing {

class LeaksUncounted {
public:
#ifdef QMSOA_LEAKS_CHECKED
    explicit LeaksUncounted(bool uncounted = true) : uncounted(uncounted) {
        if (uncounted) __lsan_disable();
    }
    ~LeaksUncounted() {
        if (uncounted) __lsan_enable();
    }
#else
    explicit LeaksUncounted(bool = true) {}
#endif
    LeaksUncounted(const LeaksUncounted&) = delete;
    LeaksUncounted& operator=(const LeaksUncounted&) = delete;

#ifdef QMSOA_LEAKS_CHECKED
private:
    bool uncounted;
#endif
};

}  // namespace Quillomark::Testing
