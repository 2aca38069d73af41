// The sessions of the file-cache interface, from an initialisation to the
// termination that ends it, and the session each thread works for.

#include <fcc/runtime/internal/FccRuntime.hxx>

#include <atomic>

namespace Quillomark::Fcc {

namespace {

// Written under the main lock; read anywhere.
std::atomic<std::uint64_t> inForce{0};
std::atomic<std::uint64_t> settingUp{0};
std::atomic<std::uint64_t> lastNumber{0};

thread_local std::uint64_t workingFor = 0;

}  // namespace

std::uint64_t fccSessionInForce() { return inForce.load(); }

std::uint64_t fccBeginSession() {
    FccMainLockGuard lock;
    const std::uint64_t session = ++lastNumber;
    settingUp = session;
    return session;
}

void fccSessionOpened(std::uint64_t session) {
    FccMainLockGuard lock;
    inForce = session;
    if (settingUp == session) settingUp = 0;
}

void fccSessionDropped(std::uint64_t session) {
    FccMainLockGuard lock;
    if (settingUp == session) settingUp = 0;
}

void fccEndSession() {
    FccMainLockGuard lock;
    inForce = 0;
}

void fccForgetSessionsInChild() {
    inForce = 0;
    settingUp = 0;
}

FccSessionScope::FccSessionScope(std::uint64_t session) : outer(workingFor) {
    workingFor = session;
}

FccSessionScope::~FccSessionScope() { workingFor = outer; }

bool fccSessionEnded() {
    const std::uint64_t mine = workingFor;
    return mine != 0 && mine != inForce.load() && mine != settingUp.load();
}

}  // namespace Quillomark::Fcc
