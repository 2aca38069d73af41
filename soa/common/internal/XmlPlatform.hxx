#pragma once

#include <platform/os/internal/Forks.hxx>

#include <curl/curl.h>

namespace Quillomark::Soa::Common::Xml {

// A new libcurl handle, as curl_easy_init makes it, but with what libcurl
// keeps a handle's connections in already made, which libcurl would
// otherwise make at the handle's first transfer; null when memory ran out
// (nothing is kept), and in a process where curlLockLostInAFork. Making a
// handle from nothing, as making that does, takes libcurl's process-wide
// spinlock for a moment (in curl_easy_init), which a fork may copy held by
// a thread that the child does not have: a child that took it then would
// spin for good. The handle is a copy of a blank one made as the library
// loads (made by curl_easy_init only where memory ran out then), and what
// it keeps its connections in is made at once, in a region that the forks
// are told of.
CURL* newCurlHandle();

// Whether this process was forked (it, or a forebear since the library
// loaded) while another thread was making what a new handle keeps its
// connections in: libcurl's spinlock may be held for good, and
// newCurlHandle makes no handle.
bool curlLockLostInAFork();

// Around each of the library's transfers over TLS, and each end of a handle
// that may keep TLS connections. OpenSSL takes its process-wide locks
// there, as write locks, dozens of times for each new connection (its
// random generator at each use, as it makes each TLS context, a
// certificate store, each I/O object) and again as it frees them: a child
// forked while another thread was inside may find one held for good, and
// would wait for good in its own TLS.
Quillomark::Platform::Os::ForkRegion& transfersOverTls();

// What this process found of OpenSSL's locks that a new TLS connection
// takes first. In a child forked while another thread was in a transfer
// over TLS (or in the children of such a child, until one tried them), the
// first call tries them on a thread of its own, and waits 1 s at most by
// the steady clock: HELD when they were not all taken by then, for good;
// UNTRIED when no thread could be started to try them, which the next call
// tries again. FREE in other processes.
enum class TlsLocksFound { FREE, HELD, UNTRIED };
TlsLocksFound tlsLocksFound();

// Initialises the XML parser's platform once per process, with the default
// locale, and never terminates it. The library does so as it loads, after
// setting up OpenSSL (without its exit handler) and libcurl's global state;
// a call finds it done, unless that initialisation threw: then it is tried
// again, and what it throws is thrown.
void initializeXmlPlatform();

}  // namespace Quillomark::Soa::Common::Xml
