#pragma once

// The self-proxy's side of the fast cache that it shares with the local
// file-cache server: what the server has cached is read out of shared
// memory, the rest comes over the pipe.

#include <fcc/FccInterface.hxx>

namespace Quillomark::Fcc {

// Attaches to the fast cache once: 0 when attached, -1 when files are
// served over the pipe only, or a negative error.
int checkInitFMSC();

// Detaches from the fast cache; the next checkInitFMSC attaches anew.
int FmscCloseFastCache();

// Makes the client's locks, once per process, for fccMakeSelfProxyObjects.
// Throws std::bad_alloc.
void fccMakeFastCacheClientLocks();

// Fills the record's size from the cache: 0, -1 without a cache, -3003 when
// the cache does not hold the file.
int FmscLookupFileSize(FccFile* file);

// Copies up to count bytes from the record's position out of the cache:
// the number copied (0 when the file is not cached) or a negative error.
int FmscReadBytes(FccFile* file, void* destination, int count);

}  // namespace Quillomark::Fcc
