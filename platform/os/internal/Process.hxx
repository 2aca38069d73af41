#pragma once

#include <string>

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

}  // namespace Quillomark::Platform::Os
