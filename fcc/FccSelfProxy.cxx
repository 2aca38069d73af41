// The library's own file-cache interface. The client that talks to the local
// file-cache server is not part of this build yet: until it is, every entry
// that needs it answers ERR_FMSCP_NOT_SUPPORTED and records that as the
// calling thread's last error, so that callers learn why through
// FCC_GetLastError.

#include <fcc/internal/FccErrors.hxx>
#include <fcc/internal/FccSelfProxy.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>

#include <cstring>

namespace Quillomark::Fcc::SelfProxy {

namespace {

int notAvailable() { return FmsErrorCode(ERR_FMSCP_NOT_SUPPORTED); }

// Where a ticket names the kind of its file, and where its file's GUID
// starts.
constexpr std::size_t TICKET_KIND_POSITION = 64;

}  // namespace

int FCC_IsFCCEnabled(int*) { return notAvailable(); }
int FCC_Init(FccAllocFunction, FccReleaseFunction) { return notAvailable(); }
int FCC_Term() { return notAvailable(); }
int FCC_SetLocale(const char*) { return notAvailable(); }

int FCC_GetLastError(const char** text) {
    if (!text) return ERR_FMSCP_BAD_ARG;
    *text = FccLastErrorText();
    return FCC_OK;
}

int FCC_RegisterTicket(const char*, char**) { return notAvailable(); }
int FCC_RegisterTickets(int, const char**, char**, int*) { return notAvailable(); }
int FCC_UnRegisterTicket(const char*) { return notAvailable(); }
int FCC_UnRegisterTickets(int, char**, int*) { return notAvailable(); }
int FCC_DownloadFileFromPLM(const char*, const char*, FccProgressCallback, void*, char**) {
    return notAvailable();
}
int FCC_DownloadFilesFromPLM(const char*, int, char**, FccProgressCallback, void*, char**, int*) {
    return notAvailable();
}
int FCC_DownloadFileToLocation(const char*, const char*, FccProgressCallback, void*, const char*,
                               const char*) {
    return notAvailable();
}
int FCC_DownloadFilesToLocation(const char*, int, char**, FccProgressCallback, void*, const char*,
                                const char**, int*) {
    return notAvailable();
}
int FCC_UploadFileToPLM(const char*, FccProgressCallback, void*, const char*, char**) {
    return notAvailable();
}
int FCC_UploadFilesToPLM(int, char**, FccProgressCallback, void*, const char**, int, char**, int*) {
    return notAvailable();
}
int FCC_RollbackFileUploadedToPLM(const char*, const char*) { return notAvailable(); }
int FCC_RollbackFilesUploadedToPLM(int, char**, const char**, int*) { return notAvailable(); }
int FCC_OpenFile(const char*, FccFile**) { return notAvailable(); }
int FCC_RefreshFileTicket(FccFile*, const char*) { return notAvailable(); }
int FCC_FileSize(FccFile*, std::int64_t*) { return notAvailable(); }
int FCC_GetSeekPointer(FccFile*, std::int64_t*) { return notAvailable(); }
int FCC_SeekRelative(FccFile*, std::int64_t) { return notAvailable(); }
int FCC_SeekAbsolute(FccFile*, std::int64_t) { return notAvailable(); }
int FCC_ReadBytes(FccFile*, const char*, int, int*, void*) { return notAvailable(); }
int FCC_ScheduleRange(FccFile*, const char*, std::int64_t, int) { return notAvailable(); }
int FCC_CloseFileHandlePointer(FccFile*) { return notAvailable(); }
int FCC_Echo() { return notAvailable(); }
int FCC_GetFileGUID(FccFile*, char**) { return notAvailable(); }
int FmsClearCache() { return notAvailable(); }

int GUIDLength(const char* ticket) {
    // A ticket too short to hold its kind is refused before the kind is
    // read, so that nothing is read past its end.
    if (!ticket || strnlen(ticket, TICKET_KIND_POSITION + 1) <= TICKET_KIND_POSITION) {
        return ERR_FMSCP_BAD_TICKET;
    }
    switch (ticket[TICKET_KIND_POSITION]) {
        case 'v':
        case 'F': return 32;
        case 'M': return 36;
        default: return ERR_FMSCP_BAD_TICKET;
    }
}

}  // namespace Quillomark::Fcc::SelfProxy
