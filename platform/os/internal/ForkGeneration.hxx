#pragma once

namespace Quillomark::Platform::Os {

// A number that differs between a process and every process it was forked
// from: what the library made in one generation (a connection, a socket, an
// ORB) is its parent's when this process finds another number. Reading it
// takes no lock and no system call, and nothing is locked around a fork.
unsigned forkGeneration();

// Keeps `object` reachable, never freed, for the rest of the process: what a
// forked child found of its parent's and must not end (ending it could
// close or write to what the parent still uses, or wait for a lock that a
// thread the fork left behind holds). Takes no lock.
void leaveAlone(void* object);

}  // namespace Quillomark::Platform::Os
