#include <soa/common/internal/XmlPlatform.hxx>

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <platform/os/internal/Forks.hxx>
#include <platform/os/internal/Time.hxx>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace Quillomark::Soa::Common::Xml {

namespace {

// Both constant-initialised: usable from the first call, also one that an
// application's static constructor makes before the library's own run.
std::once_flag librariesOnce;
std::once_flag xmlPlatformOnce;
// A handle of no settings but CURLOPT_NOSIGNAL, made once libcurl is set
// up and never ended: null when memory ran out then.
CURL* blankHandle = nullptr;
// Around each call of the library's that takes libcurl's process-wide
// spinlock once the library has loaded: a handle's making and its transfer
// without a URL, which allocate and make a local socket pair, and run no
// code of the application's. A fork waits for them.
Quillomark::Platform::Os::ForkRegion takingCurlsLock{
    Quillomark::Platform::Os::ForkRegion::SHORT_STEP};
// Set in a child forked while a thread of its parent was inside (the fork
// gave up waiting for it, or it gave up being held back), and kept
// by the processes it forks in turn: the spinlock may be held for good. A
// thread that came and went as the process forked does not count: the
// child has each thread's writes up to the first that the fork held up, so
// the release of the spinlock along with the leaving.
std::atomic<bool> curlLockLost{false};

void checkCurlLockInChild() {
    if (takingCurlsLock.insideAsCopied()) curlLockLost.store(true, std::memory_order_relaxed);
}

QMSOA_IN_CHILD_AFTER_FORK(curlLockInChild, checkCurlLockInChild);

// The library's transfers over TLS, in which OpenSSL takes its locks.
Quillomark::Platform::Os::ForkRegion overTls;

// OpenSSL's process-wide locks that a new TLS connection takes first, as
// this process found them: free in the process that loaded the library,
// untried in a child forked while another thread was in a transfer over
// TLS (or whose parent had not tried them yet) until its first HTTPS
// request tries them, and held in the children of a child that found them
// held. A trial under way stayed with the parent.
enum TlsLocks : int { FREE, UNTRIED, TRYING, HELD };
std::atomic<int> tlsLocks{FREE};

void checkTlsLocksInChild() {
    const int found = tlsLocks.load();
    if (found == TRYING || (found == FREE && overTls.insideAsCopied())) tlsLocks.store(UNTRIED);
}

QMSOA_IN_CHILD_AFTER_FORK(tlsLocksInChild, checkTlsLocksInChild);

// How long a child's HTTPS request waits for the trial at most. It takes a
// fraction of a millisecond, but for a lock held for good.
constexpr std::chrono::seconds TLS_LOCKS_WAIT{1};

// What libcurl takes first for a new TLS connection: the random
// generator's locks (RAND_status) and those of making a TLS context
// (the engines', the algorithms', the certificate store's and the extra
// data's), each for a moment. On a thread of its own, which one held for
// good keeps waiting.
void tryTheTlsLocks() {
    RAND_status();
    SSL_CTX_free(SSL_CTX_new(TLS_client_method()));
    tlsLocks.store(FREE);
    Quillomark::Platform::Os::wakeWaiters(tlsLocks);
}

struct HandleCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

// The libraries beneath are set up as the library loads, before a thread of
// the application's can use it, never on a first use after that: a fork
// while another thread set one of them up would leave the child with it
// half made (the XML parser's count of set-ups raised before its locks
// exist, libcurl's global spinlock held by a thread the child does not
// have), and glibc's rerun of an interrupted once in the child cannot
// repair either.
// Only a call that comes before the library's set-up (from an application's
// static constructor, in a static link) sets them up first.
void setUpLibrariesBeneath() {
    std::call_once(librariesOnce, [] {
        // OpenSSL's first set-up registers an exit handler that frees its
        // locks while threads may be in a TLS handshake; the set-up made
        // here, before libcurl's and before the one that the XML parser's
        // network accessor makes through libssh2, registers none. The
        // process's own memory goes at its end anyway.
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
        // A failed global set-up shows as a failed curl_easy_init. libcurl's
        // loads OpenSSL's configuration, which OpenSSL does once per process.
        // OpenSSL's random generator is left to the first use, the
        // application's or a handshake's: made here it would be OpenSSL's
        // default, and the application's own choice of generator, seed
        // source or provider would be refused or dropped from then on.
        curl_global_init(CURL_GLOBAL_DEFAULT);
        // OpenSSL's error strings of TLS: the first TLS context would load
        // them under their lock, which a child forked meanwhile would wait
        // for in its own. They choose nothing: an application that chose to
        // have none before the library loaded keeps that, and OpenSSL's
        // configuration was read above, once for the process.
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS, nullptr);
        // What new handles are copied from (newCurlHandle). Without
        // CURLOPT_NOSIGNAL, libcurl would change the process's SIGPIPE
        // disposition around a copy's first transfer there.
        blankHandle = curl_easy_init();
        if (blankHandle != nullptr) curl_easy_setopt(blankHandle, CURLOPT_NOSIGNAL, 1L);
    });
}

}  // namespace

CURL* newCurlHandle() {
    setUpLibrariesBeneath();
    if (curlLockLostInAFork()) return nullptr;
    // A copy only reads the blank handle, which nothing changes: threads
    // copy it at once, and a child whatever its parent's threads did.
    std::unique_ptr<CURL, HandleCleanup> handle(
        blankHandle != nullptr ? curl_easy_duphandle(blankHandle) : nullptr);
    {
        const Quillomark::Platform::Os::ForkRegion::Scope locking(takingCurlsLock);
        if (blankHandle == nullptr) {
            handle.reset(curl_easy_init());
            // As the blank handle has it.
            if (handle && curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L) != CURLE_OK) {
                return nullptr;
            }
        }
        // A handle's first transfer makes what the handle keeps its
        // connections in, and with it a handle of libcurl's own, by
        // curl_easy_init. A transfer without a URL makes that, then ends as
        // it begins, refused, with no name resolved and nothing connected
        // (libcurl makes its own pair of local sockets): any other outcome
        // is a failed allocation, and nothing made is kept.
        if (!handle || curl_easy_perform(handle.get()) != CURLE_URL_MALFORMAT) return nullptr;
    }
    // No settings, but what the transfer made, which the handle keeps.
    curl_easy_reset(handle.get());
    return handle.release();
}

bool curlLockLostInAFork() { return curlLockLost.load(std::memory_order_relaxed); }

Quillomark::Platform::Os::ForkRegion& transfersOverTls() { return overTls; }

TlsLocksFound tlsLocksFound() {
    if (tlsLocks.load() == FREE) return TlsLocksFound::FREE;
    int state = UNTRIED;
    if (tlsLocks.compare_exchange_strong(state, TRYING)) {
        try {
            std::thread(tryTheTlsLocks).detach();
        } catch (const std::system_error&) {
            // No thread to try them with (the process is at its limit of
            // threads): untried, and no request goes on so, as it could
            // wait for good. The next one tries again.
            tlsLocks.store(UNTRIED);
            return TlsLocksFound::UNTRIED;
        } catch (...) {
            tlsLocks.store(UNTRIED);  // no memory: the next request tries again
            throw;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + TLS_LOCKS_WAIT;
    while ((state = tlsLocks.load()) == TRYING && std::chrono::steady_clock::now() < deadline) {
        Quillomark::Platform::Os::waitWhileEqual(tlsLocks, TRYING, deadline);
    }
    if (state == TRYING) tlsLocks.compare_exchange_strong(state, HELD);
    switch (tlsLocks.load()) {
        case FREE: return TlsLocksFound::FREE;
        case UNTRIED:  // another request's trial could not start
            return TlsLocksFound::UNTRIED;
        default: return TlsLocksFound::HELD;
    }
}

void initializeXmlPlatform() {
    setUpLibrariesBeneath();
    std::call_once(xmlPlatformOnce, [] {
        xercesc::XMLPlatformUtils::Initialize(xercesc::XMLUni::fgXercescDefaultLocale, nullptr,
                                              nullptr, nullptr);
    });
}

namespace {

[[maybe_unused]] const bool librariesSetUp = [] {
    try {
        initializeXmlPlatform();
    } catch (...) {
        // Tried again, and thrown, by the first session manager or parser.
    }
    return true;
}();

}  // namespace

}  // namespace Quillomark::Soa::Common::Xml
