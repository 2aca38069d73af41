#pragma once

// The open-file record behind the interface's opaque FccFile handle, with
// its list of open records, and the claim that lets one thread at a time
// use a record. A record's address is its handle, and is never handed out
// again once the record is freed: the handle of a closed file names no
// later one.

#include <fcc/FccInterface.hxx>
#include <fcc/pipe/internal/FccProtocol.hxx>

#include <cstddef>
#include <cstdint>

namespace Quillomark::Fcc {
class TicketReference;
}

struct FccFile {
    FccFile* next;  // open list (newest first)
    FccFile* prev;
    std::uint32_t magic;
    // The pair that made the record, its read buffer and its strings (the
    // ticket and GUID copies), and takes them back.
    Quillomark::Fcc::FccAllocator pair;
    unsigned char* readBuffer;
    std::int32_t readBufferSize;
    char* guid;
    // Wider than the 16 bits a small read buffer needs, so that a read
    // buffer of any configured size can be described.
    std::int32_t buffered;
    std::int32_t bufferPos;
    std::uint32_t owner;  // thread that claimed it, NO_OWNER when none
    // Termination found it claimed and left it to its owner, who frees it
    // when it lets go of it.
    bool orphaned;
    // The whole ticket (a copy, sent when the file is opened on the
    // server), the ticket handle, the caller's position, the size and the
    // file's state on the server.
    Quillomark::Fcc::FccServerFile server;
};

namespace Quillomark::Fcc {

constexpr std::uint32_t NO_OWNER = 0xFFFFFFFF;

// A record for a registered ticket: copies of its ticket and GUID, its
// handle, nothing read, size unknown, not open on the server, claimed by
// the calling thread (so that termination leaves it alone while it is
// being set up). 0 and *file set, -3009 when memory runs out, or -2999 when
// the caller's session has ended meanwhile.
int newFileRecord(const TicketReference& ticket, FccFile** file);

// Makes the memory of the records, once per process, for
// fccMakeSelfProxyObjects. Throws std::bad_alloc.
void makeFileRecordCells();

// Frees the record (the caller has claimed it or made it). A record that
// termination left to the caller is closed on the server first.
void freeFileRecord(FccFile* file);

// Closes a record that the caller made on the server (when it is open
// there) and frees it: the deleter of a record that a call holds until it
// ends, whichever way it ends.
struct ClosedAndFreed {
    void operator()(FccFile* file) const {
        FccCloseExchange(file->server);
        freeFileRecord(file);
    }
};

// Records open now, for tests.
std::size_t openFileCount();

// Whether the pointer is a record of the open list. Nothing behind a
// pointer that is not is read.
bool isOpenFile(const FccFile* file);

// Claims an open record for the calling thread: 0, -3003 for a pointer
// that is no open record, -3015 while another thread has claimed it.
int claimFile(FccFile* file);
// Lets go of the claim: true, or false when termination had left the
// record to the caller, which is then closed on the server and freed.
bool releaseFile(FccFile* file);

// The claim of one entry, released when the entry returns. It is taken
// first, so that one pass under the main lock both validates the record
// and claims it; the entry reports a record claimed by another thread only
// after its argument checks. The calling thread's connection is held as
// long, so that a termination meanwhile leaves it to the entry.
class FileClaim {
public:
    explicit FileClaim(FccFile* file) : file(file), status(claimFile(file)) {}
    ~FileClaim() {
        if (status == 0 && file) releaseFile(file);
    }
    FileClaim(const FileClaim&) = delete;
    FileClaim& operator=(const FileClaim&) = delete;
    int result() const { return status; }
    // The record is gone (freed by the entry): nothing to release.
    void forget() { file = nullptr; }

private:
    FccConnectionRef connection = FccGetThreadConnection();
    FccFile* file;
    int status;
};

// Frees every record at termination; records that an
// entry has claimed (of another thread, or of the caller's own when a
// progress callback terminates) are left to that entry. closeOnServer runs
// for each record freed that is still open on the server.
void releaseAllFileRecords(void (*closeOnServer)(FccFile*));

}  // namespace Quillomark::Fcc
