#pragma once

#include <soa/client/RestSender.hxx>

#include <memory>
#include <string>

namespace Quillomark::Soa::Client {

class SessionManager;

// Carries requests over IIOP: every request is one call of invokeMethod on
// the server's gateway object, named by the session's host path. Nothing is
// contacted until the first send.
class IiopRestSender : public RestSender {
public:
    // The CORBA state of one sender: its share of the ORB and the gateway
    // reference. Inside this class the name hides the client's Connection.
    struct Connection;

    explicit IiopRestSender(SessionManager* sessionManager);
    ~IiopRestSender() override;

    // Connects on first use, then sends the request bytes unchanged and
    // stores every byte of the reply. Throws RuntimeException (GENERAL_ERROR),
    // contacting nothing, for a name that a transport cannot carry as it is
    // (checkRequestName) and in a process forked after the library made its
    // ORB (GatewayOrb::refuseInheritedOrb); ConnectionException when the
    // gateway cannot be reached and ProtocolException when the call fails.
    void send(const std::string& service, const std::string& operation, const std::string& request,
              std::string& response) override;

private:
    void connect(const std::string& address);

    std::unique_ptr<Connection> connection;
    std::string address;
};

}  // namespace Quillomark::Soa::Client
