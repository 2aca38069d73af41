#include <fcc/internal/FccErrors.hxx>
#include <fcc/selfproxy/internal/FastCacheClient.hxx>
#include <fcc/selfproxy/internal/FccFileRecord.hxx>

namespace Quillomark::Fcc {

namespace {

constexpr int PIPE_ONLY = -1;

}  // namespace

int checkInitFMSC() { return PIPE_ONLY; }

int FmscCloseFastCache() { return FCC_OK; }

int FmscLookupFileSize(FccFile* file) {
    if (!file) return ERR_FMSCP_BAD_ARG;
    if (!file->guid) return ERR_FMSCP_BAD_FILE;
    if (fccIsOpenOnServer(file->server) || file->server.size >= 0) return FCC_OK;
    return checkInitFMSC() < 0 ? PIPE_ONLY : ERR_FMSCP_BAD_FILE;
}

int FmscReadBytes(FccFile* file, void* destination, int count) {
    if (!file || !destination || count < 0) return ERR_FMSCP_BAD_ARG;
    return 0;
}

}  // namespace Quillomark::Fcc
