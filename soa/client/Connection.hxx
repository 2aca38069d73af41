#pragma once

#include <soa/common/Export.hxx>

#include <memory>
#include <string>

namespace Quillomark::Soa::Client {

class CredentialManager;
class ExceptionHandler;
class ModelManager;
class ModelManagerImpl;
class SessionManager;

// The application's handle on one server: it owns the session state and the
// client object store of that server.
class QMSOA_API Connection {
public:
    // Fixed to int so that every value an application passes is a valid
    // one: each protocol other than IIOP selects HTTP, each binding other
    // than REST is refused.
    enum Protocol : int { HTTP = 0, IIOP = 1 };
    enum Binding : int { REST = 0 };
    // OpenSSL's <openssl/ssl.h> defines SSL_VERIFY_PEER as a macro: this
    // header reads the same whether that was included before it or not, and
    // leaves the macro as it found it. A source that includes both names
    // this option by its number, or after an #undef of the macro.
#pragma push_macro("SSL_VERIFY_PEER")
#undef SSL_VERIFY_PEER
    enum Option {
        CONSTRUCTOR_FLAG = 0,
        TIMEOUT = 1,
        CRYPTO_MODE = 2,
        SSL_VERIFY_PEER = 3,
        PROXY_HOST = 4,
        PROXY_USER = 5,
        PROXY_PASSWORD = 6
    };
#pragma pop_macro("SSL_VERIFY_PEER")

    // Throws RuntimeException (NOT_IMPLEMENTED) for every binding but REST.
    Connection(const std::string& hostPath, CredentialManager* credentialManager, Protocol protocol,
               Binding binding, bool flag);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void setOption(Option option, const std::string& value);
    void setExceptionHandler(ExceptionHandler* handler);
    ExceptionHandler* getExceptionHandler();
    ModelManager* getModelManager();
    const std::string& getHostPath() const;
    CredentialManager* getCredentialManager();
    Protocol getProtocol() const;
    Binding getBinding() const;
    std::string getCurrentObjectPropertyPolicy() const;
    std::string getPreviousObjectPropertyPolicy() const;

private:
    friend class SessionManager;

    Connection();
    SessionManager* getSessionManager();

    std::unique_ptr<SessionManager> sessionManager;
    std::unique_ptr<ModelManagerImpl> modelManager;
};

}  // namespace Quillomark::Soa::Client
