#pragma once

#include <cstdint>
#include <string>

namespace Quillomark::Platform::Os {

// A mutex shared between processes by name, kept as locks on a lock file in
// ipcDirectory() (MessagePipe.hxx). Its creator holds it in existence for as
// long as the object stays open; the kernel drops the locks of a process that
// dies, so a dead holder never blocks the others. Locking is not counted: a second
// lock through the same object succeeds at once.
class NamedMutex {
public:
    enum class Result { Ok, AlreadyExists, NotFound, TimedOut, Failed };

    NamedMutex() = default;
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Makes the mutex; AlreadyExists when another live object created it.
    Result create(const std::string& name);
    // Opens a mutex that a creator made; NotFound when there is none.
    Result open(const std::string& name);
    bool isOpen() const { return fd >= 0; }

    Result lock(std::uint32_t timeoutMilliseconds);
    bool unlock();
    void close();

private:
    int fd = -1;
};

}  // namespace Quillomark::Platform::Os
