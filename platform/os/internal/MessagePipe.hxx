#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace Quillomark::Platform::Os {

// Where the local pipes of this user live: $FMS_IPC_DIR when set, else
// $XDG_RUNTIME_DIR/fms, else /tmp/fms-<uid>. The folder is made (private
// to the user) when it is missing. Another local user must not be able to
// put a pipe of theirs in it: a folder that is a link, belongs to someone
// else, or may be written by users other than its owner is refused. Empty
// when the folder cannot be made or is refused; *problem (when given) then
// names the folder and says why.
std::string ipcDirectory(std::string* problem = nullptr);

// The socket path of a pipe name such as "\\.\pipe\FMSClientPipe": the
// leading "\\.\pipe\" (either slash kind) is dropped, the remaining
// separators become "_", and the result is "<ipcDirectory>/pipe.<rest>".
// Empty when the path would not fit a local socket address or the name is
// empty, or when the folder is refused (*problem then says why).
std::string pipePath(const std::string& pipeName, std::string* problem = nullptr);

// The client end of a local message pipe: each write is one message and
// every message arrives whole and separate from the next (a sequenced
// packet socket). A read shorter than the message keeps the rest for the
// following reads, so that a message can be read in pieces.
class MessagePipe {
public:
    MessagePipe();
    ~MessagePipe();
    MessagePipe(MessagePipe&& other) noexcept;
    MessagePipe& operator=(MessagePipe&& other) noexcept;
    MessagePipe(const MessagePipe&) = delete;
    MessagePipe& operator=(const MessagePipe&) = delete;

    enum class Connect { Connected, Absent, Busy, OtherUser };

    // Connects to the pipe at path, closing what this pipe had open. While
    // the server has no free instance, tries again until busyWaitMs have
    // passed. Absent when nothing listens there; OtherUser when the server
    // runs as another user than this process (its user is then
    // refusedUser()): the connection is closed before anything is sent.
    Connect connect(const std::string& path, unsigned busyWaitMs);
    unsigned refusedUser() const { return otherUser; }

    bool isOpen() const { return fd >= 0; }

    enum class Read { Complete, MoreData, Overflow, Closed, Failed };
    struct ReadResult {
        Read status;
        std::size_t bytes;  // bytes placed in the buffer
        int error;          // the system's error number for Failed
    };

    // Reads from the current message at most count bytes. MoreData: the
    // message goes on and the next read continues it. Overflow: the
    // message was larger than this pipe can hold and is lost. Closed: the
    // server closed its end or went away.
    ReadResult read(void* buffer, std::size_t count);

    // Waits up to waitMs for something to read: false only when the wait
    // ran out (a closed or failed pipe has something to report).
    bool waitForData(unsigned waitMs);

    // Sends one message. The number of bytes sent, or -1 (a server that has
    // gone away is an error here, never a signal that ends the process).
    long write(const void* buffer, std::size_t count);

    void close();

private:
    int fd = -1;
    unsigned otherUser = 0;
    // Bytes of the current message beyond what the last read asked for.
    std::unique_ptr<unsigned char[]> spill;
    std::size_t spillBegin = 0;
    std::size_t spillEnd = 0;
};

}  // namespace Quillomark::Platform::Os
