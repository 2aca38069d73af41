#pragma once

#include <soa/client/Connection.hxx>
#include <soa/common/Export.hxx>

#include <map>
#include <memory>
#include <string>

namespace Quillomark::Schemas::Soa::_2006_03::Exceptions {
class SoaException;
}

namespace Quillomark::Soa::Client {

class CredentialManager;
class ExceptionHandler;
class RestSender;
class ServiceStub;

// The state of one connection's session with its server: host path,
// credential manager, protocol, exception handler, options, object-property
// policies, the sender and the registry of service stubs.
class QMSOA_API SessionManager {
public:
    SessionManager(Connection* connection, const std::string& hostPath,
                   CredentialManager* credentialManager, Connection::Protocol protocol,
                   Connection::Binding binding, bool flag);
    ~SessionManager();
    SessionManager(const SessionManager&) = delete;
    SessionManager& operator=(const SessionManager&) = delete;

    // The connection's session manager; the argument must be a live connection.
    static SessionManager* getSessionManager(Connection* connection);

    const std::string& getHostPath() const { return hostPath; }
    CredentialManager* getCredentialManager() { return credentialManager; }
    Connection::Protocol getProtocol() const { return protocol; }
    Connection::Binding getBinding() const { return binding; }

    void setOption(Connection::Option option, const std::string& value);
    // An option never set reads as "" (and is present with that value from then on).
    std::string getOption(Connection::Option option);

    std::string getCurrentPolicy() const { return currentPolicy; }
    std::string getPreviousPolicy() const { return previousPolicy; }
    void setCurrentPolicy(const std::string& policyName);

    void setExceptionHandler(ExceptionHandler* handler) { exceptionHandler = handler; }
    ExceptionHandler* getExceptionHandler() { return exceptionHandler; }

    // The session's sender, made on first use: IIOP for the IIOP protocol,
    // HTTP for every other value.
    RestSender* getRestSender();

    // Takes ownership of the stub; a stub replaced under the same name is
    // no longer owned.
    void registerService(const std::string& name, ServiceStub* stub);
    ServiceStub* getService(const std::string& name);

    // Logs the session in again after `cause`. What the exception handler
    // throws for a request of the re-login leaves to the caller.
    void login(Quillomark::Schemas::Soa::_2006_03::Exceptions::SoaException& cause);

    void setUserPassword(const std::string& user, const std::string& password,
                         const std::string& discriminator);
    void setGroupRole(const std::string& group, const std::string& role);

private:
    SessionManager();

    std::string hostPath;
    CredentialManager* credentialManager = nullptr;
    Connection::Protocol protocol = Connection::HTTP;
    Connection::Binding binding = Connection::REST;
    ExceptionHandler* exceptionHandler = nullptr;
    Connection* connection = nullptr;
    std::string currentPolicy;
    std::string previousPolicy;
    std::unique_ptr<RestSender> restSender;
    std::map<std::string, ServiceStub*> services;
    std::map<Connection::Option, std::string> options;
    // A re-login runs: its requests' lost sessions go back to its loop
    // (RestSender) instead of starting a re-login of their own.
    bool loggingIn = false;
    // Login requests that the server accepted (counted by RestSender as it
    // records them): a re-login tells by it that the server took its login,
    // whatever reading the login's reply then meets.
    unsigned long acceptedLogins = 0;
    // Requests that the exception handler ended by throwing (counted by
    // RestSender as it hands faults over): a re-login tells by it the
    // handler's verdict from what its own requests meet.
    unsigned long handlerVerdicts = 0;

    friend class RestSender;
};

}  // namespace Quillomark::Soa::Client
