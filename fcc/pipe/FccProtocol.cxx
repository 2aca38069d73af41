// The message exchanges with the local file-cache server.

#include <fcc/internal/FccErrors.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccTiming.hxx>

#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/Time.hxx>

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace Quillomark::Fcc {

namespace {

// ---- Byte packing (every field big-endian, most of them unaligned) --------

void put16(unsigned char* at, std::uint16_t value) {
    at[0] = static_cast<unsigned char>(value >> 8);
    at[1] = static_cast<unsigned char>(value);
}

void put32(unsigned char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

void put64(unsigned char* at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<unsigned char>(value >> (56 - 8 * i));
}

std::uint16_t get16(const unsigned char* at) {
    return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

std::uint32_t get32(const unsigned char* at) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | at[i];
    return value;
}

std::uint64_t get64(const unsigned char* at) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | at[i];
    return value;
}

// ---- Message layouts --------------------------------------------------------
// A message is a 12-byte header and its payload. Every offset below counts
// from the start of the message, header included; each layout ends at END.

// The header of every request and reply.
constexpr std::size_t AT_DIRECTION = 0;     // u8: FCC_REQUEST or FCC_REPLY
constexpr std::size_t AT_TYPE_ID = 1;       // u8: a reply's FccReplyType, 0 in requests
constexpr std::size_t AT_SEQUENCE = 2;      // u16: the request's number
constexpr std::size_t AT_MESSAGE_TYPE = 4;  // u32: fccMessageType of the message
constexpr std::size_t AT_LENGTH = 8;        // u32: bytes of payload
constexpr std::size_t AT_PAYLOAD = 12;

// A policy travels as its first three characters, NUL-padded.
constexpr std::size_t POLICY_SIZE = 3;

// FMS_VERSION_CHECK request: the client's protocol version.
namespace VersionRequest {
constexpr std::size_t VERSION = AT_PAYLOAD;  // 4 bytes: 0A 00 00 0A
constexpr std::size_t END = VERSION + 4;
}  // namespace VersionRequest

// FMS_OPEN_MSG request: the header alone, then the whole ticket with its
// NUL as a second message. Its result reply:
namespace OpenReply {
constexpr std::size_t HANDLE = AT_PAYLOAD;  // u16: the server handle
constexpr std::size_t SIZE = HANDLE + 2;    // i64: the file size, negative while unknown
constexpr std::size_t END = SIZE + 8;
}  // namespace OpenReply

// FMS_GET_SIZE_MSG and FMS_CLOSE_MSG requests: the server handle alone.
namespace HandleRequest {
constexpr std::size_t HANDLE = AT_PAYLOAD;  // u16
constexpr std::size_t END = HANDLE + 2;
}  // namespace HandleRequest

// FMS_GET_SIZE_MSG result reply.
namespace SizeReply {
constexpr std::size_t SIZE = AT_PAYLOAD;  // i64
constexpr std::size_t END = SIZE + 8;
}  // namespace SizeReply

// FMS_GET_DATA_MSG and FMS_READ_AHEAD_MSG requests: a range of the file.
namespace RangeRequest {
constexpr std::size_t HANDLE = AT_PAYLOAD;  // u16
constexpr std::size_t OFFSET = HANDLE + 2;  // u64: the range's first byte
constexpr std::size_t COUNT = OFFSET + 8;   // u32: its length
constexpr std::size_t POLICY = COUNT + 4;   // POLICY_SIZE bytes
constexpr std::size_t END = POLICY + POLICY_SIZE;
}  // namespace RangeRequest

// FMS_GET_DATA_MSG result reply: one piece of the range, several per
// request; an end-of-data reply ends a range that runs past the file.
namespace DataReply {
constexpr std::size_t OFFSET = AT_PAYLOAD;  // u64: the piece's first byte
constexpr std::size_t LENGTH = OFFSET + 8;  // u32: its length, the rest of the payload
constexpr std::size_t DATA = LENGTH + 4;
}  // namespace DataReply

// FMS_GET_FILE_MSG request; FMS_GET_LOCATION_MSG's adds the target path
// (with its NUL) after the policy.
namespace FileRequest {
constexpr std::size_t HANDLE = AT_PAYLOAD;  // u16
constexpr std::size_t POLICY = HANDLE + 2;  // POLICY_SIZE bytes
constexpr std::size_t END = POLICY + POLICY_SIZE;
constexpr std::size_t TARGET = END;  // FMS_GET_LOCATION_MSG only
}  // namespace FileRequest

// FMS_UPLOAD_MSG and FMS_ROLLBACK_MSG requests: the server handle and the
// length of a string (the local path, the volume ID) that follows without
// its NUL as a second message.
namespace CountedRequest {
constexpr std::size_t HANDLE = AT_PAYLOAD;  // u16
constexpr std::size_t LENGTH = HANDLE + 2;  // u16
constexpr std::size_t END = LENGTH + 2;
}  // namespace CountedRequest

// Result replies that carry a string: the cached file's path
// (FMS_GET_FILE_MSG), the volume ID (FMS_UPLOAD_MSG), the translated text
// (FMS_LOCALIZE_MSG). The string has no NUL.
namespace StringReply {
constexpr std::size_t LENGTH = AT_PAYLOAD;  // u16: at least 1
constexpr std::size_t TEXT = LENGTH + 2;
}  // namespace StringReply

// FMS_STATUS_MSG request: the answer to a progress report.
namespace StatusRequest {
constexpr std::size_t STATUS = AT_PAYLOAD;  // i32: 0 go on, else why to stop
constexpr std::size_t END = STATUS + 4;
}  // namespace StatusRequest

// Progress reply of a file, location or upload exchange.
namespace ProgressReply {
constexpr std::size_t DONE = AT_PAYLOAD;  // i64: bytes moved so far
constexpr std::size_t TOTAL = DONE + 8;   // i64: bytes in all
constexpr std::size_t END = TOTAL + 8;
}  // namespace ProgressReply

// Error reply of any exchange.
namespace ErrorReply {
constexpr std::size_t CODE = AT_PAYLOAD;    // i32: of either sign
constexpr std::size_t RESERVED = CODE + 4;  // u32: not read
constexpr std::size_t TEXT = RESERVED + 4;  // up to its NUL or the end of the message
}  // namespace ErrorReply

// FMS_GET_CACHE_INIT_INFO result reply: the fast cache's sizing and the
// two strings (without NULs) after it.
namespace CacheInfoReply {
constexpr std::size_t FILE_PAGES = AT_PAYLOAD;            // i32
constexpr std::size_t SEGMENTS = FILE_PAGES + 4;          // i32
constexpr std::size_t HASH_BLOCK_PAGES = SEGMENTS + 4;    // i32
constexpr std::size_t MB_EXTENTS = HASH_BLOCK_PAGES + 4;  // i32
constexpr std::size_t EXTENTS = MB_EXTENTS + 4;           // i32
constexpr std::size_t FOLDER_LENGTH = EXTENTS + 4;        // u16
constexpr std::size_t NAME_LENGTH = FOLDER_LENGTH + 2;    // u16
constexpr std::size_t STRINGS = NAME_LENGTH + 2;          // the folder, then the map name
}  // namespace CacheInfoReply

// FMS_ECHO_MSG, FMS_GET_CACHE_INIT_INFO and FMS_CLEAR_CACHE_MSG requests are
// the header alone; FMS_LOCALE_MSG and FMS_LOCALIZE_MSG requests are the
// header, then the string with its NUL as a second message. Replies that
// report success alone have no payload.

static_assert(AT_PAYLOAD == FCC_HEADER_SIZE, "header layout");
static_assert(FCC_MAX_PAYLOAD == 16396, "reply buffer layout");
static_assert(OpenReply::END - AT_PAYLOAD == 10, "open reply layout");
static_assert(RangeRequest::END - AT_PAYLOAD == 17, "range request layout");
static_assert(DataReply::DATA - AT_PAYLOAD == 12, "data reply layout");
static_assert(FileRequest::END - AT_PAYLOAD == 5, "file request layout");
static_assert(ErrorReply::TEXT == 20, "error reply layout");
static_assert(ProgressReply::END - AT_PAYLOAD == 16, "progress reply layout");
static_assert(CacheInfoReply::STRINGS - AT_PAYLOAD == 24, "cache information layout");

// The payload length of a request that ends at end.
constexpr std::uint32_t payloadUpTo(std::size_t end) {
    return static_cast<std::uint32_t>(end - AT_PAYLOAD);
}

// How an exchange checks its replies.
enum class Checks {
    SequenceFirst,  // -3011 for the sequence, -3012 for the message type
    TypeFirst,      // the same codes, the message type checked first
    Lenient         // message type first; -3002 for either
};

// How long an exchange waits for each reply: a set-up exchange gives up on
// a silent server; the others wait as long as the server takes.
enum class Wait { AsLongAsItTakes, SetUp };

// Closes a server handle over the calling thread's pipe, waiting for the
// answer as an exchange of that wait does (until the deadline when one is
// given).
int closeHandle(std::uint16_t serverHandle, Wait wait = Wait::AsLongAsItTakes,
                std::int64_t deadline = 0);

const char* sentLabel(FccMessage message) {
    switch (message) {
        case FMS_OPEN_MSG: return "OPEN";
        case FMS_GET_SIZE_MSG: return "SIZE";
        case FMS_GET_DATA_MSG: return "READ";
        case FMS_GET_FILE_MSG: return "FILE";
        case FMS_CLOSE_MSG: return "CLOSE";
        case FMS_ECHO_MSG: return "ECHO";
        case FMS_UPLOAD_MSG: return "UPLOAD";
        case FMS_ROLLBACK_MSG: return "ROLLBACK";
        case FMS_READ_AHEAD_MSG: return "READ AHEAD";
        case FMS_STATUS_MSG: return "STATUS";
        case FMS_LOCALE_MSG: return "LOCALE";
        case FMS_LOCALIZE_MSG: return "LOCALIZE";
        case FMS_GET_LOCATION_MSG: return "LOCATION";
        case FMS_GET_CACHE_INIT_INFO: return "GET_CACHE_INIT_INFO";
        case FMS_VERSION_CHECK: return "VERSION CHECK";
        case FMS_CLEAR_CACHE_MSG: return "CLEAR CACHE";
    }
    return "";
}

const char* messageName(FccMessage message) {
    switch (message) {
        case FMS_OPEN_MSG: return "FMS_OPEN_MSG";
        case FMS_GET_SIZE_MSG: return "FMS_GET_SIZE_MSG";
        case FMS_GET_DATA_MSG: return "FMS_GET_DATA_MSG";
        case FMS_GET_FILE_MSG: return "FMS_GET_FILE_MSG";
        case FMS_CLOSE_MSG: return "FMS_CLOSE_MSG";
        case FMS_ECHO_MSG: return "FMS_ECHO_MSG";
        case FMS_UPLOAD_MSG: return "FMS_UPLOAD_MSG";
        case FMS_ROLLBACK_MSG: return "FMS_ROLLBACK_MSG";
        case FMS_READ_AHEAD_MSG: return "FMS_READ_AHEAD_MSG";
        case FMS_STATUS_MSG: return "FMS_STATUS_MSG";
        case FMS_LOCALE_MSG: return "FMS_LOCALE_MSG";
        case FMS_LOCALIZE_MSG: return "FMS_LOCALIZE_MSG";
        case FMS_GET_LOCATION_MSG: return "FMS_GET_LOCATION_MSG";
        case FMS_GET_CACHE_INIT_INFO: return "FMS_GET_CACHE_INIT_INFO";
        case FMS_VERSION_CHECK: return "FMS_VERSION_CHECK";
        case FMS_CLEAR_CACHE_MSG: return "FMS_CLEAR_CACHE_MSG";
    }
    return "";
}

// Copies the first three characters of a policy, NUL-padded when shorter.
void putPolicy(unsigned char* at, const char* policy) {
    const std::size_t length = policy ? strnlen(policy, POLICY_SIZE) : 0;
    std::memset(at, 0, POLICY_SIZE);
    if (length) std::memcpy(at, policy, length);
}

// Turns the server's "\" separators into ours, in place.
void localSeparators(char* path) {
    for (; *path; ++path) {
        if (*path == '\\') *path = '/';
    }
}

// How a transfer answers the server's progress reports.
struct ProgressReports {
    const char* context;  // the ticket handle, handed to the callback
    std::int64_t& size;   // the file's size: learned from a report while unknown
    FccProgressCallback callback;
    void* callbackData;
    // The status that stopped the transfer (a cancel, or the callback's
    // negative result), 0 while it goes on: once set, it is the transfer's
    // end whatever the server answers.
    std::int32_t stop = 0;
};

// One exchange on the calling thread's record, which it holds throughout
// (the idle monitor leaves a held record alone).
class Exchange {
public:
    Exchange(FccMessage message, Checks checks, Wait wait = Wait::AsLongAsItTakes,
             std::int64_t deadline = 0)
        : message(message), checks(checks), wait(wait), deadline(deadline) {}
    ~Exchange() {
        if (running) record->exchanging = false;
    }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // Takes the record and, with connect, connects a closed pipe. Server
    // handles that other threads handed back are closed first, within this
    // exchange's own wait: a bounded exchange stays bounded. A thread
    // whose pipe is in the middle of another exchange (this one is called
    // from its progress callback) is refused, and nothing is sent.
    int begin(bool connect = true) {
        record = FccGetThreadConnection();
        if (!record) return record.status();
        if (record->exchanging) {
            fccTrace("%s refused: the thread's pipe is in the middle of another exchange.\n",
                     messageName(message));
            return ERR_FMSCP_NOT_SUPPORTED;
        }
        if (!record->pipe.isOpen()) {
            if (!connect) return ERR_FMSCP_NO_CACHE;
            FccConnectProxyLocked(record.get());
            if (!record->pipe.isOpen()) return ERR_FMSCP_NO_CACHE;
        }
        const std::uint32_t generation = record->pipeGeneration;
        for (const std::uint16_t handedOver : record->takeHandedOver()) {
            // A pipe that closed meanwhile took the rest along.
            if (record->pipeGeneration != generation) break;
            closeHandle(handedOver, wait, deadline);
        }
        if (!record->pipe.isOpen()) return ERR_FMSCP_NO_CACHE;
        record->exchanging = running = true;
        return 0;
    }

    FccConnection& connection() { return *record; }
    unsigned char* request() { return record->requestBuffer; }
    const unsigned char* reply() const { return record->replyBuffer; }
    std::uint8_t replyType() const { return reply()[AT_TYPE_ID]; }
    std::size_t payload() const { return replyPayload; }
    // Whether the reply reaches at least up to offset end.
    bool holds(std::size_t end) const { return AT_PAYLOAD + replyPayload >= end; }

    // Fills the request header and numbers the request.
    void header(std::uint32_t payloadLength) {
        writeHeader(FCC_REQUEST, message, record->sequence, payloadLength);
        ++record->sequence;
    }

    // Sends count bytes from data as one message; on success traces
    // "<count> byte <what> sent to FCC".
    int send(const void* data, std::size_t count, const char* what) {
        const int sent = FccSendRequest(record.get(), data, count);
        if (sent < 0) return sent;
        fccTrace("%ld byte %s %s sent to FCC\n", static_cast<long>(sent), sentLabel(message), what);
        return 0;
    }

    // A status for a progress report, numbered as the replies of this
    // exchange are (the counter does not move).
    int sendStatus(std::int32_t status) {
        writeHeader(FCC_REQUEST, FMS_STATUS_MSG, record->sequence, payloadUpTo(StatusRequest::END));
        put32(request() + StatusRequest::STATUS, static_cast<std::uint32_t>(status));
        const int sent = FccSendRequest(record.get(), request(), StatusRequest::END);
        if (sent < 0) return sent;
        if (status == 0) {
            fccTrace("%ld byte STATUS: CONTINUE request sent to FCC\n", static_cast<long>(sent));
        } else if (status == ERR_FMSCP_CANCELLED) {
            fccTrace("%ld byte STATUS: CANCEL request sent to FCC\n", static_cast<long>(sent));
        } else {
            fccTrace("%ld byte STATUS: FAIL (%d) request sent to FCC\n", static_cast<long>(sent),
                     status);
        }
        return 0;
    }

    // Reads the next reply whole and checks it against the request: 0, or
    // the status that ends the exchange.
    int receive() {
        const int read = readReply();
        return read != 0 ? read : check();
    }

    // An error reply: its code (a positive code negated, 0 becoming
    // ERR_FMSCP_BAD_FILE) and its text as the thread's last error.
    int errorReply() {
        if (!holds(ErrorReply::RESERVED)) return ERR_FMSCP_BAD_ARG;  // the code at least
        auto code = static_cast<std::int32_t>(get32(reply() + ErrorReply::CODE));
        if (code > 0) code = -code;
        if (code == 0) code = ERR_FMSCP_BAD_FILE;
        // The text ends at its NUL or at the end of the message. It is
        // recorded without an allocation that could throw: the reply may
        // end the close that a destructor runs, or termination.
        const std::size_t end = AT_PAYLOAD + replyPayload;
        const char* text = "";
        std::size_t length = 0;
        if (end > ErrorReply::TEXT) {
            text = reinterpret_cast<const char*>(reply()) + ErrorReply::TEXT;
            length = strnlen(text, end - ErrorReply::TEXT);
        }
        fccTrace("ERROR REPLY: %ld %.*s\n", static_cast<long>(code), static_cast<int>(length),
                 text);
        FccSetLastErrorText(text, length);
        return code;
    }

    // A reply of a type the exchange does not expect.
    int unexpected() {
        fccTrace("MESSAGE ERROR: Invalid typeID %d\n", replyType());
        return outOfStep(ERR_FMSCP_UNKNOWN);
    }

    // A reply that does not fit the request leaves the pipe out of step
    // with the server: replies still on their way would meet the next
    // request. The pipe is closed, so that the next exchange starts on a
    // fresh one.
    int outOfStep(int code) {
        FccCloseProxy(*record);
        return code;
    }

    // The progress handshake: asks the callback and answers with a status.
    int answerProgress(ProgressReports& reports) {
        if (!holds(ProgressReply::END)) return ERR_FMSCP_BAD_ARG;
        if (reports.stop != 0) {
            // The server reports on as though it had not been told to stop:
            // it is out of step with the transfer, which ends here without
            // asking the callback again.
            fccTrace("MESSAGE ERROR: Progress after STATUS %d (%s)\n",
                     static_cast<int>(reports.stop), messageName(message));
            return outOfStep(reports.stop);
        }
        const auto done = static_cast<std::int64_t>(get64(reply() + ProgressReply::DONE));
        const auto total = static_cast<std::int64_t>(get64(reply() + ProgressReply::TOTAL));
        if (reports.size < 0) reports.size = total;
        std::int32_t status = 0;
        if (reports.callback) {
            int go = 0;
            int result = 0;
            const unsigned forks = Platform::Os::forksSoFar();
            try {
                const CallbackErrors own(*record);
                result = reports.callback(const_cast<char*>(reports.context), reports.callbackData,
                                          done, reports.size, &go);
            } catch (...) {
                // What is no C++ exception, the unwinding of a thread
                // cancelled in the callback, goes on: no status will answer
                // the report, and the pipe goes with the transfer.
                if (!std::current_exception()) {
                    outOfStep(0);
                    throw;
                }
                // A throw stops the transfer as a cancel does; the exception
                // goes no further, through entries that a C caller calls.
                fccTrace("Progress callback threw: transfer cancelled (%s)\n",
                         messageName(message));
                go = 0;
            }
            // A child forked in the callback holds a copy of its parent's
            // pipe, in the middle of the parent's transfer: it neither
            // answers nor reads on it, and its transfer ends.
            if (Platform::Os::forksSoFar() != forks) return outOfStep(ERR_FMSCP_NO_CACHE);
            status = result < 0 ? result : go == 0 ? ERR_FMSCP_CANCELLED : 0;
        }
        reports.stop = status;
        return sendStatus(status);
    }

private:
    void writeHeader(std::uint8_t direction, std::uint16_t number, std::uint16_t sequence,
                     std::uint32_t payloadLength) {
        unsigned char* at = request();
        at[AT_DIRECTION] = direction;
        at[AT_TYPE_ID] = 0;
        put16(at + AT_SEQUENCE, sequence);
        put32(at + AT_MESSAGE_TYPE, fccMessageType(number));
        put32(at + AT_LENGTH, payloadLength);
    }

    // Waits for more of a reply when this exchange waits a bounded time:
    // 0, or ERR_FMSCP_NO_CACHE with the pipe closed when the server stayed
    // silent.
    int awaitReply() {
        if (wait == Wait::AsLongAsItTakes) return 0;
        std::uint32_t waitMs = fccTiming().setUpReplyWait;
        if (deadline != 0) waitMs = Platform::Os::millisecondsLeft(deadline, waitMs);
        if (record->pipe.waitForData(waitMs)) return 0;
        fccTrace("No reply from FCC (%s)\n", messageName(message));
        FccCloseProxy(*record);
        return ERR_FMSCP_NO_CACHE;
    }

    // Reads one whole message into the reply buffer.
    int readReply() {
        unsigned char* buffer = record->replyBuffer;
        std::size_t have = 0;
        while (have < AT_PAYLOAD) {
            if (const int silent = awaitReply()) return silent;
            const int read = FccReadPipe(*record, FCC_REPLY_BUFFER_SIZE - have, buffer + have);
            if (read < 0) return read;
            have += static_cast<std::size_t>(read);
        }
        if (buffer[AT_DIRECTION] != FCC_REPLY) {
            FccCloseProxy(*record);
            return ERR_FMSCP_BAD_ARG;
        }
        const std::uint32_t length = get32(buffer + AT_LENGTH);
        if (length > FCC_MAX_PAYLOAD) {
            // It would not fit the reply buffer.
            FccCloseProxy(*record);
            fccTrace("Pipe read buffer overflow\n");
            return ERR_FMSCP_NOT_SUPPORTED;
        }
        const std::size_t total = AT_PAYLOAD + length;
        while (have < total) {
            if (const int silent = awaitReply()) return silent;
            const int read = FccReadPipe(*record, total - have, buffer + have);
            if (read < 0) return read;
            have += static_cast<std::size_t>(read);
        }
        if (have > total) {
            // More bytes than the header announced: the stream is no
            // longer in step with the server.
            FccCloseProxy(*record);
            return ERR_FMSCP_BAD_ARG;
        }
        replyPayload = length;
        return 0;
    }

    int check() {
        const std::uint16_t sequence = get16(reply() + AT_SEQUENCE);
        const std::uint32_t type = get32(reply() + AT_MESSAGE_TYPE);
        // The counter has moved on by one since the request; compared in
        // 16 bits, so that the exchange after number 65535 passes too.
        const auto expected = static_cast<std::uint16_t>(record->sequence - 1);
        const bool sequenceOk = sequence == expected;
        const bool typeOk = type == fccMessageType(message);
        const int sequenceError =
            checks == Checks::Lenient ? ERR_FMSCP_BAD_ARG : ERR_FMSCP_SEQUENCE;
        const int typeError = checks == Checks::Lenient ? ERR_FMSCP_BAD_ARG : ERR_FMSCP_MSG_TYPE;
        if (checks == Checks::SequenceFirst) {
            if (!sequenceOk) return badSequence(sequence, expected, sequenceError);
            if (!typeOk) return badType(type, typeError);
        } else {
            if (!typeOk) return badType(type, typeError);
            if (!sequenceOk) return badSequence(sequence, expected, sequenceError);
        }
        return 0;
    }

    int badSequence(unsigned received, unsigned expected, int code) {
        fccTrace("MESSAGE ERROR: Invalid SeqNum 0x%X, expecting 0x%X (%s)\n", received, expected,
                 messageName(message));
        return outOfStep(code);
    }

    int badType(std::uint32_t received, int code) {
        fccTrace("MESSAGE ERROR: Invalid msgType %lX, expecting %X (%s)\n",
                 static_cast<unsigned long>(received), fccMessageType(message),
                 messageName(message));
        return outOfStep(code);
    }

    // The calls of a progress callback keep last errors of their own: what
    // the thread had recorded (and put aside during a batch) is the
    // transfer's again when the callback returns.
    class CallbackErrors {
    public:
        explicit CallbackErrors(FccConnection& record)
            : record(record),
              text(std::exchange(record.errorText, nullptr)),
              saved(std::exchange(record.savedErrorText, nullptr)),
              localized(record.localized) {}
        ~CallbackErrors() {
            std::free(std::exchange(record.errorText, text));
            std::free(std::exchange(record.savedErrorText, saved));
            record.localized = localized;
        }
        CallbackErrors(const CallbackErrors&) = delete;
        CallbackErrors& operator=(const CallbackErrors&) = delete;

    private:
        FccConnection& record;
        char* text;
        char* saved;
        bool localized;
    };

    FccMessage message;
    Checks checks;
    Wait wait;
    std::int64_t deadline;  // of a set-up wait; 0 for none
    FccConnectionRef record;
    bool running = false;  // begun: the record is marked as exchanging
    std::size_t replyPayload = 0;
};

// Receives the replies of an exchange up to its end, in one place. A result
// reply goes to onResult, the exchange's own part, which gives the
// exchange's result, or nothing to read on (data arriving in pieces). An
// error reply ends the exchange with its code. Progress reports are
// answered when the exchange takes them (reports given), and an end-of-data
// reply ends it through onEndOfData when it has one; any other reply is
// unexpected.
template <typename OnResult, typename OnEndOfData = std::nullptr_t>
int receiveReplies(Exchange& exchange, OnResult onResult, ProgressReports* reports = nullptr,
                   OnEndOfData onEndOfData = nullptr) {
    for (;;) {
        if (const int received = exchange.receive()) return received;
        switch (exchange.replyType()) {
            case FCC_REPLY_RESULT:
                if (const std::optional<int> result = onResult()) return *result;
                continue;
            case FCC_REPLY_ERROR: return exchange.errorReply();
            case FCC_REPLY_PROGRESS:
                if (!reports) break;
                if (const int answered = exchange.answerProgress(*reports)) return answered;
                continue;
            case FCC_REPLY_END_OF_DATA:
                if constexpr (!std::is_null_pointer_v<OnEndOfData>) return onEndOfData();
                break;
        }
        return exchange.unexpected();
    }
}

// The end of an exchange whose result reply carries nothing.
int plainResult(Exchange& exchange) {
    return receiveReplies(exchange, [] { return std::optional<int>(0); });
}

// The end of a transfer: progress reports until the result. A transfer
// that was stopped ends with the stop: the server's answer to it (an error
// reply, or a result that it sent all the same, left unread) only keeps the
// pipe in step.
template <typename OnResult>
int transferResult(Exchange& exchange, FccServerFile& file, FccProgressCallback callback,
                   void* callbackData, OnResult onResult) {
    ProgressReports reports{file.handle, file.size, callback, callbackData};
    const int status = receiveReplies(
        exchange, [&] { return std::optional<int>(reports.stop != 0 ? reports.stop : onResult()); },
        &reports);
    return reports.stop != 0 ? reports.stop : status;
}

// An exchange without payload whose reply carries nothing.
int emptyExchange(FccMessage message) {
    Exchange exchange(message, Checks::Lenient);
    if (const int begun = exchange.begin()) return begun;
    exchange.header(0);
    if (const int sent = exchange.send(exchange.request(), AT_PAYLOAD, "request")) return sent;
    return plainResult(exchange);
}

// Requests with a string after the header, sent as a second message (an
// empty string adds nothing: an empty message would read as a closed pipe).
int sendWithString(Exchange& exchange, std::size_t headerSize, const char* text, std::size_t length,
                   const char* textLabel) {
    if (const int sent = exchange.send(exchange.request(), headerSize, "request")) return sent;
    if (length == 0) return 0;
    return exchange.send(text, length, textLabel);
}

void forgetServerHandle(FccServerFile& file) {
    if (file.openedThrough) file.openedThrough->forgetOpenFile(file.openedGeneration);
    file.serverHandle = FCC_NOT_OPEN;
    file.openedThrough = nullptr;
}

// Whether the file's server handle is good on the pipe of mine (the
// calling thread's record; may be null). A handle is good only on the pipe
// that opened it: one of another thread's pipe is handed back to that pipe
// to be closed there, and the file counts as not open.
bool openOnPipeOf(FccServerFile& file, FccConnection* mine) {
    if (file.serverHandle == FCC_NOT_OPEN) return false;
    if (mine && file.openedThrough == mine && mine->pipeGeneration == file.openedGeneration) {
        return true;
    }
    if (file.openedThrough) file.openedThrough->handOver(file.serverHandle, file.openedGeneration);
    file.serverHandle = FCC_NOT_OPEN;
    file.openedThrough = nullptr;
    return false;
}

// Opens the file on the calling thread's pipe unless it is open there
// already.
int ensureOpen(FccServerFile& file) {
    {
        FccConnectionRef record = FccGetThreadConnection();
        if (!record) return record.status();
        if (openOnPipeOf(file, record.get())) return 0;
    }
    const int opened = FccOpenExchange(file);
    return opened < 0 ? opened : 0;
}

// The string of a string reply, checked against the reply's length: 0 with
// its text (in the reply buffer, no NUL) and length, or ERR_FMSCP_BAD_ARG
// with invalidFormat traced.
int replyString(const Exchange& exchange, const char* invalidFormat, const char** text,
                std::size_t* length) {
    const std::size_t counted =
        exchange.holds(StringReply::TEXT) ? get16(exchange.reply() + StringReply::LENGTH) : 0;
    if (counted < 1 || !exchange.holds(StringReply::TEXT + counted)) {
        fccTrace(invalidFormat, static_cast<int>(counted));
        return ERR_FMSCP_BAD_ARG;
    }
    *text = reinterpret_cast<const char*>(exchange.reply()) + StringReply::TEXT;
    *length = counted;
    return 0;
}

// The string of a string reply as a copy made with the pair in *copy (when
// copy is not null).
int copyReplyString(const Exchange& exchange, const char* invalidFormat, char** copy,
                    const FccAllocator& pair) {
    const char* text = nullptr;
    std::size_t length = 0;
    if (const int read = replyString(exchange, invalidFormat, &text, &length)) return read;
    if (!copy) return 0;
    *copy = pair.copy(text, length);
    return *copy ? 0 : ERR_FMSCP_OUT_OF_MEMORY;
}

// Sends a request of the file's server handle and a counted string of
// length bytes (the string as a second message), opening the file first
// when needed.
int sendCounted(Exchange& exchange, FccServerFile& file, const char* text, std::size_t length,
                const char* textLabel) {
    if (length > 0xFFFF) return ERR_FMSCP_BAD_ARG;  // beyond its length field
    if (const int opened = ensureOpen(file)) return opened;
    if (const int begun = exchange.begin()) return begun;
    exchange.header(static_cast<std::uint32_t>(payloadUpTo(CountedRequest::END) + length));
    put16(exchange.request() + CountedRequest::HANDLE, file.serverHandle);
    put16(exchange.request() + CountedRequest::LENGTH, static_cast<std::uint16_t>(length));
    return sendWithString(exchange, CountedRequest::END, text, length, textLabel);
}

// Sends a request for a range of the file (data or read-ahead).
int sendRange(Exchange& exchange, const FccServerFile& file, std::int64_t offset,
              std::uint32_t count, const char* policy) {
    exchange.header(payloadUpTo(RangeRequest::END));
    unsigned char* request = exchange.request();
    put16(request + RangeRequest::HANDLE, file.serverHandle);
    put64(request + RangeRequest::OFFSET, static_cast<std::uint64_t>(offset));
    put32(request + RangeRequest::COUNT, count);
    putPolicy(request + RangeRequest::POLICY, policy);
    return exchange.send(request, RangeRequest::END, "request");
}

int closeHandle(std::uint16_t serverHandle, Wait wait, std::int64_t deadline) {
    Exchange exchange(FMS_CLOSE_MSG, Checks::TypeFirst, wait, deadline);
    if (const int begun = exchange.begin()) return begun;
    exchange.header(payloadUpTo(HandleRequest::END));
    put16(exchange.request() + HandleRequest::HANDLE, serverHandle);
    if (const int sent = exchange.send(exchange.request(), HandleRequest::END, "request")) {
        return sent;
    }
    return plainResult(exchange);
}

}  // namespace

bool fccIsOpenOnServer(const FccServerFile& file) {
    return file.serverHandle != FCC_NOT_OPEN && file.openedThrough &&
           file.openedThrough->pipeGeneration == file.openedGeneration;
}

int FccVersionCheck(bool connect, std::int64_t deadline) {
    Exchange exchange(FMS_VERSION_CHECK, Checks::Lenient, Wait::SetUp, deadline);
    if (const int begun = exchange.begin(connect)) return begun;
    exchange.header(payloadUpTo(VersionRequest::END));
    static const unsigned char version[4] = {0x0A, 0x00, 0x00, 0x0A};
    std::memcpy(exchange.request() + VersionRequest::VERSION, version, sizeof version);
    if (const int sent = exchange.send(exchange.request(), VersionRequest::END, "request")) {
        return sent;
    }
    return plainResult(exchange);
}

int FccOpenExchange(FccServerFile& file) {
    if (!file.ticket) return ERR_FMSCP_BAD_TICKET;
    Exchange exchange(FMS_OPEN_MSG, Checks::SequenceFirst);
    if (const int begun = exchange.begin()) return begun;
    const std::size_t length = std::strlen(file.ticket) + 1;
    exchange.header(static_cast<std::uint32_t>(length));
    if (const int sent = sendWithString(exchange, AT_PAYLOAD, file.ticket, length, "ticket")) {
        return sent;
    }
    return receiveReplies(exchange, [&]() -> std::optional<int> {
        if (!exchange.holds(OpenReply::END)) return ERR_FMSCP_BAD_ARG;
        // "Not open" is no handle of an open file.
        const std::uint16_t serverHandle = get16(exchange.reply() + OpenReply::HANDLE);
        if (serverHandle == FCC_NOT_OPEN) return ERR_FMSCP_BAD_ARG;
        if (openOnPipeOf(file, &exchange.connection())) forgetServerHandle(file);
        file.serverHandle = serverHandle;
        file.size = static_cast<std::int64_t>(get64(exchange.reply() + OpenReply::SIZE));
        if (file.size < 0) file.size = -1;
        file.openedThrough = &exchange.connection();
        file.openedGeneration = exchange.connection().pipeGeneration;
        ++exchange.connection().openFiles;
        return file.serverHandle;
    });
}

std::int64_t FccSizeExchange(FccServerFile& file) {
    if (file.size >= 0) return file.size;
    if (const int opened = ensureOpen(file)) return opened;
    if (file.size >= 0) return file.size;  // the open told it
    Exchange exchange(FMS_GET_SIZE_MSG, Checks::SequenceFirst);
    if (const int begun = exchange.begin()) return begun;
    exchange.header(payloadUpTo(HandleRequest::END));
    put16(exchange.request() + HandleRequest::HANDLE, file.serverHandle);
    if (const int sent = exchange.send(exchange.request(), HandleRequest::END, "request")) {
        return sent;
    }
    const int status = receiveReplies(exchange, [&]() -> std::optional<int> {
        if (!exchange.holds(SizeReply::END)) return ERR_FMSCP_BAD_ARG;
        file.size = static_cast<std::int64_t>(get64(exchange.reply() + SizeReply::SIZE));
        return 0;
    });
    return status != 0 ? status : file.size;
}

int FccDataExchange(FccServerFile& file, const char* policy, void* destination, int wanted,
                    int delivered) {
    if (delivered >= wanted) return delivered;
    if (delivered < 0 || !destination) return ERR_FMSCP_BAD_ARG;
    if (const int opened = ensureOpen(file)) return opened;
    Exchange exchange(FMS_GET_DATA_MSG, Checks::SequenceFirst);
    if (const int begun = exchange.begin()) return begun;
    if (const int sent = sendRange(exchange, file, file.position + delivered,
                                   static_cast<std::uint32_t>(wanted - delivered), policy)) {
        return sent;
    }
    auto* bytes = static_cast<unsigned char*>(destination);
    const auto piece = [&]() -> std::optional<int> {
        if (!exchange.holds(DataReply::DATA)) return ERR_FMSCP_BAD_ARG;
        const auto offset = static_cast<std::int64_t>(get64(exchange.reply() + DataReply::OFFSET));
        const std::int64_t expectedOffset = file.position + delivered;
        if (offset != expectedOffset) {
            fccTrace("MESSAGE ERROR: Invalid offset %" PRId64 ", expected %" PRId64 "\n", offset,
                     expectedOffset);
            return exchange.outOfStep(ERR_FMSCP_SEQUENCE);
        }
        const std::uint32_t length = get32(exchange.reply() + DataReply::LENGTH);
        const std::size_t carried = AT_PAYLOAD + exchange.payload() - DataReply::DATA;
        if (length != carried) {
            fccTrace("MESSAGE ERROR: Invalid length %ld, expected %ld\n", static_cast<long>(length),
                     static_cast<long>(carried));
            return exchange.outOfStep(ERR_FMSCP_MSG_DATA);
        }
        // More than was asked for has no place in the caller's buffer.
        if (length > static_cast<std::uint32_t>(wanted - delivered)) {
            fccTrace("MESSAGE ERROR: Invalid length %ld, expected %ld\n", static_cast<long>(length),
                     static_cast<long>(wanted - delivered));
            return exchange.outOfStep(ERR_FMSCP_MSG_DATA);
        }
        std::memcpy(bytes + delivered, exchange.reply() + DataReply::DATA, length);
        delivered += static_cast<int>(length);
        if (delivered >= wanted) return delivered;
        return std::nullopt;
    };
    return receiveReplies(exchange, piece, nullptr, [&] { return delivered; });
}

int FccFileExchange(FccServerFile& file, char** path, const char* policy,
                    FccProgressCallback callback, void* callbackData) {
    if (const int opened = ensureOpen(file)) return opened;
    Exchange exchange(FMS_GET_FILE_MSG, Checks::SequenceFirst);
    if (const int begun = exchange.begin()) return begun;
    exchange.header(payloadUpTo(FileRequest::END));
    put16(exchange.request() + FileRequest::HANDLE, file.serverHandle);
    putPolicy(exchange.request() + FileRequest::POLICY, policy);
    if (const int sent = exchange.send(exchange.request(), FileRequest::END, "request")) {
        return sent;
    }
    return transferResult(exchange, file, callback, callbackData, [&] {
        const int copied = copyReplyString(
            exchange, "MESSAGE ERROR: Invalid filename length %d (FMS_GET_FILE_MSG)\n", path,
            fccAllocator());
        if (copied == 0 && path) localSeparators(*path);
        return copied;
    });
}

int FccLocationExchange(FccServerFile& file, const char* policy, FccProgressCallback callback,
                        void* callbackData, const char* folder, const char* fileName) {
    if (!fileName) return ERR_FMSCP_BAD_ARG;
    std::string target;
    if (folder && *folder) {
        target = folder;
        if (target.back() != '/' && target.back() != '\\') target += '/';
    }
    target += fileName;
    const std::size_t end = FileRequest::TARGET + target.size() + 1;
    // A target that does not fit the request is refused before anything is
    // sent.
    if (end > FCC_REQUEST_BUFFER_SIZE) return ERR_FMSCP_BAD_ARG;
    if (const int opened = ensureOpen(file)) return opened;
    Exchange exchange(FMS_GET_LOCATION_MSG, Checks::SequenceFirst);
    if (const int begun = exchange.begin()) return begun;
    exchange.header(payloadUpTo(end));
    unsigned char* request = exchange.request();
    put16(request + FileRequest::HANDLE, file.serverHandle);
    putPolicy(request + FileRequest::POLICY, policy);
    std::memcpy(request + FileRequest::TARGET, target.c_str(), target.size() + 1);
    if (const int sent = exchange.send(request, end, "request")) return sent;
    return transferResult(exchange, file, callback, callbackData, [] { return 0; });
}

namespace {

int rollback(FccServerFile& file, const char* volumeId, std::size_t length) {
    Exchange exchange(FMS_ROLLBACK_MSG, Checks::SequenceFirst);
    if (const int sent = sendCounted(exchange, file, volumeId, length, "volumeID")) return sent;
    return plainResult(exchange);
}

}  // namespace

// An upload whose volume ID there is no memory to copy for the caller is
// no upload to the caller: the server is told to take it back. The ID,
// which needs no memory of its own meanwhile, waits in the request buffer,
// after the rollback request's header: what is sent before the rollback
// (closes of handles handed back, the open of a file whose pipe closed)
// writes no further. An ID too long for it stays on the server.
int FccUploadExchange(FccServerFile& file, const char* localPath, FccProgressCallback callback,
                      void* callbackData, char** volumeId, const FccAllocator& pair) {
    if (!localPath) return ERR_FMSCP_BAD_ARG;
    const char* const invalid = "MESSAGE ERROR: Invalid volumeID length %d (FMS_UPLOAD_MSG)\n";
    std::size_t keptAside = 0;
    {
        Exchange exchange(FMS_UPLOAD_MSG, Checks::SequenceFirst);
        if (const int sent =
                sendCounted(exchange, file, localPath, std::strlen(localPath), "filepath")) {
            return sent;
        }
        const int status = transferResult(exchange, file, callback, callbackData, [&] {
            const int copied = copyReplyString(exchange, invalid, volumeId, pair);
            const char* text = nullptr;
            if (copied == ERR_FMSCP_OUT_OF_MEMORY &&
                replyString(exchange, invalid, &text, &keptAside) == 0 &&
                keptAside <= FCC_REQUEST_BUFFER_SIZE - CountedRequest::END) {
                std::memcpy(exchange.request() + CountedRequest::END, text, keptAside);
            } else {
                keptAside = 0;
            }
            return copied;
        });
        if (keptAside == 0) return status;
    }
    const FccConnectionRef record = FccGetThreadConnection();
    if (record) {
        rollback(file, reinterpret_cast<const char*>(record->requestBuffer) + CountedRequest::END,
                 keptAside);
    }
    return ERR_FMSCP_OUT_OF_MEMORY;
}

int FccRollbackExchange(FccServerFile& file, const char* volumeId) {
    return rollback(file, volumeId ? volumeId : "", volumeId ? std::strlen(volumeId) : 0);
}

int FccReadAheadExchange(FccServerFile& file, const char* policy, std::int64_t offset, int count) {
    if (const int opened = ensureOpen(file)) return opened;
    Exchange exchange(FMS_READ_AHEAD_MSG, Checks::SequenceFirst);
    if (const int begun = exchange.begin()) return begun;
    if (const int sent =
            sendRange(exchange, file, offset, static_cast<std::uint32_t>(count), policy)) {
        return sent;
    }
    return plainResult(exchange);
}

int FccCloseExchange(FccServerFile& file, bool bounded) {
    {
        // A file open on another thread's pipe is closed there.
        FccConnectionRef record = FccGetThreadConnection();
        if (!openOnPipeOf(file, record.get())) return 0;
    }
    const std::uint16_t serverHandle = file.serverHandle;
    // Whatever the server answers, the handle is spent.
    forgetServerHandle(file);
    return closeHandle(serverHandle, bounded ? Wait::SetUp : Wait::AsLongAsItTakes);
}

int FccEchoExchange() { return emptyExchange(FMS_ECHO_MSG); }

int FccClearCacheExchange() { return emptyExchange(FMS_CLEAR_CACHE_MSG); }

int FccLocaleExchange() {
    const std::string locale = fccConfiguration().locale;
    Exchange exchange(FMS_LOCALE_MSG, Checks::Lenient);
    if (const int begun = exchange.begin()) return begun;
    exchange.header(static_cast<std::uint32_t>(locale.size() + 1));
    if (const int sent =
            sendWithString(exchange, AT_PAYLOAD, locale.c_str(), locale.size() + 1, "name")) {
        return sent;
    }
    return plainResult(exchange);
}

int FccLocalizeExchange(const char* text, char** translated) {
    if (!text || !translated) return ERR_FMSCP_BAD_ARG;
    *translated = strdup(text);
    if (!*translated) return ERR_FMSCP_OUT_OF_MEMORY;
    // An error report waits a few seconds at most: a server silent on it
    // leaves the text untranslated (and loses the pipe, which its late
    // answer would put out of step).
    Exchange exchange(FMS_LOCALIZE_MSG, Checks::Lenient, Wait::SetUp,
                      Platform::Os::monotonicMilliseconds() + fccTiming().translationWait);
    if (const int begun = exchange.begin()) return begun;
    const std::size_t length = std::strlen(*translated) + 1;
    exchange.header(static_cast<std::uint32_t>(length));
    if (const int sent = sendWithString(exchange, AT_PAYLOAD, *translated, length, "text")) {
        return sent;
    }
    return receiveReplies(exchange, [&]() -> std::optional<int> {
        const char* reply = nullptr;
        std::size_t size = 0;
        if (const int read = replyString(
                exchange, "MESSAGE ERROR: Invalid string length %d (FMS_LOCALIZE_MSG)\n", &reply,
                &size)) {
            return read;
        }
        // The thread's error texts live on the standard heap.
        auto* result = static_cast<char*>(std::malloc(size + 1));
        if (!result) return ERR_FMSCP_OUT_OF_MEMORY;
        std::memcpy(result, reply, size);
        result[size] = '\0';
        std::free(*translated);
        *translated = result;
        fccTrace("LOCALIZED RESPONSE: %s\n", result);
        return 0;
    });
}

int FccCacheInfoExchange(FccCacheInfo& info) {
    Exchange exchange(FMS_GET_CACHE_INIT_INFO, Checks::Lenient, Wait::SetUp);
    if (const int begun = exchange.begin()) return begun;
    exchange.header(0);
    if (const int sent = exchange.send(exchange.request(), AT_PAYLOAD, "request")) return sent;
    return receiveReplies(exchange, [&]() -> std::optional<int> {
        if (!exchange.holds(CacheInfoReply::STRINGS)) return ERR_FMSCP_BAD_ARG;
        const unsigned char* reply = exchange.reply();
        const std::size_t strings = AT_PAYLOAD + exchange.payload() - CacheInfoReply::STRINGS;
        const auto value = [&](std::size_t offset) {
            return static_cast<std::int32_t>(get32(reply + offset));
        };
        const std::int32_t filePages = value(CacheInfoReply::FILE_PAGES);
        const std::int32_t segments = value(CacheInfoReply::SEGMENTS);
        const std::int32_t hashPages = value(CacheInfoReply::HASH_BLOCK_PAGES);
        const std::int32_t mbExtents = value(CacheInfoReply::MB_EXTENTS);
        const std::int32_t extents = value(CacheInfoReply::EXTENTS);
        const int folderLength = get16(reply + CacheInfoReply::FOLDER_LENGTH);
        const int nameLength = get16(reply + CacheInfoReply::NAME_LENGTH);
        struct Bound {
            bool ok;
            const char* format;
            int value;
        } bounds[] = {
            {filePages >= 1,
             "MESSAGE ERROR: Invalid number of file pages %d (FMS_GET_CACHE_INIT_INFO)\n",
             filePages},
            {segments >= 1,
             "MESSAGE ERROR: Invalid number of segments %d (FMS_GET_CACHE_INIT_INFO)\n", segments},
            {hashPages >= 1,
             "MESSAGE ERROR: Invalid number of hash block pages %d (FMS_GET_CACHE_INIT_INFO)\n",
             hashPages},
            {mbExtents >= 0,
             "MESSAGE ERROR: Invalid number of MB extents %d (FMS_GET_CACHE_INIT_INFO)\n",
             mbExtents},
            {extents >= 0,
             "MESSAGE ERROR: Invalid number of extents %d (FMS_GET_CACHE_INIT_INFO)\n", extents},
            {folderLength >= 1 && static_cast<std::size_t>(folderLength) <= strings,
             "MESSAGE ERROR: Invalid cache directory name size %d (FMS_GET_CACHE_INIT_INFO)\n",
             folderLength},
            {nameLength >= 1 && static_cast<std::size_t>(folderLength + nameLength) <= strings,
             "MESSAGE ERROR: Invalid map name size %d (FMS_GET_CACHE_INIT_INFO)\n", nameLength},
        };
        for (const Bound& bound : bounds) {
            if (!bound.ok) {
                fccTrace(bound.format, bound.value);
                return ERR_FMSCP_BAD_ARG;
            }
        }
        const char* text = reinterpret_cast<const char*>(reply + CacheInfoReply::STRINGS);
        const FccAllocator pair = fccAllocator();
        char* folder = pair.copy(text, folderLength);
        char* mapName = pair.copy(text + folderLength, nameLength);
        if (!folder || !mapName) {
            pair.free(folder);
            pair.free(mapName);
            return ERR_FMSCP_OUT_OF_MEMORY;
        }
        info.release = pair.release;
        localSeparators(folder);
        info.folder = folder;
        info.mapName = mapName;
        info.filePages = filePages;
        info.segments = segments;
        info.hashBlockPages = hashPages;
        info.mbExtents = mbExtents;
        info.extents = extents;
        fccTrace(
            "CACHE INFO:\n Map '%s', dir '%s'\n %d FilePages, %d Segments, %d HashBlockPages, "
            "%d MBExtents, %d Extents.\n",
            mapName, folder, filePages, segments, hashPages, mbExtents, extents);
        return 0;
    });
}

namespace {

// The copy of its last error that a thread was handed: a plain pointer,
// which no destructor takes, since the main thread's own objects are
// destroyed before the application's exit handlers run, and one of those
// may still ask. A thread that ends frees its copy.
thread_local char* handedOut = nullptr;
struct HandedOutRelease {
    ~HandedOutRelease() {
        std::free(handedOut);
        handedOut = nullptr;
    }
};
thread_local HandedOutRelease handedOutRelease;

}  // namespace

const char* FccGetLastErrorText() {
    FccConnectionRef record = FccGetThreadConnection();
    if (!record) return nullptr;
    // Only over a pipe that is open already (an error report must not wait
    // for a server to be found or started) and not in the middle of an
    // exchange: from a progress callback the text is handed out as it is,
    // and translated at a later call.
    // Without memory for the text's copy it stays untranslated until a
    // later call.
    char* const original =
        !record->localized && record->errorText && record->pipe.isOpen() && !record->exchanging
            ? strdup(record->errorText)
            : nullptr;
    if (original) {
        char* translated = nullptr;
        FccLocalizeExchange(original, &translated);
        std::free(original);
        if (translated) {
            std::free(record->errorText);
            record->errorText = translated;
        }
        record->localized = true;
    }
    // The record's own text may be freed by another thread as soon as the
    // record is let go (termination, the idle monitor): the caller gets a
    // copy that only this thread replaces.
    if (!record->errorText) return nullptr;
    static_cast<void>(&handedOutRelease);  // made for the thread, to free its copy
    char* const copy = strdup(record->errorText);
    if (!copy) return nullptr;
    std::free(handedOut);
    handedOut = copy;
    return handedOut;
}

bool FccThreadInExchange() {
    const FccConnectionRef record = FccGetThreadConnection();
    return record && record->exchanging;
}

}  // namespace Quillomark::Fcc
