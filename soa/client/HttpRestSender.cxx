#include <soa/client/HttpRestSender.hxx>

#include <platform/crypto/QmCrypto.hxx>
#include <platform/os/internal/Environment.hxx>
#include <platform/os/internal/Forks.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/internal/CutReply.hxx>
#include <soa/client/internal/RequestName.hxx>
#include <soa/common/internal/XmlPlatform.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>

#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>

#include <strings.h>
#include <sys/socket.h>

namespace Quillomark::Soa::Client {

namespace Exceptions = Quillomark::Schemas::Soa::_2006_03::Exceptions;

namespace {

// The first HTTP sender of the process initialises the crypto library; it
// is tried once, whatever the outcome, also when the first senders are made
// on several threads at once.
std::once_flag cryptoOnce;

// What a transfer's callback writes into, and what it caught there.
struct Received {
    std::string* text;
    std::exception_ptr failure;
};

// libcurl's callbacks take a void* target; this adapts them to writeCallback.
// libcurl's frames are C, which no exception may cross: what writeCallback
// throws (std::bad_alloc) is kept, and a count other than the bytes handed
// over stops the transfer; the sender throws it once libcurl returned.
std::size_t receive(char* data, std::size_t size, std::size_t count, void* target) noexcept {
    auto* received = static_cast<Received*>(target);
    if (received == nullptr) return 0;  // a transfer the sender left: stopped
    try {
        return HttpRestSender::writeCallback(data, size, count, received->text);
    } catch (...) {
        received->failure = std::current_exception();
        return 0;
    }
}

// Every socket of a connection is closed in a program that the process
// runs: libcurl makes them without close-on-exec, so that a program run
// after the connection ended would hold the kept-alive connection to the
// server for its life.
curl_socket_t openSocket(void* /* unused */, curlsocktype /* purpose */,
                         curl_sockaddr* address) noexcept {
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// A checked name as one segment of the URL's path: each byte that a path
// may not hold as it is ("%" too, and any of "\"<>[\\]^`{|}") goes
// percent-escaped, so that a strict server takes the path and one that
// decodes it reads the name as it was.
std::string pathSegment(const std::string& name) {
    static constexpr std::string_view kept =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~!$&'()*+,;=:@";
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string segment;
    for (const char c : name) {
        if (kept.find(c) != std::string_view::npos) {
            segment += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            segment += {'%', hex[byte >> 4], hex[byte & 0xF]};
        }
    }
    return segment;
}

// The longest time-out that libcurl takes, in seconds: it counts in
// milliseconds of an int.
constexpr long LONGEST_TIMEOUT = INT_MAX / 1000;

// The option TIMEOUT as libcurl takes it. Any other text (a blank, a sign, a
// fraction, a number beyond libcurl's bound) is refused: libcurl would keep
// the handle's earlier time-out, and reading it leniently would make it
// some other limit, or none.
long timeoutSeconds(const std::string& text) {
    long seconds = 0;
    bool taken = !text.empty();
    for (const char c : text) {
        if (c < '0' || c > '9' || seconds > (LONGEST_TIMEOUT - (c - '0')) / 10) {
            taken = false;
            break;
        }
        seconds = seconds * 10 + (c - '0');
    }
    if (!taken) {
        throw RuntimeException(RuntimeException::GENERAL_ERROR,
                               "The TIMEOUT option \"" + text +
                                   "\" is not a whole number of seconds from 0 to " +
                                   std::to_string(LONGEST_TIMEOUT));
    }
    return seconds;
}

// One setting of the handle; a setting that libcurl refuses ends the
// request before anything is sent, rather than leaving the handle as an
// earlier request set it.
template <typename Value>
void set(CURL* handle, CURLoption option, Value value) {
    const CURLcode result = curl_easy_setopt(handle, option, value);
    if (result != CURLE_OK) {
        const curl_easyoption* known = curl_easy_option_by_id(option);
        throw RuntimeException(RuntimeException::GENERAL_ERROR,
                               std::string("libcurl refused the setting ") +
                                   (known != nullptr ? known->name : std::to_string(option)) +
                                   ": " + curl_easy_strerror(result));
    }
}

// A NUL byte cannot be part of the proxy's user or password, nor a colon of
// the user: Basic credentials end the user at the first colon, and the proxy
// would read another user and password.
void checkProxyCredential(const std::string& text, const char* option, bool user) {
    if (text.find('\0') != std::string::npos) {
        throw RuntimeException(RuntimeException::GENERAL_ERROR,
                               std::string("The ") + option +
                                   " option holds a NUL byte, which a proxy login cannot carry");
    }
    if (user && text.find(':') != std::string::npos) {
        throw RuntimeException(
            RuntimeException::GENERAL_ERROR,
            std::string("The ") + option +
                " option holds a colon, which a proxy login's user cannot carry");
    }
}

struct HeaderListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

struct HandleDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

struct ShareDeleter {
    void operator()(CURLSH* share) const { curl_share_cleanup(share); }
};

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// A text that libcurl made, as a string; libcurl's copy is freed.
std::string taken(char* text) {
    const std::string copy = text;
    curl_free(text);
    return copy;
}

// HTTP's Basic credentials: `text` in base64.
std::string base64(const std::string& text) {
    static constexpr char digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    for (std::size_t at = 0; at < text.size(); at += 3) {
        const std::size_t bytes = std::min<std::size_t>(3, text.size() - at);
        unsigned long group = 0;
        for (std::size_t i = 0; i < 3; ++i) {
            group = group << 8 | (i < bytes ? static_cast<unsigned char>(text[at + i]) : 0u);
        }
        for (std::size_t i = 0; i < 4; ++i) {
            encoded += i <= bytes ? digits[group >> (18 - 6 * i) & 0x3F] : '=';
        }
    }
    return encoded;
}

// An explicit proxy and how its login travels, so that every attempt of a
// request carries the login exactly as set. libcurl percent-decodes a login
// that it was given as options on each connection and keeps the decoded
// text, so that a transfer that tries again on a new connection (a
// kept-alive one that closed unanswered) would send it decoded once more.
struct Proxy {
    std::string url;
    HeaderList header;  // an HTTP proxy's login
    bool keepConnection = true;
};

Proxy withLogin(const std::string& proxy, const std::string& user, const std::string& password) {
    Proxy result{proxy, nullptr, true};
    const std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
    if (!url) throw std::bad_alloc();
    // Read as libcurl reads it. A proxy that libcurl cannot read, or of a
    // kind it has not, gets no login: libcurl refuses it before anything is
    // sent, and names it as it was set.
    char* text = nullptr;
    if (curl_url_set(url.get(), CURLUPART_URL, proxy.c_str(),
                     CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK ||
        curl_url_get(url.get(), CURLUPART_SCHEME, &text, 0) != CURLUE_OK) {
        return result;
    }
    const std::string scheme = taken(text);
    if (scheme == "http" || scheme == "https") {
        // A header that the library makes itself, which libcurl sends to the
        // proxy only (for an https:// host path, in the CONNECT), never to
        // the server.
        const std::string header = "Proxy-Authorization: Basic " + base64(user + ":" + password);
        result.header.reset(curl_slist_append(nullptr, header.c_str()));
        if (!result.header) throw std::bad_alloc();
    } else if (scheme == "socks5" || scheme == "socks5h" || scheme == "socks4" ||
               scheme == "socks4a" || scheme == "socks") {  // socks: SOCKS4 to libcurl
        // In the URL, escaped, which libcurl decodes afresh for each
        // connection. Before that, a retry decodes the text that it kept
        // once more, and fails where that holds "%00": such a login's
        // connection is not kept for a later request, so there is no retry.
        CURLUcode done = curl_url_set(url.get(), CURLUPART_USER, user.c_str(), CURLU_URLENCODE);
        if (done == CURLUE_OK) {
            done = curl_url_set(url.get(), CURLUPART_PASSWORD, password.c_str(), CURLU_URLENCODE);
        }
        if (done == CURLUE_OK) done = curl_url_get(url.get(), CURLUPART_URL, &text, 0);
        if (done != CURLUE_OK) {
            throw RuntimeException(
                RuntimeException::GENERAL_ERROR,
                std::string("libcurl refused the proxy's login: ") + curl_url_strerror(done));
        }
        result.url = taken(text);
        result.keepConnection =
            user.find("%00") == std::string::npos && password.find("%00") == std::string::npos;
    }
    return result;
}

// Ends a handle that the sender no longer uses: one made in this process is
// cleaned up, closing its connections (over TLS, with OpenSSL's locks,
// which a fork meanwhile must be told of). One that a forked child found is
// left alone: cleaning it up would close connections that the parent still
// uses (over TLS, writing a close alert into the parent's stream), and a
// parent thread may have been in the middle of a transfer on it at the fork.
void retire(CURL* handle, unsigned generation) {
    if (generation == Quillomark::Platform::Os::forksSoFar()) {
        const Quillomark::Platform::Os::ForkRegion::Scope ending(
            Quillomark::Soa::Common::Xml::transfersOverTls());
        curl_easy_cleanup(handle);
    } else {
        Quillomark::Platform::Os::leaveAlone(handle);
    }
}

bool secure(const std::string& url) { return ::strncasecmp(url.c_str(), "https:", 6) == 0; }

// Whether the proxy that libcurl takes from the environment for a plain
// http:// server, where the connection names none, is reached over TLS
// (whatever no_proxy says: a trial too many costs little).
bool environmentsProxyOverTls() {
    for (const char* name : {"http_proxy", "all_proxy", "ALL_PROXY"}) {
        const std::string value = Quillomark::Platform::Os::environmentValue(name);
        if (!value.empty()) return secure(value);
    }
    return false;
}

// A handle with the settings that every request keeps.
std::unique_ptr<CURL, HandleDeleter> newHandle(CURLSH* cookies) {
    namespace Xml = Quillomark::Soa::Common::Xml;
    std::unique_ptr<CURL, HandleDeleter> handle(Xml::newCurlHandle());
    if (!handle && Xml::curlLockLostInAFork()) {
        throw RuntimeException(
            RuntimeException::GENERAL_ERROR,
            "HTTP cannot be used in a process forked while another thread of its parent was "
            "setting up a libcurl handle: libcurl's lock for that may be held in the child for "
            "good. Run a new program in the child for HTTP.");
    }
    if (!handle) throw Exceptions::ProtocolException("Could not initialize libcurl.");
    set(handle.get(), CURLOPT_SHARE, cookies);
    // An empty cookie file turns the cookie engine on without reading a file.
    set(handle.get(), CURLOPT_COOKIEFILE, "");
    // Signal dispositions belong to the application. Without this libcurl
    // ignores SIGPIPE around each transfer and restores it afterwards, process-
    // wide, and transfers on two threads restore each other's "ignore" over
    // the application's handler. It resolves names on a thread of its own
    // and sends with MSG_NOSIGNAL, so no SIGPIPE arrives without it either.
    set(handle.get(), CURLOPT_NOSIGNAL, 1L);
    // The request's headers go to the server only, the proxy's to the proxy
    // only (both to a proxy that forwards a plain http:// request).
    set(handle.get(), CURLOPT_HEADEROPT, static_cast<long>(CURLHEADER_SEPARATE));
    set(handle.get(), CURLOPT_OPENSOCKETFUNCTION, &openSocket);
    return handle;
}

}  // namespace

HttpRestSender::HttpRestSender(SessionManager* sessionManager)
    : RestSender(sessionManager), address(sessionManager->getHostPath()) {
    initCrypto();
    // libcurl's global state was set up as the library loaded.
    // The connection is used by one thread at a time, and so are the
    // handles that share the store: it needs no locks.
    std::unique_ptr<CURLSH, ShareDeleter> share(curl_share_init());
    if (!share ||
        curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) != CURLSHE_OK) {
        throw Exceptions::ProtocolException("Could not initialize libcurl.");
    }
    curlHandle = newHandle(share.get()).release();
    handleGeneration = Quillomark::Platform::Os::forksSoFar();
    cookies = share.release();
}

HttpRestSender::~HttpRestSender() {
    retire(curlHandle, handleGeneration);
    // Still in use by a handle left alone after a fork, the store stays.
    curl_share_cleanup(cookies);
}

void HttpRestSender::replaceHandle() {
    CURL* const previous = curlHandle;
    curlHandle = newHandle(cookies).release();
    retire(previous, handleGeneration);
    handleGeneration = Quillomark::Platform::Os::forksSoFar();
}

void HttpRestSender::initCrypto() {
    // Only the sender that made the attempt hears of its failure; the others
    // are made without trying again.
    bool refused = false;
    std::call_once(cryptoOnce, [this, &refused] {
        const int mode = sessionManager->getOption(Connection::CRYPTO_MODE) == "FIPS" ? 2 : 1;
        refused = QmCrypto_System_Initialize(mode) == 0;
    });
    if (refused) {
        throw Exceptions::ProtocolException("Could not initialize QmCrypto library.");
    }
}

std::size_t HttpRestSender::writeCallback(const char* data, std::size_t size, std::size_t count,
                                          std::string* target) {
    if (target == nullptr) return 0;
    const std::size_t length = size * count;
    target->append(data, length);
    return length;
}

void HttpRestSender::send(const std::string& service, const std::string& operation,
                          const std::string& request, std::string& response) {
    checkRequestName(service);
    checkRequestName(operation);
    const std::string url =
        address + "/RestServices/" + pathSegment(service) + "/" + pathSegment(operation);
    // An empty Expect header keeps libcurl from waiting for "100 Continue"
    // before a large body.
    HeaderList headers(curl_slist_append(nullptr, "Expect:"));
    if (!headers) throw std::bad_alloc();
    std::string replyHeaders;  // gathered, not used

    const long timeout = timeoutSeconds(sessionManager->getOption(Connection::TIMEOUT));
    const bool verifyPeer = sessionManager->getOption(Connection::SSL_VERIFY_PEER) != "false";
    // A login goes with an explicit proxy only, when either part is set: an
    // empty password goes with its user. A proxy that libcurl takes from the
    // environment gets the login its URL holds, if any.
    Proxy proxy{sessionManager->getOption(Connection::PROXY_HOST), nullptr, true};
    if (!proxy.url.empty()) {
        const std::string user = sessionManager->getOption(Connection::PROXY_USER);
        const std::string password = sessionManager->getOption(Connection::PROXY_PASSWORD);
        checkProxyCredential(user, "PROXY_USER", true);
        checkProxyCredential(password, "PROXY_PASSWORD", false);
        if (!user.empty() || !password.empty()) proxy = withLogin(proxy.url, user, password);
    }
    // libcurl takes a kept connection to the same proxy whatever login the
    // header carries, and a tunnel's CONNECT carried the login of the
    // request that opened it: a request with another proxy or login takes a
    // new handle, and the old one closes every connection it kept. So does
    // the first request of a forked child, whose connections the parent
    // shares: replies to both would come on them, each read by either.
    std::string via = proxy.url;
    if (proxy.header) (via += '\0') += proxy.header->data;
    if (via != handleProxy || handleGeneration != Quillomark::Platform::Os::forksSoFar()) {
        replaceHandle();
        handleProxy = std::move(via);
    }
    std::optional<Quillomark::Platform::Os::ForkRegion::Scope> overTls;
    if (secure(address) || (proxy.url.empty() ? environmentsProxyOverTls() : secure(proxy.url))) {
        namespace Xml = Quillomark::Soa::Common::Xml;
        switch (Xml::tlsLocksFound()) {
            case Xml::TlsLocksFound::FREE: break;
            case Xml::TlsLocksFound::HELD:
                throw RuntimeException(
                    RuntimeException::GENERAL_ERROR,
                    "HTTPS cannot be used in a process forked while another thread of its parent "
                    "held a lock of OpenSSL's that a TLS connection takes: it is held in the child "
                    "for good. Run a new program in the child for HTTPS.");
            case Xml::TlsLocksFound::UNTRIED:
                throw RuntimeException(
                    RuntimeException::GENERAL_ERROR,
                    "HTTPS cannot be used yet in a process forked while another thread of its "
                    "parent was in an HTTPS request: no thread could be started to try the locks "
                    "of "
                    "OpenSSL's that a TLS connection takes. Try again once the process can start a "
                    "thread.");
        }
        overTls.emplace(Xml::transfersOverTls());
    }
    char failure[CURL_ERROR_SIZE] = "";
    CURLcode transfer = CURLE_OK;
    long status = 0;
    long connects = 0;

    // One transfer on the handle. Nothing that lives only in this call stays
    // reachable from the handle, however the call ends.
    const auto attempt = [&] {
        struct Detach {
            CURL* handle;
            ~Detach() {
                curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);
                curl_easy_setopt(handle, CURLOPT_PROXYHEADER, nullptr);
                curl_easy_setopt(handle, CURLOPT_POSTFIELDS, nullptr);
                curl_easy_setopt(handle, CURLOPT_WRITEDATA, nullptr);
                curl_easy_setopt(handle, CURLOPT_HEADERDATA, nullptr);
                curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, nullptr);
            }
        } detach{curlHandle};

        set(curlHandle, CURLOPT_URL, url.c_str());
        set(curlHandle, CURLOPT_POST, 1L);
        set(curlHandle, CURLOPT_POSTFIELDS, request.data());
        // With its length the body is sent whole, also past a NUL byte.
        set(curlHandle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.size()));
        Received body{&response, nullptr};
        Received head{&replyHeaders, nullptr};
        set(curlHandle, CURLOPT_WRITEFUNCTION, &receive);
        set(curlHandle, CURLOPT_WRITEDATA, &body);
        set(curlHandle, CURLOPT_HEADERFUNCTION, &receive);
        set(curlHandle, CURLOPT_HEADERDATA, &head);
        set(curlHandle, CURLOPT_HTTPHEADER, headers.get());
        set(curlHandle, CURLOPT_TIMEOUT, timeout);

        // The handle keeps its settings between requests, so the certificate
        // check and the proxy are set on every request from the current options:
        // turning the check back on, or clearing the proxy, takes effect.
        set(curlHandle, CURLOPT_SSL_VERIFYPEER, verifyPeer ? 1L : 0L);
        // Null restores libcurl's default: the proxy of the environment, if any,
        // for the hosts that the environment's NO_PROXY does not exempt. An
        // explicit proxy carries every request ("" exempts no host).
        set(curlHandle, CURLOPT_PROXY, proxy.url.empty() ? nullptr : proxy.url.c_str());
        set(curlHandle, CURLOPT_NOPROXY, proxy.url.empty() ? nullptr : "");
        set(curlHandle, CURLOPT_PROXYHEADER, proxy.header.get());
        set(curlHandle, CURLOPT_FORBID_REUSE, proxy.keepConnection ? 0L : 1L);
        set(curlHandle, CURLOPT_ERRORBUFFER, failure);

        failure[0] = '\0';
        transfer = curl_easy_perform(curlHandle);
        // libcurl has let go of the transfer, and the handle serves the next.
        for (const Received* received : {&body, &head}) {
            if (received->failure) std::rethrow_exception(received->failure);
        }
        status = 0;
        curl_easy_getinfo(curlHandle, CURLINFO_RESPONSE_CODE, &status);
        connects = 0;
        curl_easy_getinfo(curlHandle, CURLINFO_NUM_CONNECTS, &connects);
    };
    attempt();
    // A kept connection that closed unanswered makes libcurl send the
    // request again on a new one, but it counts those retries over the life
    // of the handle and gives up at the sixth, however far apart they came.
    // Such a give-up on a kept connection is tried once more on a handle of
    // its own, whose count starts afresh: a send error without a status in a
    // transfer that made no connection. A failure on that new connection is
    // the request's.
    if (transfer == CURLE_SEND_ERROR && status == 0 && connects == 0) {
        response.clear();
        replyHeaders.clear();
        replaceHandle();
        attempt();
    }
    const std::string reason = failure[0] != '\0'     ? failure
                               : transfer != CURLE_OK ? curl_easy_strerror(transfer)
                                                      : "";

    // The status decides; a transfer that failed after one of the statuses
    // of a reply (the connection closed early, a broken chunk, the time-out)
    // leaves a body cut short, which may still read as a whole document:
    // it is no reply, and is not parsed, however much of it arrived.
    // Without a status, libcurl's reason (a certificate, a proxy, a refused
    // port) follows the host path on a line of its own.
    if (status == 0) {
        throw Exceptions::ConnectionException("Failed to connect to the server: " + address +
                                              (reason.empty() ? "" : "\n" + reason));
    }
    if (status != 200 && status != 401 && status != 500) {
        throw Exceptions::ProtocolException("Unexpected http response: \n" + response);
    }
    if (transfer != CURLE_OK) throw CutReplyException("The reply was cut short: " + reason);
}

}  // namespace Quillomark::Soa::Client
