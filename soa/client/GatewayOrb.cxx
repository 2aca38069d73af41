#include <soa/client/internal/GatewayOrb.hxx>

#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/Time.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <mutex>

namespace Quillomark::Soa::Client {

namespace Exceptions = Quillomark::Schemas::Soa::_2006_03::Exceptions;

namespace {

// The ORB argument vector is one process-wide, writable array handed to
// every ORB_init with an argument count of 1.
char orbName[] = "taoorb";
char* orbArgv[] = {orbName, nullptr};

// Shares are taken and given back under one lock.
std::mutex orbLock;
long orbShares = 0;

// The count of forks (forksSoFar) of the process in which the library first took a
// share, or -1 while it took none: a child of that process finds another.
std::atomic<long long> sharedIn{-1};

// Set in a child forked while a thread of its parent held the lock, in the
// middle of making or joining the ORB: the child has that ORB half made.
std::atomic<bool> lockLostInFork{false};

// The IIOP connects under way, those of them that the calling thread makes,
// and whether the process has begun to exit.
std::atomic<int> connectsUnderWay{0};
thread_local int connectsOfThisThread = 0;
std::atomic<bool> exiting{false};

void checkLockInChild() {
    if (Quillomark::Platform::Os::heldAtFork(orbLock)) lockLostInFork.store(true);
    // The other threads that made them stayed with the parent; the one
    // that forked from inside its own connects goes on with them here.
    connectsUnderWay.store(connectsOfThisThread);
}

QMSOA_IN_CHILD_AFTER_FORK(lockInChild, checkLockInChild);

// How long the exit waits for the connects of other threads at most, from
// the moment it comes to that wait.
constexpr std::chrono::seconds EXIT_WAIT{5};

// Waits for the connects of the other threads (each of which makes a
// gateway reference), by the steady clock and woken as each ends: an exit
// from inside one of the exiting thread's own (a signal handler's) would
// wait for nothing that can end.
void waitForReferencesAtExit() {
    exiting.store(true);
    const auto deadline = std::chrono::steady_clock::now() + EXIT_WAIT;
    for (int underWay; (underWay = connectsUnderWay.load()) > connectsOfThisThread &&
                       std::chrono::steady_clock::now() < deadline;) {
        Quillomark::Platform::Os::waitWhileEqual(connectsUnderWay, underWay, deadline);
    }
}

// Registered as the library loads, after omniORB made its statics: the
// exit runs it before they go.
[[maybe_unused]] const int waitsAtExit = std::atexit(waitForReferencesAtExit);

void endConnect() {
    connectsUnderWay.fetch_sub(1);
    --connectsOfThisThread;
    // An exit that read the count before this change is seen to have begun
    // (both are sequentially consistent), and is woken.
    if (exiting.load()) Quillomark::Platform::Os::wakeWaiters(connectsUnderWay);
}

}  // namespace

ConnectUnderWay::ConnectUnderWay(const std::string& failure) {
    ++connectsOfThisThread;
    connectsUnderWay.fetch_add(1);
    if (exiting.load()) {
        endConnect();
        throw Exceptions::ConnectionException(failure + "the process is exiting");
    }
}

ConnectUnderWay::~ConnectUnderWay() { endConnect(); }

// 2 GiB: room for a 1 GiB reply and more, while staying clear of the top of
// the 32-bit message-size range.
const char* const GatewayOrb::MAX_MESSAGE_SIZE = "2147483648";

namespace {

// Initialises the ORB or joins the one that exists, and counts the share,
// all under the lock. omniORB makes each nil reference on first use under a
// lock that it too makes on first use, unguarded: two threads making their
// first nil references at once can each make one such lock, then hold one
// and release the other, leaving it held for good, or fill omniORB's list
// of nil references together. Every nil reference the library uses is made
// here, under this lock, before any other use; so the ORB_var of a share is
// made from what this returns, never default-made before it.
CORBA::ORB_ptr takeShare() {
    const char* options[][2] = {{"giopMaxMsgSize", GatewayOrb::MAX_MESSAGE_SIZE},
                                {nullptr, nullptr}};
    // Before the lock: a thread that a fork left behind may hold it.
    GatewayOrb::refuseInheritedOrb();
    std::lock_guard<std::mutex> guard(orbLock);
    CORBA::ORB::_nil();
    CORBA::Object::_nil();
    QmCorbaServiceGateway::_nil();
    int argc = 1;
    CORBA::ORB_ptr orb = CORBA::ORB_init(argc, orbArgv, "", options);
    if (sharedIn.load(std::memory_order_relaxed) < 0) {
        sharedIn.store(Quillomark::Platform::Os::forksSoFar(), std::memory_order_relaxed);
    }
    ++orbShares;
    return orb;
}

}  // namespace

GatewayOrb::GatewayOrb() : orb(takeShare()) {}

GatewayOrb::~GatewayOrb() {
    // Only the reference goes: the ORB lives on, also one that the library
    // made. An application that called ORB_init while the library held its
    // ORB was handed that ORB, and nothing tells the library whether it was
    // or whether one of its threads is calling through it at this moment:
    // destroyed under such a call, the ORB takes the process down with it.
    std::lock_guard<std::mutex> guard(orbLock);
    --orbShares;
    orb = CORBA::ORB::_nil();
}

bool GatewayOrb::inheritedByAFork() {
    if (lockLostInFork.load(std::memory_order_relaxed)) return true;
    const long long generation = sharedIn.load(std::memory_order_relaxed);
    return generation >= 0 && generation != Quillomark::Platform::Os::forksSoFar();
}

void GatewayOrb::refuseInheritedOrb() {
    if (inheritedByAFork()) {
        throw RuntimeException(
            RuntimeException::GENERAL_ERROR,
            "IIOP cannot be used in a process forked after the library made its ORB: the ORB's "
            "threads stayed with the parent, and its connections are the parent's. Run a new "
            "program in the child for IIOP.");
    }
}

bool GatewayOrb::exists() {
    // omniORB answers for its interceptors only between ORB_init and destroy.
    try {
        omniORB::getInterceptors();
        return true;
    } catch (const CORBA::INITIALIZE&) {
        return false;
    }
}

long GatewayOrb::shares() {
    std::lock_guard<std::mutex> guard(orbLock);
    return orbShares;
}

QmCorbaServiceGateway_ptr gatewayReference(CORBA::ORB_ptr orb, const std::string& address,
                                           const std::string& failure) {
    try {
        CORBA::Object_var object = orb->string_to_object(address.c_str());
        return QmCorbaServiceGateway::_narrow(object.in());
    } catch (const CORBA::Exception& e) {
        throw Exceptions::ConnectionException(failure + describeCorbaException(e));
    }
}

std::string describeCorbaException(const CORBA::Exception& e) {
    std::string text = e._rep_id();
    if (const auto* system = CORBA::SystemException::_downcast(&e)) {
        char minor[16];
        std::snprintf(minor, sizeof minor, "0x%lx", static_cast<unsigned long>(system->minor()));
        text += " (minor ";
        text += minor;
        if (const char* name = system->NP_minorString()) {
            text += ' ';
            text += name;
        }
        text += ", completed ";
        switch (system->completed()) {
            case CORBA::COMPLETED_YES: text += "YES"; break;
            case CORBA::COMPLETED_NO: text += "NO"; break;
            default: text += "MAYBE"; break;
        }
        text += ')';
    }
    return text;
}

}  // namespace Quillomark::Soa::Client
