// Many threads make their first call of the interface at the same moment,
// with FMS_HOME set but empty. A lost race is rare in any one process, so
// the race is run in many child processes, each with a fresh loader.

#include <fcc/FccInterface.hxx>
#include <tests/fcc/LoaderScenario.hxx>
#include <tests/support/OutputCapture.hxx>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Quillomark::Testing::OutputCapture;

std::size_t occurrences(const std::string& text, const std::string& line) {
    std::size_t count = 0;
    for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
    return count;
}

// Exit code of one child: 0 when the loader ran once, a bit per symptom
// otherwise.
int raceFirstCalls() {
    OutputCapture out(1);
    OutputCapture err(2);
    constexpr int THREADS = 16;
    std::atomic<int> waiting{THREADS};
    std::vector<int> results(THREADS, 1);
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; ++i) {
        threads.emplace_back([&, i] {
            --waiting;
            while (waiting > 0) std::this_thread::yield();
            results[i] = i % 2 ? FCC_Init(nullptr, nullptr) : FCC_IsFCCEnabled(nullptr);
        });
    }
    for (std::thread& thread : threads) thread.join();

    int failed = 0;
    int unexpected = 0;
    for (int result : results) {
        failed += result == -2998;
        unexpected += result != 0 && result != -2998;
    }
    int symptoms = 0;
    if (failed != 1) symptoms |= 1;
    if (unexpected) symptoms |= 2;
    if (occurrences(out.finish(), Quillomark::Testing::FCC_VERSION_LINE) != 1) symptoms |= 4;
    if (err.finish() != "ERROR: Could not find FMS_HOME.\n") symptoms |= 8;
    return symptoms;
}

TEST(LoaderRace, ConcurrentFirstCallsLoadOnce) {
    setenv("FMS_HOME", "", 1);
    for (int round = 0; round < 25; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) _exit(raceFirstCalls());
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "round " << round;
        EXPECT_EQ(WEXITSTATUS(status), 0) << "round " << round
                                          << " (1: not one -2998, 2: other results, "
                                             "4: version line not once, 8: errors)";
    }
}

}  // namespace
