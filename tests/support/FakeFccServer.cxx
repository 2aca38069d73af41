#include <tests/support/FakeFccServer.hxx>

#include <tests/fastcache/ChildProcess.hxx>
#include <tests/support/LeaksUncounted.hxx>

#include <platform/os/internal/Environment.hxx>
#include <platform/os/internal/MessagePipe.hxx>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace Quillomark::Testing {

namespace {

constexpr std::size_t HEADER = 12;
constexpr std::size_t RECORD_LIMIT = 70000;

void put16(std::vector<unsigned char>& out, std::uint16_t value) {
    out.push_back(static_cast<unsigned char>(value >> 8));
    out.push_back(static_cast<unsigned char>(value));
}
void put32(std::vector<unsigned char>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(value >> (24 - 8 * i)));
}
void put64(std::vector<unsigned char>& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>(value >> (56 - 8 * i)));
}
std::uint16_t get16(const unsigned char* at) {
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}
std::uint32_t get32(const unsigned char* at) {
    return std::uint32_t(at[0]) << 24 | std::uint32_t(at[1]) << 16 | std::uint32_t(at[2]) << 8 |
           at[3];
}
std::uint64_t get64(const unsigned char* at) {
    return std::uint64_t(get32(at)) << 32 | get32(at + 4);
}
constexpr std::uint32_t typeOf(std::uint16_t number) {
    return (std::uint32_t(number) << 16) | (0xFFFFu - number);
}

int listenAt(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 128) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Waits up to ms for a connection on a listening socket.
int acceptWithin(int listener, int ms) {
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, ms) <= 0 || !(waiting.revents & POLLIN)) return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

bool sendRecord(int fd, const std::vector<unsigned char>& bytes) {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Reads one request, payload arriving in one or more further records.
bool readRequest(int fd, FakeFccServer::Request& request) {
    std::vector<unsigned char> record(RECORD_LIMIT);
    std::vector<unsigned char> whole;
    for (;;) {
        const ssize_t got = recv(fd, record.data(), record.size(), 0);
        if (got <= 0) return false;
        request.records.emplace_back(record.begin(), record.begin() + got);
        whole.insert(whole.end(), record.begin(), record.begin() + got);
        if (whole.size() >= HEADER && whole.size() >= HEADER + get32(whole.data() + 8)) break;
    }
    request.sequence = get16(whole.data() + 2);
    request.messageType = get32(whole.data() + 4);
    request.payload.assign(whole.begin() + HEADER, whole.end());
    return true;
}

}  // namespace

Quillomark::Fcc::FMSC_OPEN_PARAMS FakeFccServer::describedCache() {
    // Absolute, so that the client finds it whatever its current folder.
    static const std::string folder = Platform::Os::absolutePath("fms-cache");
    Quillomark::Fcc::FMSC_OPEN_PARAMS params;
    params.folder = folder.c_str();
    params.name = "fms";
    params.maxFilePages = 1024;
    params.segments = 16;
    params.hashBlockPages = 8;
    params.megabytesPerExtentFile = 32;
    params.extentFiles = 2;
    params.create = 1;
    params.deleteFiles = 1;
    params.mode = Quillomark::Fcc::FMSC_MODE_SHARING_SERVER;
    return params;
}

void FakeFccServer::describeCacheFolder(const std::string& folder) {
    std::lock_guard<std::mutex> guard(mutex);
    cacheFolder = folder;
}

FakeFccServer::FakeFccServer(const std::string& masterPipeName,
                             const std::map<std::string, std::string>& knownFiles)
    : masterName(masterPipeName) {
    for (const auto& [ticket, content] : knownFiles) files[ticket] = {content, false};
    masterPath = Platform::Os::pipePath(masterPipeName);
    masterFd = listenAt(masterPath);
    if (masterFd < 0) throw std::runtime_error("cannot listen at " + masterPath);
    acceptor = runningThread([this] { acceptLoop(); });
}

FakeFccServer::~FakeFccServer() {
    stopping = true;
    releaseHeld();
    shutdown(masterFd, SHUT_RDWR);
    acceptor.join();
    std::map<int, std::thread> serving;
    {
        std::lock_guard<std::mutex> guard(mutex);
        for (const auto& client : clientFds) shutdown(client.second, SHUT_RDWR);
        serving.swap(servers);
    }
    for (auto& server : serving) server.second.join();
    joinEndedServers();
    close(masterFd);
    unlink(masterPath.c_str());
}

void FakeFccServer::addFile(const std::string& ticket, const std::string& content,
                            bool unknownSize) {
    std::lock_guard<std::mutex> guard(mutex);
    files[ticket] = {content, unknownSize};
}

void FakeFccServer::injectFault(std::uint16_t message, Fault fault) {
    std::lock_guard<std::mutex> guard(mutex);
    faults.emplace(message, fault);
}

void FakeFccServer::setErrorReply(std::int32_t code, const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex);
    errorCode = code;
    errorText = text;
}

void FakeFccServer::setChunkSize(std::size_t bytes) {
    std::lock_guard<std::mutex> guard(mutex);
    chunkSize = bytes;
}

void FakeFccServer::setProgressReports(int reports) {
    std::lock_guard<std::mutex> guard(mutex);
    progressReports = reports;
}

void FakeFccServer::setIgnoreStop(bool ignore) {
    std::lock_guard<std::mutex> guard(mutex);
    ignoreStop = ignore;
}

void FakeFccServer::setInvalidCacheInfoField(int field) {
    std::lock_guard<std::mutex> guard(mutex);
    invalidCacheInfoField = field;
}

void FakeFccServer::setHandlesPerConnection(bool perConnection) {
    std::lock_guard<std::mutex> guard(mutex);
    handlesPerConnection = perConnection;
}

void FakeFccServer::setKeepRequests(bool keep) {
    std::lock_guard<std::mutex> guard(mutex);
    keepRequests = keep;
}

bool FakeFccServer::waitUntilHolding(int requests, int ms) {
    std::unique_lock<std::mutex> lock(mutex);
    return heldChanged.wait_for(lock, std::chrono::milliseconds(ms),
                                [&] { return holding >= requests; });
}

void FakeFccServer::releaseHeld() {
    {
        std::lock_guard<std::mutex> guard(mutex);
        heldReleased = true;
    }
    heldChanged.notify_all();
}

int FakeFccServer::strayHandles() const {
    std::lock_guard<std::mutex> guard(mutex);
    return stray;
}

std::vector<FakeFccServer::Request> FakeFccServer::requests() const {
    std::lock_guard<std::mutex> guard(mutex);
    return received;
}

std::vector<FakeFccServer::Request> FakeFccServer::requestsOf(std::uint16_t message) const {
    std::vector<Request> found;
    for (const Request& request : requests()) {
        if (request.messageType == typeOf(message)) found.push_back(request);
    }
    return found;
}

std::vector<std::string> FakeFccServer::rolledBack() const {
    std::lock_guard<std::mutex> guard(mutex);
    return rollbacks;
}

int FakeFccServer::uploadsMade() const {
    std::lock_guard<std::mutex> guard(mutex);
    return uploads;
}

bool FakeFccServer::takeFault(std::uint16_t message, Fault& fault) {
    std::lock_guard<std::mutex> guard(mutex);
    auto found = faults.find(message);
    if (found == faults.end()) return false;
    fault = found->second;
    faults.erase(found);
    return true;
}

void FakeFccServer::joinEndedServers() {
    std::vector<std::thread> ended;
    {
        std::lock_guard<std::mutex> guard(mutex);
        ended.swap(endedServers);
    }
    for (auto& server : ended) server.join();
}

void FakeFccServer::acceptLoop() {
    while (!stopping) {
        joinEndedServers();
        const int master = accept4(masterFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (master < 0) {
            if (stopping) return;
            continue;
        }
        std::string name;
        {
            std::lock_guard<std::mutex> guard(mutex);
            name =
                masterName + "." + std::to_string(getpid()) + "." + std::to_string(nextSecondary++);
        }
        const std::string path = Platform::Os::pipePath(name);
        const int listener = listenAt(path);
        std::vector<unsigned char> message(name.begin(), name.end());
        message.push_back('\0');
        sendRecord(master, message);
        close(master);
        const int client = listener < 0 ? -1 : acceptWithin(listener, secondaryConnectWait);
        if (listener >= 0) close(listener);
        unlink(path.c_str());
        if (client < 0) continue;
        const int connection = ++accepted;
        std::lock_guard<std::mutex> guard(mutex);
        clientFds[connection] = client;
        servers[connection] =
            std::thread([this, client, connection] { serve(client, connection); });
    }
}

void FakeFccServer::serve(int fd, int connection) {
    // A process that the test forks while the thread waits for a request
    // has the thread's buffer on no stack, and would report it as leaked
    // when it exits.
    const LeaksUncounted uncounted;
    for (;;) {
        Request request;
        request.connection = connection;
        if (!readRequest(fd, request)) break;
        keep(request);
        if (!handle(fd, request)) break;
    }
    std::lock_guard<std::mutex> guard(mutex);
    ++closed;
    // The destructor may be shutting the socket down: it is closed, and its
    // number freed for reuse, only under the lock that the destructor holds.
    clientFds.erase(connection);
    close(fd);
    const auto self = servers.find(connection);
    if (self != servers.end()) {
        endedServers.push_back(std::move(self->second));
        servers.erase(self);
    }
}

void FakeFccServer::keep(const Request& request) {
    std::lock_guard<std::mutex> guard(mutex);
    if (keepRequests) received.push_back(request);
}

bool FakeFccServer::handle(int fd, const Request& request) {
    const std::uint16_t message = static_cast<std::uint16_t>(request.messageType >> 16);
    Fault fault{};
    const bool faulty = takeFault(message, fault);
    const std::vector<unsigned char>& in = request.payload;

    // Sends one reply, with the fault (when there is one) worked in.
    bool faultPending = faulty;
    auto reply = [&](std::uint8_t typeId, std::vector<unsigned char> payload) {
        std::uint8_t direction = 2;
        std::uint16_t sequence = request.sequence;
        std::uint32_t type = request.messageType;
        std::uint32_t length = static_cast<std::uint32_t>(payload.size());
        if (faultPending) {
            faultPending = false;
            switch (fault) {
                case Fault::WrongSequence: ++sequence; break;
                case Fault::WrongMessageType: ++type; break;
                case Fault::WrongTypeId: typeId = 7; break;
                case Fault::WrongDirection: direction = 3; break;
                case Fault::HugeLength:
                    length = 16397;
                    payload.resize(length);
                    break;
                case Fault::ProgressInstead:
                    typeId = 3;
                    payload.assign(16, 0);
                    length = 16;
                    break;
                case Fault::EndOfDataInstead:
                    typeId = 2;
                    payload.clear();
                    length = 0;
                    break;
                case Fault::Disconnect: return false;
                default: faultPending = true; break;  // handled by the caller
            }
        }
        std::vector<unsigned char> out{direction, typeId};
        put16(out, sequence);
        put32(out, type);
        put32(out, length);
        out.insert(out.end(), payload.begin(), payload.end());
        return sendRecord(fd, out);
    };
    // An error reply with that code and text.
    auto errorReplyOf = [&](std::int32_t code, const std::string& text) {
        std::vector<unsigned char> payload;
        put32(payload, static_cast<std::uint32_t>(code));
        put32(payload, 0);
        payload.insert(payload.end(), text.begin(), text.end());
        payload.push_back('\0');
        faultPending = false;
        return reply(1, payload);
    };
    // An error reply with the scripted code and text.
    auto scriptedErrorReply = [&] {
        std::int32_t code;
        std::string text;
        {
            std::lock_guard<std::mutex> guard(mutex);
            code = errorCode;
            text = errorText;
        }
        return errorReplyOf(code, text);
    };
    auto stringReply = [&](const std::string& text) {
        std::vector<unsigned char> payload;
        const bool shortString = faultPending && fault == Fault::ShortString;
        put16(payload, static_cast<std::uint16_t>(text.size() + (shortString ? 5 : 0)));
        payload.insert(payload.end(), text.begin(), text.end());
        if (shortString) faultPending = false;
        return reply(0, payload);
    };
    if (faulty && fault == Fault::Silent) return true;
    if (faulty && fault == Fault::Hold) {
        std::unique_lock<std::mutex> lock(mutex);
        ++holding;
        heldChanged.notify_all();
        heldChanged.wait(lock, [&] { return heldReleased; });
        --holding;
        faultPending = false;
    }
    if (faulty && fault == Fault::ErrorReply) return scriptedErrorReply();
    if (faulty && fault == Fault::RefuseVersion) return errorReplyOf(100, "version not supported");

    // Reports progress and reads the client's status after each: false when
    // the connection ends there (the client went away or broke the
    // handshake); goOn false when the client stopped the transfer.
    auto progress = [&](std::int64_t total, bool& goOn) {
        int reports;
        bool ignoring;
        {
            std::lock_guard<std::mutex> guard(mutex);
            reports = progressReports;
            ignoring = ignoreStop;
        }
        goOn = true;
        for (int i = 1; i <= reports; ++i) {
            std::vector<unsigned char> payload;
            put64(payload, static_cast<std::uint64_t>(total * i / reports));
            put64(payload, static_cast<std::uint64_t>(total));
            if (!reply(3, payload)) return false;
            Request status;
            if (!readRequest(fd, status)) return false;
            keep(status);
            // Anything but a status with its 4-byte code breaks the
            // handshake: the connection is dropped.
            if (status.messageType != typeOf(10) || status.payload.size() < 4) return false;
            const auto code = static_cast<std::int32_t>(get32(status.payload.data()));
            if (code != 0 && !ignoring) {
                goOn = false;
                return errorReplyOf(code, code == -3016 ? "transfer cancelled" : "transfer failed");
            }
        }
        return true;
    };
    // Handles of this connection, or of all when they are shared.
    auto handleKey = [&](std::uint16_t handle) {
        return std::make_pair(handlesPerConnection ? request.connection : 0, handle);
    };
    auto contentOf = [&](std::uint16_t handle, std::string& content) {
        std::lock_guard<std::mutex> guard(mutex);
        auto opened = openedTickets.find(handleKey(handle));
        if (opened == openedTickets.end() || opened->second.empty()) {
            if (handlesPerConnection) ++stray;
            return false;
        }
        auto file = files.find(opened->second.back());
        if (file == files.end()) return false;
        content = file->second.first;
        return true;
    };

    switch (message) {
        case 1: {  // open
            const std::string ticket(reinterpret_cast<const char*>(in.data()),
                                     strnlen(reinterpret_cast<const char*>(in.data()), in.size()));
            std::int64_t size;
            std::uint16_t handle;
            {
                std::lock_guard<std::mutex> guard(mutex);
                auto file = files.find(ticket);
                if (file == files.end())
                    size = -2;
                else
                    size = file->second.second ? -1 : std::int64_t(file->second.first.size());
                std::uint16_t& next = nextHandle[handleKey(0).first];
                if (next == 0) next = 1;
                handle = next++;
                if (next == 0xFFFF) next = 1;
                if (size != -2) openedTickets[handleKey(handle)].push_back(ticket);
            }
            if (size == -2) return scriptedErrorReply();
            if (faultPending && fault == Fault::NotOpenHandle) {
                handle = 0xFFFF;
                faultPending = false;
            }
            std::vector<unsigned char> payload;
            put16(payload, handle);
            put64(payload, static_cast<std::uint64_t>(size));
            return reply(0, payload);
        }
        case 2: {  // size
            std::string content;
            if (!contentOf(get16(in.data()), content)) return scriptedErrorReply();
            std::vector<unsigned char> payload;
            put64(payload, content.size());
            return reply(0, payload);
        }
        case 3: {  // data
            std::string content;
            if (!contentOf(get16(in.data()), content)) return scriptedErrorReply();
            const std::uint64_t offset = get64(in.data() + 2);
            std::uint64_t left = get32(in.data() + 10);
            std::size_t chunk;
            {
                std::lock_guard<std::mutex> guard(mutex);
                chunk = chunkSize;
            }
            std::uint64_t at = offset;
            while (left > 0 && at < content.size()) {
                std::uint64_t length = std::min<std::uint64_t>(
                    {left, std::uint64_t(chunk), std::uint64_t(content.size() - at)});
                std::vector<unsigned char> payload;
                std::uint64_t claimedOffset = at;
                std::uint32_t claimedLength = static_cast<std::uint32_t>(length);
                std::string data = content.substr(at, length);
                if (faultPending && fault == Fault::DataOffset)
                    ++claimedOffset, faultPending = false;
                if (faultPending && fault == Fault::DataLength)
                    ++claimedLength, faultPending = false;
                if (faultPending && fault == Fault::DataTooLong) {
                    data.append(8, 'x');
                    claimedLength = static_cast<std::uint32_t>(data.size());
                    faultPending = false;
                }
                put64(payload, claimedOffset);
                put32(payload, claimedLength);
                payload.insert(payload.end(), data.begin(), data.end());
                if (!reply(0, payload)) return false;
                at += length;
                left -= length;
            }
            if (left > 0) return reply(2, {});
            return true;
        }
        case 4: {  // file into the cache
            std::string content;
            if (!contentOf(get16(in.data()), content)) return scriptedErrorReply();
            bool goOn;
            if (!progress(static_cast<std::int64_t>(content.size()), goOn)) return false;
            if (!goOn) return true;
            return stringReply("cache\\files\\" + std::to_string(get16(in.data())));
        }
        case 13: {  // file into a folder
            std::string content;
            if (!contentOf(get16(in.data()), content)) return scriptedErrorReply();
            bool goOn;
            if (!progress(static_cast<std::int64_t>(content.size()), goOn)) return false;
            if (!goOn) return true;
            return reply(0, {});
        }
        case 7: {  // upload
            bool goOn;
            if (!progress(1000, goOn)) return false;
            if (!goOn) return true;
            std::string volume;
            {
                std::lock_guard<std::mutex> guard(mutex);
                volume = "VOL" + std::to_string(++uploads);
            }
            return stringReply(volume);
        }
        case 5: {  // close
            std::lock_guard<std::mutex> guard(mutex);
            if (handlesPerConnection && openedTickets.erase(handleKey(get16(in.data()))) == 0) {
                ++stray;
            }
            break;
        }
        case 8: {  // rollback
            const std::size_t length = get16(in.data() + 2);
            std::lock_guard<std::mutex> guard(mutex);
            if (keepRequests)
                rollbacks.emplace_back(reinterpret_cast<const char*>(in.data()) + 4, length);
            break;
        }
        case 12: {  // localize
            const std::string text(reinterpret_cast<const char*>(in.data()),
                                   strnlen(reinterpret_cast<const char*>(in.data()), in.size()));
            return stringReply("[de] " + text);
        }
        case 14: {  // cache information
            int invalid;
            {
                std::lock_guard<std::mutex> guard(mutex);
                invalid = invalidCacheInfoField;
            }
            const Quillomark::Fcc::FMSC_OPEN_PARAMS described = describedCache();
            std::string folder = described.folder;
            {
                std::lock_guard<std::mutex> guard(mutex);
                if (!cacheFolder.empty()) folder = cacheFolder;
            }
            std::replace(folder.begin(), folder.end(), '/', '\\');
            const std::string name = described.name;
            std::int32_t numbers[] = {described.maxFilePages, described.segments,
                                      described.hashBlockPages, described.megabytesPerExtentFile,
                                      described.extentFiles};
            std::uint16_t lengths[] = {static_cast<std::uint16_t>(folder.size()),
                                       static_cast<std::uint16_t>(name.size())};
            if (invalid >= 0 && invalid < 5) numbers[invalid] = invalid < 3 ? 0 : -1;
            if (invalid == 5) lengths[0] = 0;
            if (invalid == 6) lengths[1] = 200;
            std::vector<unsigned char> payload;
            for (std::int32_t number : numbers) put32(payload, static_cast<std::uint32_t>(number));
            put16(payload, lengths[0]);
            put16(payload, lengths[1]);
            payload.insert(payload.end(), folder.begin(), folder.end());
            payload.insert(payload.end(), name.begin(), name.end());
            return reply(0, payload);
        }
        default: break;  // version, close, echo, read-ahead, locale, clear cache
    }
    return reply(0, {});
}

}  // namespace Quillomark::Testing
