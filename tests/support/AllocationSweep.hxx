#pragma once

// A torture run, in a test executable built with FailingAllocations.cxx: a
// piece of work done again for each allocation n that it makes, each time in
// a process of its own forked from this one, with allocation n failing alone
// and then with every one from n on. Several processes run at once (this
// process must have no other thread as it forks them); each has a deadline
// of the steady clock, past which it is killed and counted as hung.

#include <tests/fastcache/ChildProcess.hxx>
#include <tests/support/FailingAllocations.hxx>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace Quillomark::Testing {

// Writes text whole, or exits.
inline void tell(int fd, const std::string& text) {
    if (::write(fd, text.data(), text.size()) != ssize_t(text.size())) _exit(6);
}

inline std::string heard(int fd) {
    std::string text;
    char block[1024];
    for (ssize_t length; (length = ::read(fd, block, sizeof block)) > 0;) {
        text.append(block, static_cast<std::size_t>(length));
    }
    return text;
}

// A child that runs work with its standard error thrown away, and the
// descriptor on which it says what work writes to the one it is given.
struct Saying {
    pid_t child = -1;
    int told = -1;
};

inline Saying startSaying(const std::function<void(int)>& work) {
    int told[2];
    if (::pipe(told) != 0) return {};
    const pid_t child = startChild([&] {
        ::close(told[0]);
        dup2(::open("/dev/null", O_WRONLY), 2);
        work(told[1]);
    });
    ::close(told[1]);
    return {child, told[0]};
}

// How the child ended, and what it said.
inline std::string endOf(const Saying& saying, std::string& said) {
    if (saying.told < 0) return "no pipe";
    said = heard(saying.told);
    ::close(saying.told);
    return endOf(saying.child);
}

inline std::string childSays(const std::function<void(int)>& work, std::string& said) {
    return endOf(startSaying(work), said);
}

// Exit status of a child whose allocation n came after the work's last.
constexpr int PAST_THE_LAST = 10;

struct SweepPoint {
    long allocation;
    bool once;          // allocation n failed alone, or every one from n on
    std::string ended;  // as endOf gives it, or "hang"
    std::string said;
};

// Runs point(n, fd) in a process of its own for n = 0, 1, ... with the
// hook's failOnce true, then again with it false, `atOnce` processes at a
// time, until a process exits with PAST_THE_LAST: the point arms the hook
// itself, and writes to fd what it has to say. Each process that ends
// otherwise is handed to `heard` in this process, in order of n; one that
// outlives `deadline` is killed and ends in "hang". The count of points
// (those of failOnce true).
inline long sweepAllocations(const std::function<void(long, int)>& point, std::size_t atOnce,
                             std::chrono::seconds deadline,
                             const std::function<void(const SweepPoint&)>& heardFrom) {
    using Clock = std::chrono::steady_clock;
    struct Running {
        long allocation;
        Saying saying;
        std::string said;
        Clock::time_point limit;
    };
    long points = 0;
    for (const bool once : {true, false}) {
        long next = 0;
        bool past = false;
        std::vector<Running> running;
        std::map<long, SweepPoint> ended;
        while (!past || !running.empty()) {
            while (!past && running.size() < atOnce) {
                const long allocation = next++;
                running.push_back({allocation, startSaying([&](int fd) {
                                       ::alarm(0);  // the deadline is this process's
                                       FailingAllocations::failOnce = once;
                                       point(allocation, fd);
                                   }),
                                   "", Clock::now() + deadline});
                if (running.back().saying.told < 0) _exit(7);
            }
            std::vector<pollfd> told;
            Clock::time_point soonest = Clock::time_point::max();
            for (const Running& child : running) {
                told.push_back({child.saying.told, POLLIN, 0});
                soonest = std::min(soonest, child.limit);
            }
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(soonest - Clock::now());
            ::poll(told.data(), told.size(), static_cast<int>(std::max<long>(wait.count(), 0)) + 1);
            for (std::size_t i = running.size(); i-- > 0;) {
                Running& child = running[i];
                char block[4096];
                ssize_t length = 0;
                if (told[i].revents != 0 &&
                    (length = ::read(child.saying.told, block, sizeof block)) > 0) {
                    child.said.append(block, static_cast<std::size_t>(length));
                    continue;
                }
                const bool hung = told[i].revents == 0;
                if (hung && Clock::now() < child.limit) continue;
                if (hung) ::kill(child.saying.child, SIGKILL);
                ::close(child.saying.told);
                std::string end = endOf(child.saying.child);
                if (hung) end = "hang";
                if (end == "exit " + std::to_string(PAST_THE_LAST)) {
                    past = true;
                } else {
                    ended[child.allocation] = {child.allocation, once, end, child.said};
                }
                running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        for (const auto& [allocation, which] : ended) heardFrom(which);
        if (once) points = static_cast<long>(ended.size());
    }
    return points;
}

}  // namespace Quillomark::Testing
