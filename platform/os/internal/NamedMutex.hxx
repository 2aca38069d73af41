#pragma once

#include <cstdint>
#include <string>

namespace Quillomark::Platform::Os {

// A mutex shared between processes by name: a robust, priority-inheriting
// process-shared mutex in a small file "mutex.<name>" of ipcDirectory()
// (MessagePipe.hxx), mapped by every process that opens it. A waiter sleeps
// in the kernel and is handed the mutex when the holder lets go, before the
// holder can take it again; a holder that dies leaves it abandoned, which
// the next locker is told of once. Its creator keeps it in existence for as
// long as the object stays open. Locking is not counted: a second lock
// through the same object succeeds at once. A lock is let go by the thread
// that took it.
class NamedMutex {
public:
    // Abandoned: the caller holds the mutex, whose last holder died holding
    // it: what it guards may be half changed.
    enum class Result { Ok, AlreadyExists, NotFound, TimedOut, Abandoned, Failed };

    NamedMutex() = default;
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Makes the mutex (or takes over the one a creator left behind);
    // AlreadyExists when another live object created it.
    Result create(const std::string& name);
    // Opens a mutex that a creator made; NotFound when there is none.
    Result open(const std::string& name);
    bool isOpen() const { return shared != nullptr; }

    Result lock(std::uint32_t timeoutMilliseconds);
    bool unlock();
    void close();

private:
    struct Shared;
    Result attach(const std::string& name, bool creating);

    int fd = -1;
    Shared* shared = nullptr;
    bool held = false;
};

}  // namespace Quillomark::Platform::Os
