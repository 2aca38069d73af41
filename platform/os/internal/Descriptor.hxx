#pragma once

#include <unistd.h>

#include <utility>

namespace Quillomark::Platform::Os {

// A descriptor that closes itself.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    void reset(int other = -1) {
        if (fd >= 0) ::close(fd);
        fd = other;
    }
    int get() const { return fd; }
    // Hands the descriptor over to another owner.
    int release() { return std::exchange(fd, -1); }

private:
    int fd;
};

}  // namespace Quillomark::Platform::Os
