#pragma once

// The child processes of the test process, as the system lists them.

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace Quillomark::Testing {

// The state letter of a process ('Z' for a zombie), 0 when there is none.
inline char stateOf(pid_t process) {
    std::ifstream stat("/proc/" + std::to_string(process) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return 0;
    const std::size_t end = text.rfind(')');
    return end == std::string::npos || end + 2 >= text.size() ? 0 : text[end + 2];
}

// Whether a child has ended and can be waited for (it is left so).
inline bool endedAndWaitable(pid_t child) {
    siginfo_t ended{};
    return waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           ended.si_pid == child;
}

// The processes whose parent is this one.
inline std::vector<pid_t> children() {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        const std::size_t end = text.rfind(')');
        if (end == std::string::npos) continue;
        std::istringstream rest(text.substr(end + 1));
        char state = 0;
        long parent = 0;
        if (rest >> state >> parent && parent == getpid()) found.push_back(std::stoi(name));
    }
    return found;
}

}  // namespace Quillomark::Testing
