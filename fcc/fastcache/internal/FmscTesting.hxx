#pragma once

#include <cstdint>

// Hooks through which tests stop an open of the fast cache at a chosen
// step of making its files anew, a server between the steps by which it
// removes or makes an extent file, or a client's close between its steps, to
// see what a process killed there leaves behind, set the clock by which it
// dates pages, and open caches as a process of the library's previous
// version does.
namespace Quillomark::Fcc::Testing {

// Called with the step's name ("removed fms.mf", "made fms.mf", ..., a
// client's "counted the client" in its open and "cleared the client's
// note" in its close, "met the lock abandoned" where an open's or a close's
// lock did, "found the previous version's files" where a server's open is
// to take them over, and a server's "closed the extent files" in a purge or
// shrink that removes them and "made an extent file" where it makes one
// anew) right after each step, on the thread that took it; none (the
// default) when null.
using FmscOpenStep = void (*)(const char* step);
void setFmscOpenStep(FmscOpenStep step);

// The time, in seconds since 1970, that the cache takes for now when it
// dates a page, so that the order of pages with equal dates is the test's
// to choose; 0 (the default) for the system clock.
void setFmscClock(std::int32_t seconds);

// True: the caches that the process opens from then on are opened as the
// library's previous version opened them, as a peer of that version that
// shares them with this one (the version of the files it writes and
// accepts, the signature of the block a sharing server shares, the name of
// the cache's mutex: the cache's name alone, as the first builds of that
// version named it, or, with mutexNamedByFolder, the name that its later
// builds gave it, as this version does). False (the default): as this
// version opens them.
void setFmscPreviousVersion(bool previous, bool mutexNamedByFolder = false);

}  // namespace Quillomark::Fcc::Testing
