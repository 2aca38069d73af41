// TEMPORARY: stands in for the pipe client until it is built.
#include <fcc/internal/FccErrors.hxx>
#include <fcc/selfproxy/internal/PipeClient.hxx>

namespace Quillomark::Fcc {

int FccReadConfiguration() { return ERR_FMSCP_NOT_SUPPORTED; }
int FccConnectCallingThread() { return ERR_FMSCP_NO_CACHE; }
std::int32_t FccReadBufferSize() { return 16384; }
void FccSetConfiguredLocale(const char*) {}
const char* FccGetLastErrorText() { return FccLastErrorText(); }
int FccOpenExchange(FccFile*) { return ERR_FMSCP_NO_CACHE; }
std::int64_t FccSizeExchange(FccFile*) { return ERR_FMSCP_NO_CACHE; }
int FccDataExchange(FccFile*, const char*, unsigned char*, int, int) { return ERR_FMSCP_NO_CACHE; }
int FccFileExchange(FccFile*, char**, const char*, FccProgressCallback, void*) {
    return ERR_FMSCP_NO_CACHE;
}
int FccLocationExchange(FccFile*, const char*, FccProgressCallback, void*, const char*,
                        const char*) {
    return ERR_FMSCP_NO_CACHE;
}
int FccUploadExchange(FccFile*, const char*, FccProgressCallback, void*, char**) {
    return ERR_FMSCP_NO_CACHE;
}
int FccRollbackExchange(FccFile*, const char*) { return ERR_FMSCP_NO_CACHE; }
int FccReadAheadExchange(FccFile*, const char*, std::int64_t, std::int32_t) {
    return ERR_FMSCP_NO_CACHE;
}
int FccCloseExchange(FccFile*) { return 0; }
int FccEchoExchange() { return ERR_FMSCP_NO_CACHE; }
int FccClearCacheExchange() { return ERR_FMSCP_NO_CACHE; }
int FccLocaleExchange() { return ERR_FMSCP_NO_CACHE; }

}  // namespace Quillomark::Fcc
