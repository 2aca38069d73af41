#pragma once

// Calls run on threads of their own, and the waits of the tests that make
// them: each waits for the event it needs; a time limit only ends a hang.

#include <fcc/internal/FccSelfProxy.hxx>
#include <platform/os/internal/Signal.hxx>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <string>

namespace Quillomark::Testing {

// Runs body on a thread of its own.
inline std::future<int> onThread(std::function<int()> body) {
    return std::async(std::launch::async, std::move(body));
}

// The result of a call that must come back; one that hangs ends the test
// process, since its thread can be neither joined nor left.
inline int within(std::future<int>& call, int seconds, const char* what) {
    if (call.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        std::fprintf(stderr, "%s: still waiting after %d s\n", what, seconds);
        std::fflush(stderr);
        std::_Exit(1);
    }
    return call.get();
}

// Waits a millisecond at a time, up to 10 s, for the condition.
template <typename Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 10000 && !condition(); ++i) Fcc::SelfProxy::FmsSleepMs(1);
    return condition();
}

// Whether the thread of this process sleeps (waits in the kernel).
inline bool asleep(std::uint32_t thread) {
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t end = line.rfind(')');
    return end != std::string::npos && line.compare(end, 3, ") S") == 0;
}

// Lets one thread wait until another opens it.
class Gate {
public:
    void open() { signal.raise(); }
    void wait() { ASSERT_TRUE(signal.waitFor(60000)) << "a gate that never opened"; }

private:
    Platform::Os::Signal signal;
};

}  // namespace Quillomark::Testing
