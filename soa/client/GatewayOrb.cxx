#include <soa/client/internal/GatewayOrb.hxx>

#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/Time.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>

#include <atomic>
#include <chrono>
#include <cxxabi.h>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <new>

#include <dlfcn.h>
#include <pthread.h>
#include <sys/auxv.h>
#include <unistd.h>

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

// The IIOP work under way, that of it that the calling thread does, and
// whether the process has begun to exit (its wait for that work began).
std::atomic<int> workUnderWay{0};
thread_local int workOfThisThread = 0;
std::atomic<bool> exiting{false};

// The status that the process exits with, once its exit has told it: an
// exit that gives up its wait with work still under way ends the process
// with it.
std::atomic<int> exitStatus{0};
std::atomic<bool> exitStatusKnown{false};

// Whether the function that learns the status is registered with the exit.
// The process's first IIOP work registers it, or its first fork: one
// registered as the library loads, while the dynamic loader runs the
// constructors of the shared libraries, would run after their destructors,
// omniORB's among them. A forked child registers none: it has the parent's,
// unless the parent's exit had called it (or was registering it) at the
// fork, when the C library's lock of the exit functions may have been
// copied held, and the child learns no status.
enum StatusRecorder : int { NOT_REGISTERED, REGISTERING, REGISTERED, NOT_IN_THIS_PROCESS };
std::atomic<int> statusRecorder{NOT_REGISTERED};

// The wait gave up with work under way, in a library linked into the
// program itself: the program's exit functions that run after the wait run
// first, and the library's last function ends the process.
std::atomic<bool> endLeftToLastFunction{false};

// The process whose exit the library let go on to destroy omniORB's
// statics (its last exit function returned), or began to end itself; 0
// before. In a child forked from then on, what IIOP work uses may be half
// destroyed or its parent's. The library's at-fork handlers are gone by
// then (the C library drops those of an image as it finalizes it), so such
// a child is told by its process identifier.
std::atomic<pid_t> endedIn{0};

void endedHere() { endedIn.store(::getpid()); }

void checkLockInChild() {
    if (Quillomark::Platform::Os::heldAtFork(orbLock)) lockLostInFork.store(true);
    // The other threads that did it stayed with the parent; the one that
    // forked from inside its own work goes on with it here.
    workUnderWay.store(workOfThisThread);
    if (endedIn.load() != 0) return;
    // A child forked before then is not exiting: it works as its parent did
    // before the exit, until its own exit, which waits as its parent's did
    // (in the library's last function, when the parent's had called the
    // wait before the fork).
    exiting.store(false);
    endLeftToLastFunction.store(false);
    const bool recorded = exitStatusKnown.exchange(false);
    if (recorded || statusRecorder.load() != REGISTERED) statusRecorder.store(NOT_IN_THIS_PROCESS);
}

QMSOA_IN_CHILD_AFTER_FORK(lockInChild, checkLockInChild);

// How long the exit waits for the work of other threads at most, from the
// moment it comes to that wait.
constexpr std::chrono::seconds EXIT_WAIT{5};

bool othersUnderWay() { return workUnderWay.load() > workOfThisThread; }

void recordExitStatus(int status, void*) noexcept;

void recordTheLaterStatus(void*) noexcept { ::on_exit(recordExitStatus, nullptr); }

// At each exit that runs it. An exit function that calls exit again has
// the C library run the exiting thread's thread-local destructors anew,
// then the exit functions still to run with the later status: the
// destructor registered here registers this again, to run first there.
// Only where the status may be used, with other threads' IIOP work under
// way: the C library allocates for the destructor, under its loader's
// lock, and ends the process where it has no memory for it.
void recordExitStatus(int status, void*) noexcept {
    exitStatus.store(status);
    exitStatusKnown.store(true);
    if (othersUnderWay())
        __cxxabiv1::__cxa_thread_atexit(recordTheLaterStatus, nullptr, &exitStatus);
}

// Where the library's code is: the program, or a shared library.
bool findLibrary(Dl_info& library) {
    return ::dladdr(reinterpret_cast<void*>(&findLibrary), &library) != 0;
}

// Whether the library is linked into the program itself.
bool partOfTheProgram(const Dl_info& library) {
    Dl_info program{};
    return ::dladdr(reinterpret_cast<void*>(::getauxval(AT_ENTRY)), &program) != 0 &&
           program.dli_fbase == library.dli_fbase;
}

bool inTheProgram() {
    Dl_info library{};
    return findLibrary(library) && partOfTheProgram(library);
}

// Keeps the library loaded to the end of the process (dlclose no longer
// unloads it), so that the exit finds the function of it that it is handed:
// false when that cannot be made sure of. As the library loads: later, the
// dynamic loader's lock, which this takes, may be held by a thread that
// runs a constructor of the application's.
bool keptLoaded() {
    Dl_info library{};
    if (!findLibrary(library)) return false;
    return partOfTheProgram(library) ||
           ::dlopen(library.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}
std::atomic<bool> libraryKeptLoaded{false};
[[maybe_unused]] const bool keptAsItLoads = (libraryKeptLoaded.store(keptLoaded()), true);

// By the process's first IIOP work, and before each fork: the status's
// function runs before the library's exit functions (after those of the
// program that came later). What cannot be registered (no memory) the next
// work or fork tries again.
void learnTheExitStatus() {
    int expected = NOT_REGISTERED;
    if (!libraryKeptLoaded.load() || statusRecorder.load() != NOT_REGISTERED ||
        !statusRecorder.compare_exchange_strong(expected, REGISTERING)) {
        return;
    }
    statusRecorder.store(::on_exit(recordExitStatus, nullptr) == 0 ? REGISTERED : NOT_REGISTERED);
}

QMSOA_BEFORE_FORK(statusBeforeFork, learnTheExitStatus);

// How long the end of the process waits for the streams to be written out.
constexpr std::chrono::seconds STREAMS_WAIT{2};

// When the end gives up writing out the streams (set before the threads
// that read it start), and whether the C++ streams are written out.
std::chrono::steady_clock::time_point streamsDeadline;
std::atomic<int> streamsWritten{0};

template <typename Stream>
void flushQuietly(Stream& stream) {
    try {
        stream.flush();
    } catch (...) {
        // A stream told to throw on failure: what it could not write is lost.
    }
}

// Writes out a standard stream with `flush` unless another thread holds
// its lock.
template <typename Flush>
void writeOutUnlessHeld(FILE* stream, Flush flush) {
    if (::ftrylockfile(stream) != 0) return;
    flush();
    ::funlockfile(stream);
}

bool startDetached(void* (*routine)(void*)) {
    pthread_attr_t detached;
    pthread_t thread;
    return ::pthread_attr_init(&detached) == 0 &&
           ::pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED) == 0 &&
           ::pthread_create(&thread, &detached, routine, nullptr) == 0;
}

// Ends the process at the deadline, whatever the threads that write out
// the streams wait for.
void* endAtTheDeadline(void*) noexcept {
    static const std::atomic<int> never{0};
    while (std::chrono::steady_clock::now() < streamsDeadline) {
        Quillomark::Platform::Os::waitWhileEqual(never, 0, streamsDeadline);
    }
    ::_exit(exitStatus.load());
}

// The buffers of the standard C++ streams (their own, where the
// application unsynchronised them from the C streams, or the C streams'
// beneath), on a thread of their own: one whose write blocks (another
// thread holds its C stream, or its reader does not read) holds up none of
// the C streams.
void* writeOutTheCppStreamsApart(void*) noexcept {
    flushQuietly(std::cout);
    flushQuietly(std::wcout);
    flushQuietly(std::clog);
    flushQuietly(std::wclog);
    // A child that a stream's own writing out forked has this thread alone:
    // its return would end the child through the exit.
    if (::getpid() != endedIn.load()) ::_exit(exitStatus.load());
    streamsWritten.store(1);
    Quillomark::Platform::Os::wakeWaiters(streamsWritten);
    return nullptr;
}

// Ends the process with its exit status while the work of other threads is
// still under way, before omniORB's statics that it uses are destroyed:
// the streams are written out, and nothing else of the exit runs. A flush
// takes each C stream's lock and writes what it holds, where the rest of
// the exit would have written out without the locks: a thread of the
// application may hold a lock for good (one that waits to read the
// standard input holds that stream's), and a stream's reader may never
// read. So the writing out is bounded by a thread that ends the process at
// a deadline of the steady clock. The C streams are written out newest
// first on the exiting thread, whose own locks do not stop it, so that a
// stream that blocks holds up none before it; the C++ streams apart.
// Without a thread to end the process, only the standard streams that no
// other thread holds are written out.
[[noreturn]] void endTheProcess() {
    endedHere();
    streamsDeadline = std::chrono::steady_clock::now() + STREAMS_WAIT;
    if (!startDetached(endAtTheDeadline)) {
        writeOutUnlessHeld(stdout, [] {
            flushQuietly(std::cout);
            flushQuietly(std::wcout);
            std::fflush(stdout);
        });
        writeOutUnlessHeld(stderr, [] {
            flushQuietly(std::clog);
            flushQuietly(std::wclog);
            std::fflush(stderr);
        });
        ::_exit(exitStatus.load());
    }
    if (!startDetached(writeOutTheCppStreamsApart)) writeOutTheCppStreamsApart(nullptr);
    // Every C stream, newest first, as the rest of the exit would have, on
    // the exiting thread: the locks that it holds itself (it exits inside
    // flockfile, or its signal handler interrupted its own printf) do not
    // stop it.
    std::fflush(nullptr);
    // A child that a stream's own write function forked goes on here alone.
    if (::getpid() != endedIn.load()) ::_exit(exitStatus.load());
    while (streamsWritten.load() == 0 && std::chrono::steady_clock::now() < streamsDeadline) {
        Quillomark::Platform::Os::waitWhileEqual(streamsWritten, 0, streamsDeadline);
    }
    ::_exit(exitStatus.load());
}

// Waits for the IIOP work of other threads (a connect makes a gateway
// reference), by the steady clock and woken as each ends: an exit from
// inside the exiting thread's own work (a signal handler's) would wait for
// nothing that can end. No work begins from then on.
void waitForOthersWork() {
    exiting.store(true);
    const auto deadline = std::chrono::steady_clock::now() + EXIT_WAIT;
    for (int underWay; (underWay = workUnderWay.load()) > workOfThisThread &&
                       std::chrono::steady_clock::now() < deadline;) {
        Quillomark::Platform::Os::waitWhileEqual(workUnderWay, underWay, deadline);
    }
}

// When some work is still under way after the wait, the exit does not go
// on to destroy what it uses: in a shared library the process ends here,
// once the program and the libraries that use this one have run their exit
// functions; in a library linked into the program, its last function ends
// it (endWhereTheExitGaveUp). An exit whose status the library was not told
// goes on, as an unload of the library does.
void waitForReferencesAtExit() noexcept {
    waitForOthersWork();
    const bool shared = !inTheProgram();
    if (othersUnderWay() && exitStatusKnown.load()) {
        if (shared) endTheProcess();
        endLeftToLastFunction.store(true);
    }
    if (shared) endedHere();
}

// Registered as the library loads, after omniORB made its statics: the
// exit runs it before they go. It, the status's function, the last function
// and the threads that end the process are called from the C library's
// frames, and let no exception out (noexcept).
[[maybe_unused]] const int waitsAtExit = std::atexit(waitForReferencesAtExit);

// The last of the library's functions that the exit runs, once the
// program's own have run (its image's function of the lowest priority: the
// image's others, and those registered in its name, come first). With the
// library linked into the program, the rest of the exit destroys the
// statics of the shared libraries, omniORB's among them. A child whose
// parent's exit had called the wait before the fork waits here.
__attribute__((destructor(101))) void endWhereTheExitGaveUp() noexcept {
    if (!exiting.load()) {
        waitForOthersWork();
        endLeftToLastFunction.store(true);
    }
    if (endLeftToLastFunction.load() && othersUnderWay() && exitStatusKnown.load()) {
        endTheProcess();
    }
    endedHere();
}

void endWork() {
    workUnderWay.fetch_sub(1);
    --workOfThisThread;
    // An exit that read the count before this change is seen to have begun
    // (both are sequentially consistent), and is woken.
    if (exiting.load()) Quillomark::Platform::Os::wakeWaiters(workUnderWay);
}

}  // namespace

IiopUnderWay::IiopUnderWay() : admitted(true) {
    ++workOfThisThread;
    workUnderWay.fetch_add(1);
    if (exiting.load()) {
        endWork();
        admitted = false;
        return;
    }
    learnTheExitStatus();
}

IiopUnderWay::~IiopUnderWay() {
    if (admitted) endWork();
}

// 2 GiB: room for a 1 GiB reply and more, while staying clear of the top of
// the 32-bit message-size range.
const char* const GatewayOrb::MAX_MESSAGE_SIZE = "2147483648";

namespace {

// Whether the nil references that the library uses are made: 0 not yet, 1
// made, -1 never (an allocation failed while omniORB made one).
std::atomic<int> nilReferences{0};

// omniORB makes each nil reference on first use, under a lock of its own
// that an allocation failing there leaves held for good (every later first
// nil reference of the process would wait for it), and that two threads
// making their first ones at once can leave held too. So those the library
// uses are made as it loads, before any thread of the library's runs (or by
// a static constructor's first connect that comes before), always under
// the ORB lock, and not tried again once that failed. The library's type
// codes already take omniORB's lock as they load.
bool nilReferencesMade() noexcept {
    if (nilReferences.load() == 0) {
        try {
            CORBA::ORB::_nil();
            CORBA::Object::_nil();
            QmCorbaServiceGateway::_nil();
            nilReferences.store(1);
        } catch (...) {
            nilReferences.store(-1);
        }
    }
    return nilReferences.load() == 1;
}
[[maybe_unused]] const bool nilReferencesAsItLoads = [] {
    // A thread that an application's static constructor started may be
    // connecting already.
    std::lock_guard<std::mutex> guard(orbLock);
    return nilReferencesMade();
}();

// Initialises the ORB or joins the one that exists, and counts the share,
// all under the lock; std::bad_alloc, touching nothing of omniORB's, where
// the nil references could not be made. The ORB_var of a share is made from
// what this returns, never default-made before them.
CORBA::ORB_ptr takeShare() {
    const char* options[][2] = {{"giopMaxMsgSize", GatewayOrb::MAX_MESSAGE_SIZE},
                                {nullptr, nullptr}};
    // Before the lock: a thread that a fork left behind may hold it.
    GatewayOrb::refuseInheritedOrb();
    std::lock_guard<std::mutex> guard(orbLock);
    if (!nilReferencesMade()) throw std::bad_alloc();
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
    const pid_t ended = endedIn.load(std::memory_order_relaxed);
    if (ended != 0 && ended != ::getpid()) {
        throw RuntimeException(
            RuntimeException::GENERAL_ERROR,
            "IIOP cannot be used in a process forked while its parent was ending, once omniORB's "
            "statics, which IIOP uses, could be going. Run a new program in the child for IIOP.");
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
