#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace Quillomark::Platform::Os {

// Starts the program at path (a relative one from the caller's current
// folder) without arguments beyond its own name, in workingDirectory, in a session of its own (no
// controlling terminal), with its standard streams on /dev/null and no other descriptor of ours.
// The program is run directly, so a script needs its interpreter line and the permission to
// execute. Returns 0 with the new process's ID in *processId, or the system's error number.
int spawnProcess(const std::string& path, const std::string& workingDirectory, long* processId);

enum class ProcessState { Running, Exited, NotFound, Unknown };

// Whether the process is still running. A child of ours that has ended is
// reaped here and its exit status stored in *exitStatus; Unknown leaves the
// system's error number in *error.
ProcessState processState(long processId, long* exitStatus, int* error);

// Whether the process, a child of ours or not, has ended or ends within the
// wait: true once it is gone or waits only to be reaped, false while it
// runs (the calling process runs) or when that cannot be told. Nothing is
// reaped.
bool processEnds(long processId, std::uint32_t waitMilliseconds);

// A child that spawnProcess started, remembered so that it can be waited for
// once it ends. Waiting goes through a descriptor of the process itself
// where the system has them, so that it never reaps another process that
// got the same number after the child was waited for elsewhere.
class ChildProcess {
public:
    explicit ChildProcess(long processId);
    ~ChildProcess();  // forgets the child, without waiting for it
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reaps the child when it has ended: true once it is gone (also when
    // someone else waited for it), false while it runs.
    bool reap();

private:
    long processId;
    int descriptor;  // -1 where the system has none
};

}  // namespace Quillomark::Platform::Os
