#pragma once

// The messages between the library's own file-cache client and the local
// file-cache server. Every exchange runs on the calling thread's connection
// record and pipe: a request (a 12-byte header and its payload, every
// number big-endian) and one or more replies, each checked for the
// request's sequence number and message type. The results are 0 (or the
// exchange's value) or a negative status; an error reply's text becomes
// the thread's last error.

#include <fcc/FccInterface.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>

#include <cstddef>
#include <cstdint>

namespace Quillomark::Fcc {

constexpr std::size_t FCC_HEADER_SIZE = 12;
constexpr std::size_t FCC_MAX_PAYLOAD = FCC_REPLY_BUFFER_SIZE - FCC_HEADER_SIZE;
constexpr std::uint8_t FCC_REQUEST = 1;
constexpr std::uint8_t FCC_REPLY = 2;

enum FccReplyType : std::uint8_t {
    FCC_REPLY_RESULT = 0,
    FCC_REPLY_ERROR = 1,
    FCC_REPLY_END_OF_DATA = 2,
    FCC_REPLY_PROGRESS = 3
};

// Message numbers; the header carries (n << 16) | (0xFFFF - n).
enum FccMessage : std::uint16_t {
    FMS_OPEN_MSG = 1,
    FMS_GET_SIZE_MSG = 2,
    FMS_GET_DATA_MSG = 3,
    FMS_GET_FILE_MSG = 4,
    FMS_CLOSE_MSG = 5,
    FMS_ECHO_MSG = 6,
    FMS_UPLOAD_MSG = 7,
    FMS_ROLLBACK_MSG = 8,
    FMS_READ_AHEAD_MSG = 9,
    FMS_STATUS_MSG = 10,
    FMS_LOCALE_MSG = 11,
    FMS_LOCALIZE_MSG = 12,
    FMS_GET_LOCATION_MSG = 13,
    FMS_GET_CACHE_INIT_INFO = 14,
    FMS_VERSION_CHECK = 15,
    FMS_CLEAR_CACHE_MSG = 256
};

constexpr std::uint32_t fccMessageType(std::uint16_t number) {
    return (std::uint32_t(number) << 16) | (0xFFFFu - number);
}
static_assert(fccMessageType(FMS_OPEN_MSG) == 0x0001FFFEu, "message type layout");
static_assert(fccMessageType(FMS_VERSION_CHECK) == 0x000FFFF0u, "message type layout");
static_assert(fccMessageType(FMS_CLEAR_CACHE_MSG) == 0x0100FEFFu, "message type layout");

// The server's handle of a file that is not open there.
constexpr std::uint16_t FCC_NOT_OPEN = 0xFFFF;

// What the exchanges know of a file: the ticket that names it, the ticket
// handle its progress reports carry, and its state on the server. A server
// handle is good only on the pipe it was opened through; when that pipe
// closes, or another thread uses the file, the file counts as not open and
// is opened again on the next use, over the user's pipe.
struct FccServerFile {
    const char* ticket = nullptr;
    const char* handle = nullptr;
    std::int64_t size = -1;  // -1 while unknown
    std::int64_t position = 0;
    std::uint16_t serverHandle = FCC_NOT_OPEN;
    FccConnection* openedThrough = nullptr;
    std::uint32_t openedGeneration = 0;
};

// Whether the file is open on the server through a pipe that is still the
// one it was opened through (whichever thread's pipe that is).
bool fccIsOpenOnServer(const FccServerFile& file);

// Whether the calling thread's pipe is in the middle of an exchange: the
// thread runs a progress callback, and its calls that need the pipe are
// refused with ERR_FMSCP_NOT_SUPPORTED.
bool FccThreadInExchange();

// Checks that the server speaks our version. With connect, a closed pipe
// is connected first; without, it gives ERR_FMSCP_NO_CACHE. A refusal is
// -100; a server that does not answer in time (the set-up bound, or until
// deadline on the monotonic clock when one is given) gives
// ERR_FMSCP_NO_CACHE.
int FccVersionCheck(bool connect, std::int64_t deadline = 0);
// Opens the file on the server: its server handle (and its size, stored in
// file), or a negative status.
int FccOpenExchange(FccServerFile& file);
// The file's size, fetched (opening the file first) while unknown.
std::int64_t FccSizeExchange(FccServerFile& file);
// Reads bytes delivered..wanted-1 of the range that starts at the file's
// position into destination (at the same offsets): the count now
// delivered, less than wanted when the file ended.
int FccDataExchange(FccServerFile& file, const char* policy, void* destination, int wanted,
                    int delivered);
// Has the server fetch the file into its cache; *path gets the cached
// file's path (made with the alloc function).
int FccFileExchange(FccServerFile& file, char** path, const char* policy,
                    FccProgressCallback callback, void* callbackData);
// Has the server copy the file into folder (may be null or empty) under
// fileName.
int FccLocationExchange(FccServerFile& file, const char* policy, FccProgressCallback callback,
                        void* callbackData, const char* folder, const char* fileName);
// Uploads the local file; *volumeId (when volumeId is not null) gets the
// volume ID, made with the pair.
int FccUploadExchange(FccServerFile& file, const char* localPath, FccProgressCallback callback,
                      void* callbackData, char** volumeId,
                      const FccAllocator& pair = fccAllocator());
int FccRollbackExchange(FccServerFile& file, const char* volumeId);
// Asks the server to fetch a range ahead of reading (opening the file
// first).
int FccReadAheadExchange(FccServerFile& file, const char* policy, std::int64_t offset, int count);
// Closes the file on the server; 0 for a file that is not open there.
// Bounded, it waits for the answer as long as a set-up exchange does: a
// server silent for that long costs the pipe (and every handle opened
// through it) instead of holding the caller, as termination must not be.
int FccCloseExchange(FccServerFile& file, bool bounded = false);
int FccEchoExchange();
// The caller closes its view of the fast cache first.
int FccClearCacheExchange();
// Sends the configured locale.
int FccLocaleExchange();
// *translated first gets a copy of text (standard heap), replaced by the
// server's translation when there is one within the translation wait.
int FccLocalizeExchange(const char* text, char** translated);

// The server's fast cache; both strings are made with the alloc function
// and go back to its partner with the information.
struct FccCacheInfo {
    char* mapName = nullptr;
    char* folder = nullptr;
    std::int32_t filePages = 0;
    std::int32_t segments = 0;
    std::int32_t hashBlockPages = 0;
    std::int32_t mbExtents = 0;
    std::int32_t extents = 0;
    FccReleaseFunction release = nullptr;  // of the pair that made the strings

    FccCacheInfo() = default;
    ~FccCacheInfo() {
        if (!release) return;
        if (mapName) release(mapName);
        if (folder) release(folder);
    }
    FccCacheInfo(const FccCacheInfo&) = delete;
    FccCacheInfo& operator=(const FccCacheInfo&) = delete;
};
int FccCacheInfoExchange(FccCacheInfo& info);

// The thread's last error, translated through the server once (when its
// pipe is open, waiting a few seconds at most); null when there is none.
// The text stays valid until the thread's next call of this function or its
// end, whatever other threads do meanwhile.
const char* FccGetLastErrorText();

}  // namespace Quillomark::Fcc
