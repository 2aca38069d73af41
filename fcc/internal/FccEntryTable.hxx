#pragma once

#include <string>

// The table through which every call of the file-cache interface goes: 40
// slots, filled once per process either from the proxy library or with the
// library's own implementation.

namespace Quillomark::Fcc {

// The entries in slot order.
#define QMSOA_FCC_ENTRIES(X)          \
    X(FCC_IsFCCEnabled)               \
    X(FCC_Init)                       \
    X(FCC_Term)                       \
    X(FCC_SetLocale)                  \
    X(FCC_GetLastError)               \
    X(FCC_RegisterTicket)             \
    X(FCC_RegisterTickets)            \
    X(FCC_UnRegisterTicket)           \
    X(FCC_UnRegisterTickets)          \
    X(FCC_DownloadFileFromPLM)        \
    X(FCC_DownloadFilesFromPLM)       \
    X(FCC_DownloadFileToLocation)     \
    X(FCC_DownloadFilesToLocation)    \
    X(FCC_UploadFileToPLM)            \
    X(FCC_UploadFilesToPLM)           \
    X(FCC_RollbackFileUploadedToPLM)  \
    X(FCC_RollbackFilesUploadedToPLM) \
    X(FCC_OpenFile)                   \
    X(FCC_RefreshFileTicket)          \
    X(FCC_FileSize)                   \
    X(FCC_GetSeekPointer)             \
    X(FCC_SeekRelative)               \
    X(FCC_SeekAbsolute)               \
    X(FCC_ReadBytes)                  \
    X(FCC_ScheduleRange)              \
    X(FCC_CloseFileHandlePointer)     \
    X(FCC_Echo)                       \
    X(FCC_GetFileGUID)                \
    X(FmsClearCache)                  \
    X(FmsErrorCode)                   \
    X(FmsClearLastError)              \
    X(FmsDeltaMs)                     \
    X(FmsClock)                       \
    X(ThreadId)                       \
    X(FmsSleepMs)                     \
    X(GUIDLength)                     \
    X(synchronize)                    \
    X(endSynchronize)                 \
    X(FCCStartThread)                 \
    X(FCCTerminateThread)

enum FccSlot : int {
#define QMSOA_FCC_SLOT(name) SLOT_##name,
    QMSOA_FCC_ENTRIES(QMSOA_FCC_SLOT)
#undef QMSOA_FCC_SLOT
        FCC_ENTRY_COUNT
};

// A slot holds a function of the entry's own type, stored as this type.
using FccEntry = void (*)();

// The entry's export name.
const char* fccEntryName(FccSlot slot);

// What a slot holds now; null while it is empty.
FccEntry fccEntry(FccSlot slot);

// The slot's function as the entry's type F (the type of the dispatcher of
// the same name), null while the slot is empty.
template <typename F>
F fccEntryAs(FccSlot slot) {
    return reinterpret_cast<F>(fccEntry(slot));
}

// Fills the table, once per process: from the proxy library under
// FMS_HOME when it loads and exports every entry, otherwise with the own
// implementation. Callers that arrive while another thread loads wait for
// it. Returns 0 when the table is filled or the loader has run before,
// -2998 when FMS_HOME is unset or empty (the table then stays empty), and
// -3009 when an allocation fails (the library's path, its check, or what
// the own implementation uses): the table is left empty and the loader runs
// again at the next call. Throws nothing.
int FccLoadProxyLibrary();

// Fills every slot with the library's own implementation, once it has made
// what that uses for the life of the process; 0. Throws std::bad_alloc,
// filling nothing, when that cannot be made.
int FccUseSelfProxy();

// Unloads the proxy library and empties every slot.
void FccUnloadProxyLibrary();

// The export of the loaded proxy library with that name, or null (with a
// message on standard error) when it has none.
FccEntry FccGetEntryPoint(const char* name);

// Where the proxy library is looked for under fmsHome.
std::string fccProxyLibraryPath(const std::string& fmsHome);

extern const char* const FCC_INTERFACE_VERSION;
extern const char* const FCC_INTERFACE_DATE;

}  // namespace Quillomark::Fcc
