#pragma once

#include <soa/common/Export.hxx>

#include <string>

namespace Quillomark::Soa::Common::Xml {
class SAXToNodeParser;
}

namespace Quillomark::Soa::Client {

class SessionManager;

// Carries a request to the server and its reply back: encodes the request,
// hands it to the transport of the subclass, parses the reply, maps faults
// to exceptions, repairs what can be repaired and records the session's own
// requests.
class QMSOA_API RestSender {
public:
    explicit RestSender(SessionManager* sessionManager);

    // Sends one request and leaves the parsed reply in `parser`.
    virtual void invoke(const std::string& service, const std::string& operation,
                        const std::string& request,
                        Quillomark::Soa::Common::Xml::SAXToNodeParser& parser);
    // The transport: sends the request bytes and stores the reply bytes in
    // `response`. Throws ConnectionException or ProtocolException.
    virtual void send(const std::string& service, const std::string& operation,
                      const std::string& request, std::string& response) = 0;
    virtual ~RestSender();

    RestSender(const RestSender&) = delete;
    RestSender& operator=(const RestSender&) = delete;

protected:
    SessionManager* sessionManager;

private:
    void snoopSessionRequest(const std::string& service, const std::string& operation,
                             const std::string& request);
};

}  // namespace Quillomark::Soa::Client
