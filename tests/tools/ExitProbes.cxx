// One of each kind of registration to run at exit, for the check of the
// library's objects (exit_destructors_test.py) to name: it must refuse
// every one.
#include <cstdlib>

namespace {

int probed = 0;

// Each does something, so that none is left out as empty.
struct ProbeAtNamespaceScope {
    ~ProbeAtNamespaceScope() { ++probed; }
} probeAtNamespaceScope;

struct ProbeInAFunction {
    ~ProbeInAFunction() { ++probed; }
};

void probeAtexit() { ++probed; }
void probeAtQuickExit() { ++probed; }
void probeOnExit(int, void*) { ++probed; }

__attribute__((destructor)) void probeDestructor() { ++probed; }
__attribute__((destructor(101))) void probeDestructorWithPriority() { ++probed; }

void probeDtors() { ++probed; }
__attribute__((section(".dtors"), used)) void (*const probeDtorsEntry)() = probeDtors;

}  // namespace

int probeRegistrations() {
    static ProbeInAFunction inAFunction;
    std::atexit(probeAtexit);
    std::at_quick_exit(probeAtQuickExit);
    ::on_exit(probeOnExit, nullptr);
    return probed;
}
