#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/NamedMutex.hxx>

#include <platform/os/internal/MappedFile.hxx>
#include <platform/os/internal/MessagePipe.hxx>
#include <platform/os/internal/OsError.hxx>
#include <platform/os/internal/Threads.hxx>
#include <platform/os/internal/Time.hxx>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <type_traits>
#include <unistd.h>

#if defined(__SANITIZE_THREAD__)
#define QMSOA_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QMSOA_THREAD_SANITIZER 1
#endif
#endif
#ifdef QMSOA_THREAD_SANITIZER
#include <sanitizer/tsan_interface.h>
#endif

namespace Quillomark::Platform::Os {

// The file's bytes: a mark written once the mutex in it is made, which
// tells a usable file of this layout from a blank one or one of another
// layout (its own mark, or the size of another build's mutex), the PID
// namespace of its creator, the mutex, and the note of its holder
// (leaveNote).
struct NamedMutex::Shared {
    std::atomic<std::uint32_t> ready;
    std::uint32_t mutexSize;
    NamedMutex::Identity pidNamespace;
    alignas(64) pthread_mutex_t mutex;
    std::atomic<std::uint64_t> note;
};

namespace {

constexpr std::uint32_t readyMark = 0x4D4E5851;
constexpr std::size_t fileSize = 4096;
static_assert(sizeof(std::atomic<std::uint32_t>) == 4);

constexpr const char* filePrefix = "mutex.";

// Locks of bytes of the file, without waiting, held as long as the open
// file is: byte 0 by the creator (exclusively) while it lives, byte 1 by
// each process that opened the mutex (shared) while it may hold it.
constexpr off_t existenceByte = 0;
constexpr off_t useByte = 1;

int lockByte(int fd, off_t byte, short type) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = byte;
    request.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &request);
}

bool lockedByAnother(int error) { return error == EAGAIN || error == EACCES; }

// A name stays a name in the folder: no separator, no NUL, not too long.
bool isPlainName(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos &&
           name.size() + std::char_traits<char>::length(filePrefix) <= NAME_MAX;
}

// A file that only its owner, this user, can open.
bool isPrivateFile(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 077) == 0;
}

bool makeMutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) return false;
    // Shared by processes; a holder that dies is reported to the next
    // locker; the kernel hands the mutex to the waiter that has waited
    // longest, so that a holder that locks again at once cannot starve it.
    bool made = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
                pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
                pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT) == 0 &&
                pthread_mutex_init(mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return made;
}

// The thread sanitizer counts a timed lock as taken only when it returns
// 0; one that found its holder dead has taken it all the same.
void noteTakenFromTheDead(pthread_mutex_t* mutex) {
#ifdef QMSOA_THREAD_SANITIZER
    __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
    __tsan_mutex_post_lock(mutex, __tsan_mutex_try_lock, 0);
#else
    (void)mutex;
#endif
}

// The lock word of a mutex: the kernel's identifier of its holder, with the
// kernel's mark of a holder that died (FUTEX_OWNER_DIED). It is the first
// word of glibc's mutex.
std::uint32_t lockWord(pthread_mutex_t* mutex) {
    static_assert(offsetof(pthread_mutex_t, __data.__lock) == 0, "the lock word comes first");
    return static_cast<std::uint32_t>(__atomic_load_n(&mutex->__data.__lock, __ATOMIC_ACQUIRE));
}

// The kernel's identifier of the thread that holds the mutex, as the mutex
// records it; 0 when none does (also when its holder died holding it).
pid_t holderOf(pthread_mutex_t* mutex) {
    return static_cast<pid_t>(lockWord(mutex) & FUTEX_TID_MASK);
}

// Whether a thread of that identifier runs anywhere on the system (one of
// another user's counts).
bool threadRuns(pid_t thread) { return ::kill(thread, 0) == 0 || errno == EPERM; }

// Whether the mutex is held by a thread that has gone without the kernel
// marking it abandoned: its holder unmapped it, or a process that shared it
// wrote into it. The kernel then refuses to wait for it, on which the C
// library gives up the process: such a mutex cannot be used any more. A
// holder that let go and ended after the word was read has changed it (a
// thread that ends holding it has its mark put in by the kernel before it
// is gone): only a word that still names the thread found gone is its.
bool heldByTheGone(pthread_mutex_t* mutex) {
    const std::uint32_t word = lockWord(mutex);
    const auto holder = static_cast<pid_t>(word & FUTEX_TID_MASK);
    return holder != 0 && (word & FUTEX_OWNER_DIED) == 0 && !threadRuns(holder) &&
           lockWord(mutex) == word;
}

// Whether a thread of this process of that identifier runs.
bool ownThreadRuns(pid_t thread) { return ::syscall(SYS_tgkill, ::getpid(), thread, 0) == 0; }

// The mutexes that the calling thread took, by their files: a thread holds
// a mutex only when it took it itself. The identifier in the lock word is
// no proof: it names a thread of the namespace of the process that wrote
// it, and a thread of another namespace may have the same. A forked
// child's thread took none. Plain storage that nothing destroys: the main
// thread's record is still read and written by a close in an exit handler
// or a static destructor, after the thread's own objects are gone. A
// thread holds at most that many mutexes at once: a lock of one more is
// refused (Failed, ENOLCK) before it takes anything.
struct TakenMutexes {
    NamedMutex::Identity files[16];
    std::size_t count;
};
static_assert(std::is_trivially_destructible_v<TakenMutexes>);
thread_local TakenMutexes takenByThisThread;

bool tookIt(const NamedMutex::Identity& file) {
    const auto& taken = takenByThisThread;
    return std::find(taken.files, taken.files + taken.count, file) != taken.files + taken.count;
}

void forgetTaken(const NamedMutex::Identity& file) {
    auto& taken = takenByThisThread;
    taken.count =
        std::size_t(std::remove(taken.files, taken.files + taken.count, file) - taken.files);
}

// The PID namespace of the process, as the identity of its /proc entry
// (an inode of 0 when that cannot be told), looked up once per process: a
// forked child, which an unshare before the fork puts in another
// namespace, looks again.
std::atomic<bool> namespaceKnown{false};
std::atomic<std::uint64_t> namespaceDevice{0}, namespaceInode{0};

void forgetInChild() {
    namespaceKnown.store(false, std::memory_order_relaxed);
    takenByThisThread.count = 0;
}

QMSOA_IN_CHILD_AFTER_FORK(namespaceInChild, forgetInChild);

NamedMutex::Identity ownPidNamespace() {
    if (!namespaceKnown.load(std::memory_order_acquire)) {
        struct stat entry {};
        const bool found = ::stat("/proc/self/ns/pid", &entry) == 0;
        namespaceDevice.store(found ? entry.st_dev : 0, std::memory_order_relaxed);
        namespaceInode.store(found ? entry.st_ino : 0, std::memory_order_relaxed);
        namespaceKnown.store(true, std::memory_order_release);
    }
    return {namespaceDevice.load(std::memory_order_relaxed),
            namespaceInode.load(std::memory_order_relaxed)};
}

bool isKnown(const NamedMutex::Identity& identity) { return identity.inode != 0; }

// A deadline `milliseconds` from now on `clock`.
timespec deadlineAfter(clockid_t clock, std::int64_t milliseconds) {
    timespec deadline{};
    clock_gettime(clock, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    return deadline;
}

// Waits for the mutex `milliseconds` at most by the clock that does not
// jump: a wait until a date would last as long again as the system's date
// goes back meanwhile. A kernel older than 5.14 waits for such a mutex by
// the date alone, and so does the thread sanitizer, which follows no other
// timed lock.
int lockWithin(pthread_mutex_t* mutex, std::int64_t milliseconds) {
#ifndef QMSOA_THREAD_SANITIZER
    const timespec steadyDeadline = deadlineAfter(CLOCK_MONOTONIC, milliseconds);
    const int result = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &steadyDeadline);
    if (result != EINVAL) return result;
#endif
    const timespec deadline = deadlineAfter(CLOCK_REALTIME, milliseconds);
    return pthread_mutex_timedlock(mutex, &deadline);
}

}  // namespace

NamedMutex::~NamedMutex() { close(); }

NamedMutex::Result NamedMutex::create(const std::string& name) { return attach(name, true); }

NamedMutex::Result NamedMutex::open(const std::string& name) { return attach(name, false); }

bool NamedMutex::removeUnusableFile(const std::string& name) {
    const std::string folder = isPlainName(name) ? ipcDirectory() : std::string();
    if (folder.empty()) return false;
    const std::string file = folder + "/" + filePrefix + name;
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
        isPrivateFile(info))
        return false;
    return ::unlink(file.c_str()) == 0;
}

NamedMutex::Result NamedMutex::attach(const std::string& name, bool creating, bool replacing) {
    static_assert(offsetof(Shared, mutexSize) == 4 && offsetof(Shared, pidNamespace) == 8 &&
                      offsetof(Shared, mutex) == 64 && offsetof(Shared, note) == 104 &&
                      sizeof(std::atomic<std::uint64_t>) == 8,
                  "the layout of the mutex file");
    close();
    if (!isPlainName(name)) {
        setLastOsError(EINVAL);
        return Result::Failed;
    }
    const std::string folder = ipcDirectory();
    if (folder.empty()) return Result::Failed;
    path = folder + "/" + filePrefix + name;
    // Never through a link; made for the user alone.
    const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (creating ? O_CREAT : 0);
    fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0) {
        const int error = errno;
        setLastOsError(error);
        return !creating && error == ENOENT ? Result::NotFound : Result::Failed;
    }
    auto fail = [this](int error, Result result = Result::Failed) {
        setLastOsError(error);
        close();
        return result;
    };
    struct stat info {};
    if (::fstat(fd, &info) != 0) return fail(errno);
    if (!isPrivateFile(info)) return fail(EACCES);
    // Processes of one PID namespace alone can share the mutex (see
    // lock()): one that cannot tell its own shares it with none.
    const Identity own = ownPidNamespace();
    if (!isKnown(own)) return fail(ENOTSUP);
    file = {info.st_dev, info.st_ino};
    if (creating && lockByte(fd, existenceByte, F_WRLCK) != 0) {
        const int error = errno;
        return fail(error, lockedByAnother(error) ? Result::AlreadyExists : Result::Failed);
    }
    if (static_cast<std::uint64_t>(info.st_size) < fileSize) {
        if (!creating) return fail(EINVAL);
        if (::ftruncate(fd, fileSize) != 0) return fail(errno);
    }
    void* view = ::mmap(nullptr, fileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) return fail(errno);
    shared = static_cast<Shared*>(view);
    const bool ready = shared->ready.load(std::memory_order_acquire) == readyMark &&
                       shared->mutexSize == sizeof(pthread_mutex_t);
    pidNamespace = shared->pidNamespace;
    if (!creating) {
        if (!ready) return fail(EINVAL);
        if (pidNamespace != own) return fail(ENOTSUP);
        // Used from now on, until closed: a creator of another namespace
        // leaves the file alone meanwhile. One that took the name over
        // before is not waited for: the file it took it from is no use.
        if (lockByte(fd, useByte, F_RDLCK) != 0) {
            const int error = errno;
            return fail(lockedByAnother(error) ? ESTALE : error);
        }
        return isFileAtPath(fd, path) ? Result::Ok : fail(ESTALE);
    }
    if (ready && pidNamespace != own) {
        // Left by a creator of another PID namespace (or of a version that
        // did not record it): what its lock word says means nothing here.
        // While a process that opened it has it open, and so may hold it,
        // the creator is refused: a mutex of its own would be a second
        // holder beside that one. Otherwise a new file takes the name, and
        // whoever opens the old one meanwhile finds it gone.
        if (replacing) return fail(ENOTSUP);
        if (lockByte(fd, useByte, F_WRLCK) != 0) {
            const int error = errno;
            return fail(error, lockedByAnother(error) ? Result::AlreadyExists : Result::Failed);
        }
        if (isFileAtPath(fd, path)) ::unlink(path.c_str());
        return attach(name, true, true);
    }
    // A file of another layout may be in use by processes that read it so,
    // and may hold its mutex: it is made anew only once none has it open,
    // and none opens it until it is of this layout (the lock of its use
    // byte is let go of below).
    const bool otherLayout =
        !ready && (shared->ready.load(std::memory_order_acquire) != 0 || shared->mutexSize != 0);
    if (otherLayout && lockByte(fd, useByte, F_WRLCK) != 0) {
        const int error = errno;
        return fail(error, lockedByAnother(error) ? Result::AlreadyExists : Result::Failed);
    }
    // The creator takes over a mutex that an earlier creator left: clients
    // of that one may still hold it. One that a dead holder left is made
    // consistent; one that cannot be used any more is made anew.
    int state = !ready                          ? ENOTRECOVERABLE
                : heldByTheGone(&shared->mutex) ? ENOTRECOVERABLE
                                                : pthread_mutex_trylock(&shared->mutex);
    if (state == EOWNERDEAD) state = pthread_mutex_consistent(&shared->mutex);
    if (state == 0) pthread_mutex_unlock(&shared->mutex);
    if (state != 0 && state != EBUSY) {
        shared->ready.store(0, std::memory_order_relaxed);
        shared->mutexSize = sizeof(pthread_mutex_t);
        shared->pidNamespace = pidNamespace = own;
        if (!makeMutex(&shared->mutex)) return fail(EINVAL);
        shared->ready.store(readyMark, std::memory_order_release);
    }
    if (otherLayout) lockByte(fd, useByte, F_UNLCK);
    return Result::Ok;
}

NamedMutex::Result NamedMutex::lock(std::uint32_t timeoutMilliseconds, std::uint64_t note) {
    if (!shared) {
        setLastOsError(EBADF);
        return Result::Failed;
    }
    // The kernel reads the identifier in the lock word, and waits on it,
    // as one of the caller's PID namespace: for a process of another one
    // it names another thread, or none. Such a process (a forked child
    // of one that unshared its namespace) is refused.
    if (!inItsNamespace()) {
        setLastOsError(ENOTSUP);
        return Result::Failed;
    }
    if (takenByCaller()) return Result::Ok;
    // A mutex made anew under the thread's hold is no longer held.
    forgetTaken(file);
    auto& taken = takenByThisThread;
    if (taken.count == std::size(taken.files)) {
        setLastOsError(ENOLCK);
        return Result::Failed;
    }
    int result = pthread_mutex_trylock(&shared->mutex);
    // The clock is read only when the lock has to be waited for.
    const std::int64_t start = result == EBUSY ? monotonicMilliseconds() : 0;
    std::int64_t remaining = timeoutMilliseconds;
    for (;;) {
        if (result == EBUSY) {
            if (heldByTheGone(&shared->mutex)) {
                setLastOsError(ENOTRECOVERABLE);
                return Result::Failed;
            }
            // Given no time, it takes only a mutex that is free.
            if (remaining <= 0) return Result::TimedOut;
            result = lockWithin(&shared->mutex, remaining);
            if (result == EOWNERDEAD) noteTakenFromTheDead(&shared->mutex);
        }
        if (result == 0 || result == EOWNERDEAD) {
            taken.files[taken.count++] = file;
            // The last holder's note, when it died holding the mutex; the
            // new hold starts with its own.
            noteOfTheDead = result == EOWNERDEAD ? shared->note.load(std::memory_order_relaxed) : 0;
            shared->note.store(note, std::memory_order_relaxed);
        }
        if (result == 0) return Result::Ok;
        if (result == EOWNERDEAD) {
            pthread_mutex_consistent(&shared->mutex);
            return Result::Abandoned;
        }
        if (result != ETIMEDOUT) {
            setLastOsError(result);
            return Result::Failed;
        }
        // A wait on the system's date may have ended early, as the date
        // jumped ahead: the wait ends by the clock that does not jump.
        remaining = std::int64_t(timeoutMilliseconds) - (monotonicMilliseconds() - start);
        if (remaining <= 0) return Result::TimedOut;
        result = EBUSY;
    }
}

bool NamedMutex::inItsNamespace() const { return pidNamespace == ownPidNamespace(); }

bool NamedMutex::takenByCaller() const {
    // Taken by this thread, and not let go since: still its holder, unless
    // the mutex was made anew under it.
    return tookIt(file) && holderOf(&shared->mutex) == pid_t(currentThreadId());
}

NamedMutex::Holder NamedMutex::holder() const {
    // A process of another namespace holds none of it, and cannot tell
    // who does.
    if (!shared || !inItsNamespace()) return Holder::None;
    if (takenByCaller()) return Holder::Caller;
    // A holder that died holding it is recorded as none (the kernel marked
    // the mutex abandoned instead).
    const pid_t thread = holderOf(&shared->mutex);
    if (thread == 0 || thread == pid_t(currentThreadId())) return Holder::None;
    return ownThreadRuns(thread) ? Holder::OtherThread : Holder::None;
}

bool NamedMutex::unlock() {
    if (!shared) {
        setLastOsError(EBADF);
        return false;
    }
    if (!inItsNamespace()) {
        setLastOsError(ENOTSUP);
        return false;
    }
    // Only the thread that took the mutex lets it go.
    if (!takenByCaller()) {
        setLastOsError(EPERM);
        return false;
    }
    shared->note.store(0, std::memory_order_relaxed);
    if (const int result = pthread_mutex_unlock(&shared->mutex)) {
        setLastOsError(result);
        return false;
    }
    forgetTaken(file);
    return true;
}

void NamedMutex::leaveNote(std::uint64_t note) {
    if (shared && inItsNamespace() && takenByCaller())
        shared->note.store(note, std::memory_order_relaxed);
}

bool NamedMutex::isAtItsPath() const { return fd >= 0 && isFileAtPath(fd, path); }

void NamedMutex::closeLeavingTheHold() {
    // This object's view goes; the thread's record and the view it took the
    // mutex through stay.
    if (shared && holder() == Holder::Caller) {
        ::munmap(shared, fileSize);
        shared = nullptr;
    }
    close();
}

void NamedMutex::close() {
    if (shared) {
        switch (holder()) {
            case Holder::Caller: unlock(); break;
            case Holder::OtherThread:
                // The kernel finds the mutex of a thread that ends holding
                // it through that thread's mapping: unmapped, the mutex
                // would stay held by a thread that is gone, and no process
                // could lock it again. Which view the thread took it
                // through is not known: this one stays for the process's
                // life.
                shared = nullptr;
                break;
            case Holder::None: break;
        }
        if (shared) ::munmap(shared, fileSize);
        // Nor is it in the thread's record any more: one that was made
        // anew under the thread's hold would keep its place there for good.
        forgetTaken(file);
    }
    shared = nullptr;
    path.clear();
    file = pidNamespace = Identity();
    noteOfTheDead = 0;
    // The creator's lock on the file goes with the last reference to it,
    // the mapping's included.
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace Quillomark::Platform::Os
