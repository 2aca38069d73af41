#pragma once

#include <cstdint>
#include <string>

namespace Quillomark::Platform::Os {

// A mutex shared between processes by name: a robust, priority-inheriting
// process-shared mutex in a small file "mutex.<name>" of ipcDirectory()
// (MessagePipe.hxx), mapped by every process that opens it. A waiter sleeps
// in the kernel and is handed the mutex when the holder lets go, before the
// holder can take it again; a holder that dies (a thread that ends holding
// it included) leaves it abandoned, which the next locker is told of once.
// Its creator keeps it in existence for as long as the object stays open.
// A thread holds the mutex, whatever object it took it through, when it
// took it itself (each thread keeps a record of the mutexes it took) and
// the mutex still names it as its holder (an identifier that the kernel
// clears when that thread ends holding it): threads that share an object
// exclude each other as those of other processes do, and a new thread that
// gets the identifier of an ended holder holds nothing. A thread holds at
// most 16 named mutexes at once: a lock of one more fails (Failed, ENOLCK)
// and takes nothing. Locking is not counted: a thread that holds the mutex
// locks it again at once. A lock is let go by the thread that holds it
// alone: an unlock from any other thread is refused, and a close while
// another thread of the process holds it leaves the mutex mapped (for the
// rest of the process), so that the kernel can mark it abandoned when that
// thread ends.
// The identifier names a thread of the PID namespace of the process that
// reads it: the mutex is shared by the processes of its creator's
// namespace alone. A process of another one holds nothing: its lock and
// unlock fail (ENOTSUP), its holder() is None, and its close lets go of
// nothing. A creator of another one makes a new file, whose old one's
// clients find it gone (isAtItsPath), but only once no object that opened
// the old one (open(), which a forked child's copy keeps) has it open any
// more: until then it is refused, since such an object may hold the old
// mutex, and a new one would be a second holder beside it.
class NamedMutex {
public:
    // Abandoned: the caller holds the mutex, whose last holder died holding
    // it: what it guards may be half changed. Failed covers a mutex that
    // cannot be used any more (a holder gone without the kernel having been
    // able to mark it): it is reported, never waited for, and its creator
    // makes it anew.
    enum class Result { Ok, AlreadyExists, NotFound, TimedOut, Abandoned, Failed };
    // Who holds the mutex: the calling thread, another thread of this
    // process, or neither (nobody, or a thread of another process). A holder
    // thread that has ended counts as none (the mutex is abandoned, which
    // the next lock reports).
    enum class Holder { None, Caller, OtherThread };

    NamedMutex() = default;
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Makes the mutex (or takes over the one a creator left behind);
    // AlreadyExists when another live object created it, or when the file
    // is of another PID namespace's creator, or of another layout, and an
    // object still has it open.
    Result create(const std::string& name);
    // Removes the file of the mutex of that name when it is a regular file
    // of the user's that others may read or write, which no process can
    // have opened as a mutex: true when it did. Anything else there (a
    // private file, a link, a folder, another user's file) stays.
    static bool removeUnusableFile(const std::string& name);
    // Opens a mutex that a creator made; NotFound when there is none;
    // Failed (ESTALE) when a creator of another namespace is taking its
    // name over.
    Result open(const std::string& name);
    bool isOpen() const { return shared != nullptr; }
    // The open file that carries the mutex; -1 when closed.
    int descriptor() const { return fd; }

    // A hold that the lock begins carries note (leaveNote). A lock given no
    // time takes the mutex when it is free, and waits for nothing.
    Result lock(std::uint32_t timeoutMilliseconds, std::uint64_t note = 0);
    // False, changing nothing, when the calling thread does not hold the
    // mutex.
    bool unlock();
    void close();
    // A close that leaves the calling thread's hold, taken through another
    // object, as it is: for a user that finds the mutex held by its own
    // thread already and lets it be.
    void closeLeavingTheHold();
    Holder holder() const;
    // A word that the holder leaves with the mutex for whoever takes it
    // after the holder died holding it: the lock that is told Abandoned
    // finds it in abandonedNote(). A hold starts with the note its lock
    // was given, and a thread that does not hold the mutex leaves nothing.
    void leaveNote(std::uint64_t note);
    std::uint64_t abandonedNote() const { return noteOfTheDead; }
    // Whether the file at the mutex's path is still the one this object
    // maps: a file removed (by a cleaner of old files) and made again by a
    // new creator is another mutex, which this one does not exclude.
    bool isAtItsPath() const;

    // What tells a file, or a PID namespace, from every other: the device
    // and inode of the file (of its /proc entry).
    struct Identity {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        friend bool operator==(const Identity& one, const Identity& other) {
            return one.device == other.device && one.inode == other.inode;
        }
        friend bool operator!=(const Identity& one, const Identity& other) {
            return !(one == other);
        }
    };

private:
    struct Shared;
    // Replacing: the call in which a creator makes the file anew.
    Result attach(const std::string& name, bool creating, bool replacing = false);
    // Whether the calling process is of the PID namespace of the mutex's
    // creator.
    bool inItsNamespace() const;
    // Whether the calling thread took the mutex and holds it.
    bool takenByCaller() const;

    int fd = -1;
    Shared* shared = nullptr;
    std::string path;
    Identity file;
    Identity pidNamespace;  // of its creator
    std::uint64_t noteOfTheDead = 0;
};

}  // namespace Quillomark::Platform::Os
