#include <soa/client/Connection.hxx>

#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/SessionManager.hxx>

namespace Quillomark::Soa::Client {

Connection::Connection() = default;

Connection::Connection(const std::string& hostPath, CredentialManager* credentialManager,
                       Protocol protocol, Binding binding, bool flag) {
    if (binding != REST) {
        throw RuntimeException(RuntimeException::NOT_IMPLEMENTED,
                               "Only REST bindings  implemented at this time");
    }
    sessionManager = std::make_unique<SessionManager>(this, hostPath, credentialManager, protocol,
                                                      binding, flag);
    modelManager = std::make_unique<ModelManagerImpl>(this);
}

Connection::~Connection() {
    // The sender and the registered stubs go before the object store.
    sessionManager.reset();
    modelManager.reset();
}

SessionManager* Connection::getSessionManager() { return sessionManager.get(); }

void Connection::setOption(Option option, const std::string& value) {
    sessionManager->setOption(option, value);
}
void Connection::setExceptionHandler(ExceptionHandler* handler) {
    sessionManager->setExceptionHandler(handler);
}
ExceptionHandler* Connection::getExceptionHandler() {
    return sessionManager->getExceptionHandler();
}
ModelManager* Connection::getModelManager() { return modelManager.get(); }
const std::string& Connection::getHostPath() const { return sessionManager->getHostPath(); }
CredentialManager* Connection::getCredentialManager() {
    return sessionManager->getCredentialManager();
}
Connection::Protocol Connection::getProtocol() const { return sessionManager->getProtocol(); }
Connection::Binding Connection::getBinding() const { return sessionManager->getBinding(); }
std::string Connection::getCurrentObjectPropertyPolicy() const {
    return sessionManager->getCurrentPolicy();
}
std::string Connection::getPreviousObjectPropertyPolicy() const {
    return sessionManager->getPreviousPolicy();
}

}  // namespace Quillomark::Soa::Client
