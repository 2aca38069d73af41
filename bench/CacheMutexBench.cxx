// The fast cache's named mutex. Uncontended, a lock and unlock against the
// pair of lock-file locks that the mutex used to be, on a file of the same
// folder, side by side in the same run. Contended, a holder process that
// takes the mutex again at once after each hold (as a server does while it
// streams a download into its cache) and four client processes that lock
// it meanwhile, as readers of the cache do: the longest wait of any client
// lock, and the locks that ran into the limit of their wait.

#include "bench/support/Rounds.hxx"

#include <platform/os/internal/MessagePipe.hxx>
#include <platform/os/internal/NamedMutex.hxx>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace Quillomark::Bench;
namespace Os = Quillomark::Platform::Os;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t WAIT_LIMIT_MS = 5000;  // the cache's wait for its mutex
constexpr int CLIENTS = 4;
constexpr int LOCKS_PER_CLIENT = 25;
constexpr int PAIRS = 1000;  // uncontended lock and unlock pairs per iteration

// What the processes of one contended run share.
struct Contention {
    std::atomic<int> stop;
    std::atomic<int> holding;
    std::atomic<std::int64_t> longestWaitMicroseconds[CLIENTS];
    std::atomic<int> timedOut[CLIENTS];
};

std::string folder;

// The lock that the mutex was: a byte of a lock file, locked and unlocked
// with open-file-description locks.
bool lockFileByte(int fd, short type) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = 1;
    request.l_len = 1;
    return fcntl(fd, F_OFD_SETLK, &request) == 0;
}

void uncontended(benchmark::State& state) {
    Os::NamedMutex mutex;
    if (mutex.create("bench-uncontended") != Os::NamedMutex::Result::Ok) std::abort();
    const int fd = open((folder + "/bench-lockfile").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) std::abort();
    againstBaseline(
        state,
        [&] {
            for (int i = 0; i < PAIRS; ++i) {
                if (!lockFileByte(fd, F_WRLCK) || !lockFileByte(fd, F_UNLCK)) std::abort();
            }
        },
        [&] {
            for (int i = 0; i < PAIRS; ++i) {
                if (mutex.lock(WAIT_LIMIT_MS) != Os::NamedMutex::Result::Ok || !mutex.unlock())
                    std::abort();
            }
        });
    close(fd);
}

pid_t startProcess(void (*work)(Contention&, int, int), Contention& shared, int index,
                   int holdMicroseconds) {
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        work(shared, index, holdMicroseconds);
        _exit(0);
    }
    return child;
}

void holder(Contention& shared, int, int holdMicroseconds) {
    Os::NamedMutex mutex;
    if (mutex.open("bench-contended") != Os::NamedMutex::Result::Ok) _exit(1);
    while (!shared.stop.load()) {
        if (mutex.lock(WAIT_LIMIT_MS) != Os::NamedMutex::Result::Ok) _exit(2);
        shared.holding.store(1);
        usleep(static_cast<useconds_t>(holdMicroseconds));
        mutex.unlock();
    }
}

// A reader: a short hold for a lookup or a block, then other work.
void client(Contention& shared, int index, int) {
    Os::NamedMutex mutex;
    if (mutex.open("bench-contended") != Os::NamedMutex::Result::Ok) _exit(1);
    for (int i = 0; i < LOCKS_PER_CLIENT; ++i) {
        const auto start = Clock::now();
        const Os::NamedMutex::Result locked = mutex.lock(WAIT_LIMIT_MS);
        const auto waited =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        if (waited > shared.longestWaitMicroseconds[index].load())
            shared.longestWaitMicroseconds[index].store(waited);
        if (locked != Os::NamedMutex::Result::Ok) {
            shared.timedOut[index].fetch_add(1);
            continue;
        }
        usleep(20);
        mutex.unlock();
        usleep(1000);
    }
}

void contended(benchmark::State& state, int holdMicroseconds) {
    Os::NamedMutex mutex;
    if (mutex.create("bench-contended") != Os::NamedMutex::Result::Ok) std::abort();
    auto* shared = static_cast<Contention*>(mmap(
        nullptr, sizeof(Contention), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (shared == MAP_FAILED) std::abort();
    double longestMilliseconds = 0;
    int timedOut = 0;
    for (auto _ : state) {
        new (shared) Contention{};
        const auto start = Clock::now();
        const pid_t holding = startProcess(holder, *shared, 0, holdMicroseconds);
        while (!shared->holding.load()) usleep(100);
        std::vector<pid_t> clients;
        for (int c = 0; c < CLIENTS; ++c)
            clients.push_back(startProcess(client, *shared, c, holdMicroseconds));
        for (pid_t c : clients) waitpid(c, nullptr, 0);
        shared->stop.store(1);
        waitpid(holding, nullptr, 0);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        for (int c = 0; c < CLIENTS; ++c) {
            longestMilliseconds =
                std::max(longestMilliseconds, shared->longestWaitMicroseconds[c].load() / 1000.0);
            timedOut += shared->timedOut[c].load();
        }
    }
    munmap(shared, sizeof(Contention));
    state.counters["longest wait ms"] = longestMilliseconds;
    state.counters["timed out"] = timedOut;
}

void cases(Rounds& rounds) {
    folder = "/tmp/cache-mutex-bench-" + std::to_string(getpid());
    mkdir(folder.c_str(), 0700);
    setenv("FMS_IPC_DIR", folder.c_str(), 1);
    rounds.add("mutex lock and unlock, uncontended", uncontended, Rounds::Timing::Manual);
    rounds.add(
        "client locks behind back-to-back 1 ms holds",
        [](benchmark::State& state) { contended(state, 1000); }, Rounds::Timing::Manual);
    rounds.add(
        "client locks behind back-to-back 0.2 ms holds",
        [](benchmark::State& state) { contended(state, 200); }, Rounds::Timing::Manual);
}

void figures(const RoundRecorder& runs, FigureTable& table) {
    if (runs.has("mutex lock and unlock, uncontended")) {
        table.add(Figure::atMost("cache mutex lock+unlock / lock-file lock+unlock, uncontended",
                                 runs.medianCounter("mutex lock and unlock, uncontended", "ratio"),
                                 "x", 1.5));
    }
    for (const char* hold : {"1 ms", "0.2 ms"}) {
        const std::string name = std::string("client locks behind back-to-back ") + hold + " holds";
        if (!runs.has(name)) continue;
        table.add(
            Figure::atMost(std::string("longest client wait, back-to-back ") + hold + " holds",
                           runs.medianCounter(name, "longest wait ms"), "ms", 1000));
        table.add(
            Figure::atMost(std::string("client locks timed out, back-to-back ") + hold + " holds",
                           runs.medianCounter(name, "timed out"), "locks", 0));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int status = run(argc, argv, Program{cases, figures});
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return status;
}
