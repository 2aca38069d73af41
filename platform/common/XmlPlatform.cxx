#include <soa/common/internal/XmlPlatform.hxx>

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <mutex>

namespace Quillomark::Soa::Common::Xml {

namespace {

// Both constant-initialised: usable from the first call, also one that an
// application's static constructor makes before the library's own run.
std::once_flag librariesOnce;
std::once_flag xmlPlatformOnce;
// A handle of no settings, made once libcurl is set up and never ended:
// null when memory ran out then.
CURL* blankHandle = nullptr;

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
        // What new handles are copied from (newCurlHandle).
        blankHandle = curl_easy_init();
    });
}

}  // namespace

CURL* newCurlHandle() {
    setUpLibrariesBeneath();
    if (blankHandle == nullptr) return curl_easy_init();
    // A copy only reads the blank handle, which nothing changes: threads
    // copy it at once, and a child whatever its parent's threads did.
    CURL* const handle = curl_easy_duphandle(blankHandle);
    if (handle != nullptr) curl_easy_reset(handle);
    return handle;
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
