#pragma once

// Work done in a child process, so that a crash or a hang there is one failed
// case and not the end of the test program, and so that a second process
// takes part in what the fast cache shares between processes.

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace Quillomark::Testing {

// A child process that runs work with its standard output thrown away and
// at most 20 seconds to live; it exits 0 when work returns.
inline pid_t startChild(const std::function<void()>& work) {
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 1);
        alarm(20);
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

}  // namespace Quillomark::Testing
