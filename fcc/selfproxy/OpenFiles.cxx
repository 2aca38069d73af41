// Opening a registered file and reading it piece by piece: from the fast
// cache when it holds the file, otherwise from the file-cache server over
// the calling thread's pipe.

#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>
#include <fcc/pipe/internal/FccTransport.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>
#include <fcc/selfproxy/internal/FastCacheClient.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>
#include <fcc/selfproxy/internal/SelfProxyState.hxx>
#include <fcc/selfproxy/internal/TicketRegistry.hxx>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace Quillomark::Fcc::SelfProxy {

namespace {

int openOnServer(FccFile* file) {
    const int serverHandle = FccOpenExchange(file->server);
    return serverHandle < 0 ? serverHandle : FCC_OK;
}

// Reads want bytes from the file's position into destination: from the
// fast cache first, the rest over the pipe. The count read, or a negative
// error (-3007 when the file ends before the first byte; -3009 when memory
// ran out, so that the caller puts the position back as after any other).
int readData(FccFile* file, const char* policy, unsigned char* destination, int want) try {
    int delivered = FmscReadBytes(file, destination, want);
    if (delivered == ERR_FMSCP_EOF) return delivered;
    if (delivered < 0) {
        // The cache never fails a read: what it cannot give comes over
        // the pipe.
        FmsErrorCode(delivered);
        delivered = 0;
    }
    if (delivered >= want) return delivered;
    if (file->server.size >= 0 && file->server.position + delivered >= file->server.size) {
        return delivered > 0 ? delivered : ERR_FMSCP_EOF;
    }
    return FccDataExchange(file->server, policy, destination, want, delivered);
} catch (const std::bad_alloc&) {
    return ERR_FMSCP_OUT_OF_MEMORY;
}

void consume(FccFile* file, unsigned char* to, int count) {
    std::memcpy(to, file->readBuffer + file->bufferPos, count);
    file->bufferPos += count;
    file->server.position += count;
}

int seekTo(FccFile* file, std::int64_t target) {
    if (file->server.size > 0 && target > file->server.size) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    // Inside the buffered window the buffer stays.
    const std::int64_t inBuffer = file->bufferPos + (target - file->server.position);
    if (inBuffer >= 0 && inBuffer < file->buffered) {
        file->bufferPos = static_cast<std::int32_t>(inBuffer);
    } else {
        file->buffered = file->bufferPos = 0;
    }
    file->server.position = target;
    return FCC_OK;
}

}  // namespace

int FCC_OpenFile(const char* handle, FccFile** file) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    if (!handle) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    if (!file) return FmsErrorCode(ERR_FMSCP_BAD_FILE);
    // Held throughout, so that a termination meanwhile leaves the pipe to
    // this call until it is done.
    const FccConnectionRef connection = FccGetThreadConnection();
    TicketReference ticket = findTicket(handle);
    if (!ticket) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    FccFile* record = nullptr;
    if (const int status = newFileRecord(ticket, &record)) return FmsErrorCode(status);
    // Until it is handed out, the record goes with the call, however it
    // ends (memory that runs out on the way included).
    std::unique_ptr<FccFile, ClosedAndFreed> made(record);
    int status = FmscLookupFileSize(record);
    if (status < 0) status = openOnServer(record);
    if (status != FCC_OK) return FmsErrorCode(status);
    made.release();
    // The new record was claimed while it was set up; a termination that
    // came meanwhile left it to this call, which has now freed it.
    if (!releaseFile(record)) return FmsErrorCode(ERR_FMSCP_NOT_INITIALIZED);
    *file = record;
    return FCC_OK;
}

int FCC_RefreshFileTicket(FccFile* file, const char* ticket) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    FileClaim claim(file);
    if (claim.result() == ERR_FMSCP_BAD_FILE) return FmsErrorCode(ERR_FMSCP_BAD_FILE);
    if (!ticket) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    if (claim.result()) return FmsErrorCode(claim.result());
    if (!isValidTicket(ticket)) return FmsErrorCode(ERR_FMSCP_BAD_TICKET);
    char* copy = file->pair.copy(ticket, std::strlen(ticket));
    if (!copy) return FmsErrorCode(ERR_FMSCP_OUT_OF_MEMORY);
    file->pair.free(const_cast<char*>(file->server.ticket));
    file->server.ticket = copy;

    if (const int status = FccCloseExchange(file->server)) return FmsErrorCode(status);
    if (const int status = openOnServer(file)) {
        // The caller's handle is no longer valid.
        FmsErrorCode(status);
        FccCloseExchange(file->server);
        freeFileRecord(file);
        claim.forget();
        return status;
    }
    return FCC_OK;
}

int FCC_FileSize(FccFile* file, std::int64_t* size) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    FileClaim claim(file);
    if (claim.result() == ERR_FMSCP_BAD_FILE) return FmsErrorCode(ERR_FMSCP_BAD_FILE);
    if (!size) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    if (claim.result()) return FmsErrorCode(claim.result());
    *size = -1;
    if (file->server.size < 0) {
        const std::int64_t known = FccSizeExchange(file->server);
        if (known < 0) return FmsErrorCode(static_cast<int>(known));
        file->server.size = known;
    }
    *size = file->server.size;
    return FCC_OK;
}

int FCC_GetSeekPointer(FccFile* file, std::int64_t* position) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    FileClaim claim(file);
    if (claim.result() == ERR_FMSCP_BAD_FILE) return FmsErrorCode(ERR_FMSCP_BAD_FILE);
    if (!position) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    if (claim.result()) return FmsErrorCode(claim.result());
    *position = file->server.position;
    return FCC_OK;
}

int FCC_SeekRelative(FccFile* file, std::int64_t delta) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    FileClaim claim(file);
    if (claim.result() == ERR_FMSCP_BAD_FILE) return FmsErrorCode(ERR_FMSCP_BAD_FILE);
    if (claim.result()) return FmsErrorCode(claim.result());
    std::int64_t target = 0;
    if (__builtin_add_overflow(file->server.position, delta, &target) || target < 0) {
        return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    }
    return seekTo(file, target);
}

int FCC_SeekAbsolute(FccFile* file, std::int64_t position) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    FileClaim claim(file);
    if (claim.result() == ERR_FMSCP_BAD_FILE) return FmsErrorCode(ERR_FMSCP_BAD_FILE);
    if (position < 0) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    if (claim.result()) return FmsErrorCode(claim.result());
    return seekTo(file, position);
}

int FCC_ReadBytes(FccFile* file, const char* policy, int count, int* bytesRead, void* buffer) {
    if (bytesRead) *bytesRead = 0;
    const Entry entry;
    if (const int status = entry.status()) return status;
    FileClaim claim(file);
    if (claim.result() == ERR_FMSCP_BAD_FILE) return FmsErrorCode(ERR_FMSCP_BAD_FILE);
    if (!policy || count < 0 || !bytesRead) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    if (!buffer) return FmsErrorCode(ERR_FMSCP_OUT_OF_MEMORY);
    if (claim.result()) return FmsErrorCode(claim.result());
    if (count == 0) return FCC_OK;

    auto* out = static_cast<unsigned char*>(buffer);
    const std::int64_t startPosition = file->server.position;
    int delivered = std::min(count, file->buffered - file->bufferPos);
    consume(file, out, delivered);
    if (delivered == count) {
        *bytesRead = count;
        return FCC_OK;
    }
    file->buffered = file->bufferPos = 0;
    const int remaining = count - delivered;

    int status = FCC_OK;
    std::int64_t want = std::max(remaining, file->readBufferSize);
    if (file->server.size >= 0) want = std::min(want, file->server.size - file->server.position);
    if ((file->server.size > 0 && file->server.position >= file->server.size) || want <= 0) {
        status = ERR_FMSCP_EOF;
    } else if (want > file->readBufferSize) {
        const int read = readData(file, policy, out + delivered, static_cast<int>(want));
        if (read < 0) {
            status = read;
        } else {
            delivered += read;
            file->server.position += read;
        }
    } else {
        const int read = readData(file, policy, file->readBuffer, static_cast<int>(want));
        if (read < 0) {
            status = read;
        } else {
            file->buffered = read;
            consume(file, out + delivered, std::min(read, remaining));
            delivered += std::min(read, remaining);
            if (read <= remaining) file->buffered = file->bufferPos = 0;
        }
    }

    *bytesRead = delivered;
    if (status == ERR_FMSCP_EOF && delivered > 0) return FCC_OK;
    if (status != FCC_OK) {
        *bytesRead = 0;
        file->server.position = startPosition;
        return FmsErrorCode(status);
    }
    return FCC_OK;
}

int FCC_ScheduleRange(FccFile* file, const char* policy, std::int64_t offset, int length) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    FileClaim claim(file);
    if (claim.result() == ERR_FMSCP_BAD_FILE) return FmsErrorCode(ERR_FMSCP_BAD_FILE);
    if (!policy || offset < 0 || length < 0) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    if (length == 0) return FCC_OK;
    if (claim.result()) return FmsErrorCode(claim.result());
    if (file->server.size > 0 && offset >= file->server.size) return FmsErrorCode(ERR_FMSCP_EOF);
    std::int64_t want = std::max(length, file->readBufferSize);
    if (file->server.size >= 0) want = std::min(want, file->server.size - offset);
    return FmsErrorCode(FccReadAheadExchange(file->server, policy, offset, static_cast<int>(want)));
}

int FCC_CloseFileHandlePointer(FccFile* file) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    FileClaim claim(file);
    if (claim.result() == ERR_FMSCP_BAD_FILE) return FmsErrorCode(ERR_FMSCP_BAD_FILE);
    if (claim.result()) return FmsErrorCode(claim.result());
    FccCloseExchange(file->server);
    freeFileRecord(file);
    claim.forget();
    return FCC_OK;
}

int FCC_GetFileGUID(FccFile* file, char** guid) {
    const Entry entry;
    if (const int status = entry.status()) return status;
    if (!file || !guid) return FmsErrorCode(ERR_FMSCP_BAD_ARG);
    // Copied under the main lock, so that a close by another thread cannot
    // free the GUID while it is copied.
    FccMainLockGuard lock;
    if (!isOpenFile(file)) return FmsErrorCode(ERR_FMSCP_BAD_FILE);
    char* copy = fccCopyString(file->guid, std::strlen(file->guid));
    if (!copy) return ERR_FMSCP_OUT_OF_MEMORY;
    *guid = copy;
    return FCC_OK;
}

}  // namespace Quillomark::Fcc::SelfProxy
