#pragma once

// Work done in a child process, so that a crash or a hang there is one failed
// case and not the end of the test program, and so that a second process
// takes part in what the fast cache shares between processes.

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace Quillomark::Testing {

// Whether a child forked while other threads run can be relied on to run
// its work: the allocator of ThreadSanitizer and of AddressSanitizer can be
// copied into the child locked by a thread that allocated as the process
// forked, and the child then hangs in the sanitizer at its next
// allocation, whatever the code under test does (and may hold a lock that
// the parent's threads wait for meanwhile). Under a sanitizer such children
// end at once, and the cases check the parent's side alone.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define QMSOA_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define QMSOA_TEST_SANITIZED 1
#endif
#endif
#ifndef QMSOA_TEST_SANITIZED
#define QMSOA_TEST_SANITIZED 0
#endif
inline constexpr bool childrenOfThreadsRun = !QMSOA_TEST_SANITIZED;

// Starts a thread and returns once it runs, so that a process forked after
// that finds nothing of the thread's start half made (the sanitizers'
// allocator is locked as a thread starts): for the threads of a server that
// serves children.
inline std::thread runningThread(std::function<void()> work) {
    std::promise<void> running;
    std::future<void> ran = running.get_future();
    std::thread thread([running = std::move(running), work = std::move(work)]() mutable {
        running.set_value();
        work();
    });
    ran.wait();
    return thread;
}

// A child process that runs work with its standard output thrown away and
// at most 20 seconds to live; it exits 0 when work returns.
inline pid_t startChild(const std::function<void()>& work) {
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        // The limit first: under a sanitizer, a child of a process whose
        // threads run may hang in the sanitizer's own calls at once.
        alarm(20);
        int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 1);
        try {
            work();
        } catch (...) {
            _exit(3);
        }
        _exit(0);
    }
    return child;
}

// How a child process ended: "" when its work returned, else what went wrong.
inline std::string endOf(pid_t child) {
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return "no child";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
    if (WIFSIGNALED(status))
        return WTERMSIG(status) == SIGALRM ? "hang" : strsignal(WTERMSIG(status));
    return "exit " + std::to_string(WEXITSTATUS(status));
}

inline std::string runInChild(const std::function<void()>& work) { return endOf(startChild(work)); }

// One byte through a pipe: a step that one process tells another of.
inline bool say(int fd, char c) { return write(fd, &c, 1) == 1; }
inline char hear(int fd) {
    char c = 0;
    return read(fd, &c, 1) == 1 ? c : char(0);
}

// A child process whose work stops at one step until this process has done
// its part: the work calls its step, which tells this process that the
// child got there and waits to be let go on (false when it is not).
class SteppedChild {
public:
    using Step = std::function<bool()>;
    explicit SteppedChild(const std::function<void(const Step&)>& work) {
        if (pipe(toParent) != 0 || pipe(toChild) != 0) return;
        child = startChild([this, &work] {
            // The parent's ends are its own: a parent that ends is heard.
            ::close(toChild[1]);
            ::close(toParent[0]);
            work([this] { return say(toParent[1], 's') && hear(toChild[0]) == 'g'; });
        });
        // The child's ends are its own: a child that ends early is heard.
        ::close(toParent[1]);
        ::close(toChild[0]);
    }
    ~SteppedChild() {
        // A child still at its step is not let go on: it ends.
        ::close(toChild[1]);
        if (child > 0) end();
        ::close(toParent[0]);
    }
    SteppedChild(const SteppedChild&) = delete;
    SteppedChild& operator=(const SteppedChild&) = delete;

    // Waits until the child is at its step: false when it ended before.
    bool reached() { return hear(toParent[0]) == 's'; }
    void letGo() { say(toChild[1], 'g'); }
    // Kills the child where it is (at its step, when it reached it).
    void kill() {
        if (child > 0) ::kill(child, SIGKILL);
    }
    // How the child ended (endOf).
    std::string end() {
        std::string outcome = endOf(child);
        child = -1;
        return outcome;
    }

private:
    int toParent[2] = {-1, -1};
    int toChild[2] = {-1, -1};
    pid_t child = -1;
};

// Sets the process up as the first of a PID namespace of its own (a child
// then gets the identifier 1, its threads 2, 3 and so on): false when the
// system does not let it.
inline bool inAPidNamespaceOfItsOwn() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (uid == 0) return unshare(CLONE_NEWPID) == 0;
    if (unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0) return false;
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << uid << " " << uid << " 1";
    std::ofstream("/proc/self/gid_map") << gid << " " << gid << " 1";
    return geteuid() == uid;
}

inline void endOnAlarm(int) { _exit(9); }

// Runs work as the first process of a PID namespace of its own (its
// thread is thread 1, a thread it starts 2, and so on): how it ended, with
// work's result as its exit status, or "exit 77" when the system does not
// let it.
inline std::string runFirstInAPidNamespace(const std::function<int()>& work) {
    return runInChild([&work] {
        if (!inAPidNamespaceOfItsOwn()) _exit(77);
        const pid_t first = fork();
        if (first < 0) _exit(4);
        if (first > 0) {
            int status = 0;
            if (waitpid(first, &status, 0) != first || !WIFEXITED(status)) _exit(5);
            _exit(WEXITSTATUS(status));
        }
        // The first process of the namespace, whose signals need handlers.
        signal(SIGALRM, endOnAlarm);
        alarm(20);
        _exit(work());
    });
}

}  // namespace Quillomark::Testing
