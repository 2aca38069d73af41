#pragma once

#include <soa/client/RestSender.hxx>

#include <cstddef>
#include <string>

// libcurl's easy and share handles, declared as libcurl's own header
// declares them, so that this header does not need libcurl's.
typedef void CURL;
typedef void CURLSH;

namespace Quillomark::Soa::Client {

// The transport of a session over HTTP: posts each request document to
// <host>/RestServices/<service>/<operation> and hands back the reply body.
// One libcurl handle serves the requests of the sender while the proxy and
// its login stay as they are, so connections carry from one request to the
// next; another proxy or login takes a new handle, and the old one closes
// its connections. The cookies (and with them the server session) are kept
// in a store that the sender's handles share. A process forked from the one
// that made the handle takes a new handle for its first request and leaves
// the old one, with the connections it shares with that process, untouched.
// libcurl counts the requests it sends again after a kept-alive connection
// closed unanswered over the handle's life, and gives up at the sixth: such
// a request goes once more on a new handle.
class HttpRestSender : public RestSender {
public:
    // Initialises the crypto library once per process; throws
    // ProtocolException when that, or making the libcurl handle, fails, and
    // RuntimeException (GENERAL_ERROR) when libcurl refuses a setting of
    // the handle, or in a process forked while another thread of its parent
    // was setting one up (libcurl's lock for that may be held for good). A
    // request with another proxy or login, or a forked child's first, may
    // throw the same, sending nothing, when it makes its new handle.
    explicit HttpRestSender(SessionManager* sessionManager);
    ~HttpRestSender() override;

    // Throws RuntimeException (GENERAL_ERROR), sending nothing, for a name
    // that a transport cannot carry as it is (checkRequestName), a TIMEOUT
    // that is no whole number of seconds from 0 to 2147483, a proxy login
    // with a NUL byte or a user with a colon, or a setting or proxy login
    // libcurl refuses; ConnectionException
    // without a status (the host path, then libcurl's reason on a line of
    // its own); ProtocolException for a status other than 200, 401 and 500,
    // and for a reply cut short after one of those; std::bad_alloc where
    // memory ran out, also as the reply arrived, after which the connection
    // serves the next request.
    void send(const std::string& service, const std::string& operation, const std::string& request,
              std::string& response) override;

    // Appends size * count bytes to `target` and returns their number; with
    // no target it returns 0, which makes libcurl fail the transfer.
    static std::size_t writeCallback(const char* data, std::size_t size, std::size_t count,
                                     std::string* target);

private:
    void initCrypto();
    // A new handle on the same cookie store in place of the one there.
    void replaceHandle();

    CURLSH* cookies = nullptr;
    CURL* curlHandle = nullptr;
    // The count of forks (forksSoFar) of the process that made the handle.
    unsigned handleGeneration = 0;
    // The proxy and login that the handle's connections were made with:
    // empty for the environment's proxy, if any.
    std::string handleProxy;
    std::string address;
};

}  // namespace Quillomark::Soa::Client
