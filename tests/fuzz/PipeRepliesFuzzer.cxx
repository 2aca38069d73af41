// The file-cache server's replies, as they come through a real pipe, to
// each exchange of the library's own file-cache client. A server of this
// program listens on the master pipe; each connection it accepts gets the
// input's replies in order, as fast as the client takes them (after a proper
// version-check answer unless the input answers that too), and then the end
// of the stream.
//
// Input: one byte that picks the exchange, one of options (bit 0: the
// replies answer the version check too; bits 1-2: the progress callback is
// absent, goes on, cancels or fails), then replies, each a flag byte (bit 0:
// fill in the header's length field), a 16-bit big-endian length and bytes.

#include "tests/fuzz/FuzzCheck.hxx"

#include <fcc/internal/FccErrors.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/runtime/internal/FccTiming.hxx>
#include <platform/os/internal/MessagePipe.hxx>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace Fcc = Quillomark::Fcc;
namespace Os = Quillomark::Platform::Os;
using Bytes = std::vector<unsigned char>;

const char* const SECONDARY_PIPE = "FuzzSecondary";

int listenAt(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    FUZZ_CHECK(!path.empty() && path.size() < sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    FUZZ_CHECK(listen(fd, 16) == 0);
    return fd;
}

// Repeats a call that a signal cut short: the fuzzer's timers interrupt
// the server's thread too.
template <class Call>
auto retried(Call call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

bool sendRecord(int fd, const Bytes& bytes, int flags = 0) {
    return retried([&] { return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | flags); }) ==
           static_cast<ssize_t>(bytes.size());
}

Bytes versionAnswer() {
    Bytes reply(Fcc::FCC_HEADER_SIZE, 0);
    reply[0] = Fcc::FCC_REPLY;
    const std::uint32_t type = Fcc::fccMessageType(Fcc::FMS_VERSION_CHECK);
    for (int i = 0; i < 4; ++i) reply[4 + i] = static_cast<unsigned char>(type >> (24 - 8 * i));
    return reply;
}

struct Script {
    bool answersVersion = false;
    std::vector<Bytes> replies;
};

// Serves one connection at a time, for the life of the process (it is
// never stopped, so it is never destroyed).
class ScriptedServer {
public:
    ScriptedServer()
        : master(listenAt(Os::pipePath(Fcc::FCC_DEFAULT_PIPE_NAME))),
          secondary(listenAt(Os::pipePath(SECONDARY_PIPE))) {
        std::thread([this] { serve(); }).detach();
    }

    void setScript(Script next) {
        std::lock_guard<std::mutex> guard(mutex);
        script = std::move(next);
    }

private:
    void serve() {
        const Bytes name(SECONDARY_PIPE, SECONDARY_PIPE + std::strlen(SECONDARY_PIPE) + 1);
        for (;;) {
            const int handOut =
                retried([&] { return accept4(master, nullptr, nullptr, SOCK_CLOEXEC); });
            if (handOut < 0) continue;
            const bool named = sendRecord(handOut, name);
            close(handOut);
            // A client that got no name never comes to the secondary pipe.
            pollfd waiting{secondary, POLLIN, 0};
            if (!named || retried([&] { return poll(&waiting, 1, 5000); }) <= 0) continue;
            const int client =
                retried([&] { return accept4(secondary, nullptr, nullptr, SOCK_CLOEXEC); });
            if (client < 0) continue;
            Script now;
            {
                std::lock_guard<std::mutex> guard(mutex);
                now = script;
            }
            if (!now.answersVersion) now.replies.insert(now.replies.begin(), versionAnswer());
            converse(client, now.replies);
            close(client);
        }
    }

    // Sends the replies, then the end of the stream, while it reads (and
    // drops) what the client sends: neither side waits for the other to
    // read. Returns when the client has closed its end.
    static void converse(int client, const std::vector<Bytes>& replies) {
        std::size_t next = 0;
        if (replies.empty()) shutdown(client, SHUT_WR);
        for (;;) {
            pollfd ready{client, static_cast<short>(POLLIN | (next < replies.size() ? POLLOUT : 0)),
                         0};
            if (retried([&] { return poll(&ready, 1, -1); }) < 0) return;
            if (ready.revents & POLLIN) {
                char discard[4096];
                const ssize_t got =
                    retried([&] { return recv(client, discard, sizeof discard, MSG_DONTWAIT); });
                if (got == 0 || (got < 0 && errno != EAGAIN)) return;
            } else if (ready.revents & (POLLHUP | POLLERR)) {
                return;
            }
            if (next < replies.size() && (ready.revents & POLLOUT)) {
                if (!sendRecord(client, replies[next], MSG_DONTWAIT)) {
                    if (errno == EAGAIN) continue;
                    next = replies.size();  // the client is gone: only its close is left
                } else {
                    ++next;
                }
                if (next == replies.size()) shutdown(client, SHUT_WR);
            }
        }
    }

    int master;
    int secondary;
    std::mutex mutex;
    Script script;
};

ScriptedServer& server() {
    static ScriptedServer* const running = [] {
        char folder[] = "/tmp/pipe-replies-fuzz-XXXXXX";
        FUZZ_CHECK(mkdtemp(folder) != nullptr);
        const std::string root = folder;
        setenv("FMS_IPC_DIR", (root + "/ipc").c_str(), 1);
        setenv("FMS_HOME", root.c_str(), 1);
        unsetenv("FCC_PROXYPIPENAME");
        unsetenv("FCC_PROXYEXECNAME");
        unsetenv("FMS_FCCPROXYLOG");
        // Never reached while the server listens; it fails if it ever is.
        const std::string script = root + "/" + Fcc::FCC_DEFAULT_SCRIPT_NAME;
        std::ofstream(script) << "#!/bin/sh\nexit 3\n";
        chmod(script.c_str(), 0755);
        Fcc::Testing::scaleFccTiming(100);
        FUZZ_CHECK(Fcc::FccReadConfiguration() == 0);
        return new ScriptedServer();
    }();
    return *running;
}

int callbackMode = 0;

int progress(void*, void*, std::int64_t, std::int64_t, int* go) {
    if (callbackMode == 3) return Fcc::ERR_FMSCP_CANCELLED - 1;
    *go = callbackMode == 1 ? 1 : 0;
    return 0;
}

void releaseString(char* text) {
    if (text) Fcc::fccRelease(text);
}

void runExchange(unsigned which) {
    const std::string ticket(80, 't');
    Fcc::FccServerFile file;
    file.ticket = ticket.c_str();
    file.handle = "handle";
    const FccProgressCallback callback = callbackMode == 0 ? nullptr : progress;
    char* text = nullptr;
    switch (which % 16) {
        case 0: Fcc::FccVersionCheck(true); break;
        case 1: Fcc::FccOpenExchange(file); break;
        case 2: Fcc::FccSizeExchange(file); break;
        case 3: {
            std::vector<unsigned char> buffer(600, 0);
            file.position = 5;
            const int got = Fcc::FccDataExchange(file, "pol", buffer.data(), 600, 100);
            FUZZ_CHECK(got <= 600);
            break;
        }
        case 4:
            Fcc::FccFileExchange(file, &text, "pol", callback, nullptr);
            releaseString(text);
            break;
        case 5:
            Fcc::FccLocationExchange(file, "pol", callback, nullptr, "/tmp/to", "name.bin");
            break;
        case 6:
            Fcc::FccUploadExchange(file, "/tmp/up.bin", callback, nullptr, &text);
            releaseString(text);
            break;
        case 7: Fcc::FccRollbackExchange(file, "volume"); break;
        case 8: Fcc::FccReadAheadExchange(file, "pol", 4096, 8192); break;
        case 9:
            if (Fcc::FccOpenExchange(file) >= 0) Fcc::FccCloseExchange(file);
            break;
        case 10: Fcc::FccEchoExchange(); break;
        case 11: Fcc::FccClearCacheExchange(); break;
        case 12: Fcc::FccLocaleExchange(); break;
        case 13:
            Fcc::FccLocalizeExchange("text to translate", &text);
            std::free(text);
            break;
        case 14: {
            Fcc::FccCacheInfo info;
            Fcc::FccCacheInfoExchange(info);
            break;
        }
        default:
            // An error reply's text, then translated through the server.
            if (Fcc::FccEchoExchange() < 0) {
                const char* last = Fcc::FccGetLastErrorText();
                if (last) FUZZ_CHECK(std::strlen(last) < Fcc::FCC_REPLY_BUFFER_SIZE);
            }
            break;
    }
    // The file counts as open on the server only through a pipe still open.
    Fcc::fccIsOpenOnServer(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    ScriptedServer& scripted = server();
    Script script;
    script.answersVersion = (data[1] & 1) != 0;
    callbackMode = (data[1] >> 1) & 3;
    for (std::size_t at = 2; at + 3 <= size;) {
        const bool fillLength = (data[at] & 1) != 0;
        const std::size_t length =
            std::min<std::size_t>((data[at + 1] << 8) | data[at + 2], size - at - 3);
        Bytes reply(data + at + 3, data + at + 3 + length);
        if (fillLength && reply.size() >= Fcc::FCC_HEADER_SIZE) {
            const auto payload = static_cast<std::uint32_t>(reply.size() - Fcc::FCC_HEADER_SIZE);
            for (int i = 0; i < 4; ++i) {
                reply[8 + i] = static_cast<unsigned char>(payload >> (24 - 8 * i));
            }
        }
        script.replies.push_back(std::move(reply));
        at += 3 + length;
    }
    scripted.setScript(std::move(script));

    runExchange(data[0]);

    // Each input starts on a fresh pipe.
    Fcc::FccConnectionRef record = Fcc::FccGetThreadConnection();
    FUZZ_CHECK(record);
    if (record->pipe.isOpen()) Fcc::FccCloseProxy(*record);
    Fcc::FccSetLastErrorText(nullptr);
    return 0;
}
