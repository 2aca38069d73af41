#pragma once

namespace Quillomark::Platform::Os {

// A number that differs between a process and every process it was forked
// from: what the library made in one generation (a connection, a socket, an
// ORB) is its parent's when this process finds another number. Reading it
// takes no lock and no system call, and nothing is locked around a fork.
unsigned forkGeneration();

}  // namespace Quillomark::Platform::Os
