#pragma once

// What the interface's entries ask of the client runtime beneath them: the
// configuration, the calling thread's pipe to the local file-cache server
// and the exchanges over it, the trace log and the last-error bookkeeping.

#include <fcc/FccInterface.hxx>
#include <fcc/runtime/internal/FccRuntime.hxx>

#include <cstdint>

namespace Quillomark::Fcc {

// Reads the configuration from the environment: 0, -2998 or -2997.
int FccReadConfiguration();

// Makes sure the calling thread's pipe is connected (under the main lock,
// with the version check): 0 or a negative error.
int FccConnectCallingThread();

// The configured read-buffer size of an open file.
std::int32_t FccReadBufferSize();
// Replaces the configured locale.
void FccSetConfiguredLocale(const char* locale);

// The calling thread's last-error text, translated once through the
// server; null when none is recorded.
const char* FccGetLastErrorText();

// The exchanges with the server over the calling thread's pipe. Each
// returns 0 or a negative error unless said otherwise. The open exchange
// returns the server's handle of the file and stores it and the size in
// the record; the size, data and read-ahead exchanges open the file first
// when it is not open on the server.
int FccOpenExchange(FccFile* file);
std::int64_t FccSizeExchange(FccFile* file);
// Reads bytes delivered..wanted-1 of the file from its position into
// destination; returns the total delivered or a negative error.
int FccDataExchange(FccFile* file, const char* policy, unsigned char* destination, int wanted,
                    int delivered);
int FccFileExchange(FccFile* file, char** path, const char* policy, FccProgressCallback callback,
                    void* callbackData);
int FccLocationExchange(FccFile* file, const char* policy, FccProgressCallback callback,
                        void* callbackData, const char* directory, const char* fileName);
int FccUploadExchange(FccFile* file, const char* localPath, FccProgressCallback callback,
                      void* callbackData, char** volumeId);
int FccRollbackExchange(FccFile* file, const char* volumeId);
int FccReadAheadExchange(FccFile* file, const char* policy, std::int64_t offset,
                         std::int32_t count);
int FccCloseExchange(FccFile* file);
int FccEchoExchange();
int FccClearCacheExchange();
int FccLocaleExchange();

}  // namespace Quillomark::Fcc
