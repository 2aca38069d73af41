#include <soa/client/HttpRestSender.hxx>

#include <platform/crypto/QmCrypto.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/internal/CutReply.hxx>
#include <soa/client/internal/RequestName.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>

#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>

namespace Quillomark::Soa::Client {

namespace Exceptions = Quillomark::Schemas::Soa::_2006_03::Exceptions;

namespace {

// The first HTTP sender of the process initialises the crypto library; it
// is tried once, whatever the outcome, also when the first senders are made
// on several threads at once.
std::once_flag cryptoOnce;

// libcurl's callbacks take a void* target; this adapts them to writeCallback.
std::size_t receive(char* data, std::size_t size, std::size_t count, void* target) {
    return HttpRestSender::writeCallback(data, size, count, static_cast<std::string*>(target));
}

// libcurl's global state is set up once, before the first handle.
void initCurlOnce() {
    static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)result;  // a failed global setup shows as a failed curl_easy_init
}

// A checked name as one segment of the URL's path: only "%" is escaped, so
// that a server that decodes the path reads the name as it was.
std::string pathSegment(const std::string& name) {
    std::string segment;
    for (const char c : name) {
        if (c == '%') {
            segment += "%25";
        } else {
            segment += c;
        }
    }
    return segment;
}

struct HeaderListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

}  // namespace

HttpRestSender::HttpRestSender(SessionManager* sessionManager)
    : RestSender(sessionManager), address(sessionManager->getHostPath()) {
    initCrypto();
    initCurlOnce();
    curlHandle = curl_easy_init();
    if (curlHandle == nullptr) {
        throw Exceptions::ProtocolException("Could not initialize libcurl.");
    }
    // An empty cookie file turns the cookie engine on without reading a file.
    curl_easy_setopt(curlHandle, CURLOPT_COOKIEFILE, "");
    // Signal dispositions belong to the application. Without this libcurl
    // ignores SIGPIPE around each transfer and restores it afterwards, process-
    // wide, and transfers on two threads restore each other's "ignore" over
    // the application's handler. It resolves names on a thread of its own
    // and sends with MSG_NOSIGNAL, so no SIGPIPE arrives without it either.
    curl_easy_setopt(curlHandle, CURLOPT_NOSIGNAL, 1L);
}

HttpRestSender::~HttpRestSender() {
    curl_easy_cleanup(curlHandle);
    curlHandle = nullptr;
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

    curl_easy_setopt(curlHandle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curlHandle, CURLOPT_POST, 1L);
    curl_easy_setopt(curlHandle, CURLOPT_POSTFIELDS, request.data());
    // With its length the body is sent whole, also past a NUL byte.
    curl_easy_setopt(curlHandle, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.size()));
    curl_easy_setopt(curlHandle, CURLOPT_WRITEFUNCTION, &receive);
    curl_easy_setopt(curlHandle, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(curlHandle, CURLOPT_HEADERFUNCTION, &receive);
    curl_easy_setopt(curlHandle, CURLOPT_HEADERDATA, &replyHeaders);
    curl_easy_setopt(curlHandle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curlHandle, CURLOPT_TIMEOUT,
                     std::atol(sessionManager->getOption(Connection::TIMEOUT).c_str()));

    // The handle keeps its settings between requests, so the certificate
    // check and the proxy are set on every request from the current options:
    // turning the check back on, or clearing the proxy, takes effect.
    const bool verifyPeer = sessionManager->getOption(Connection::SSL_VERIFY_PEER) != "false";
    curl_easy_setopt(curlHandle, CURLOPT_SSL_VERIFYPEER, verifyPeer ? 1L : 0L);

    const std::string proxyHost = sessionManager->getOption(Connection::PROXY_HOST);
    std::string proxyLogin;
    if (!proxyHost.empty()) {
        const std::string user = sessionManager->getOption(Connection::PROXY_USER);
        const std::string password = sessionManager->getOption(Connection::PROXY_PASSWORD);
        if (!user.empty() && !password.empty()) proxyLogin = user + ":" + password;
    }
    // Null restores libcurl's default (the proxy of the environment, if any).
    curl_easy_setopt(curlHandle, CURLOPT_PROXY, proxyHost.empty() ? nullptr : proxyHost.c_str());
    curl_easy_setopt(curlHandle, CURLOPT_PROXYUSERPWD,
                     proxyLogin.empty() ? nullptr : proxyLogin.c_str());

    char failure[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curlHandle, CURLOPT_ERRORBUFFER, failure);

    const CURLcode transfer = curl_easy_perform(curlHandle);
    long status = 0;
    curl_easy_getinfo(curlHandle, CURLINFO_RESPONSE_CODE, &status);

    // Nothing that lives only in this call stays reachable from the handle.
    curl_easy_setopt(curlHandle, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curlHandle, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(curlHandle, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(curlHandle, CURLOPT_HEADERDATA, nullptr);
    curl_easy_setopt(curlHandle, CURLOPT_ERRORBUFFER, nullptr);

    // The status decides; a transfer that failed after one of the statuses
    // of a reply (the connection closed early, a broken chunk, the time-out)
    // leaves a body cut short, which may still read as a whole document:
    // it is no reply, and is not parsed, however much of it arrived.
    if (status == 0) {
        throw Exceptions::ConnectionException("Failed to connect to the server: " + address);
    }
    if (status != 200 && status != 401 && status != 500) {
        throw Exceptions::ProtocolException("Unexpected http response: \n" + response);
    }
    if (transfer != CURLE_OK) {
        throw CutReplyException(std::string("The reply was cut short: ") +
                                (failure[0] != '\0' ? failure : curl_easy_strerror(transfer)));
    }
}

}  // namespace Quillomark::Soa::Client
