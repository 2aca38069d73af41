#include <soa/client/SessionManager.hxx>

#include <soa/client/CanceledOperationException.hxx>
#include <soa/client/CredentialManager.hxx>
#include <soa/client/DefaultExceptionHandler.hxx>
#include <soa/client/HttpRestSender.hxx>
#include <soa/client/IiopRestSender.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/ServiceStub.hxx>
#include <soa/schemas/exceptions/InvalidCredentialsException.hxx>
#include <soa/schemas/exceptions/InvalidUserException.hxx>
#include <soa/schemas/exceptions/ServiceException.hxx>
#include <soa/common/internal/XmlPlatform.hxx>
#include <soa/services/core/SessionService.hxx>

#include <platform/os/internal/Forks.hxx>

#include <exception>
#include <new>
#include <utility>

namespace Quillomark::Soa::Client {

namespace Exceptions = Quillomark::Schemas::Soa::_2006_03::Exceptions;

namespace {

// Shared by every session whose handler the application has not replaced;
// never destroyed, so that a request that fails on another thread while
// the process exits still finds it.
Quillomark::Platform::Os::ProcessObject<DefaultExceptionHandler> processHandler;

DefaultExceptionHandler& processDefaultHandler() { return *processHandler; }

// Asks the credential manager for new credentials after `cause`; a cause
// that new credentials cannot repair, or no credential manager to ask,
// cancels the re-login.
CredentialManager::Credentials credentialsAfter(CredentialManager* credentialManager,
                                                Exceptions::SoaException& cause) {
    if (credentialManager != nullptr) {
        if (auto* refused = dynamic_cast<Exceptions::InvalidCredentialsException*>(&cause)) {
            return credentialManager->getCredentials(*refused);
        }
        if (auto* gone = dynamic_cast<Exceptions::InvalidUserException*>(&cause)) {
            return credentialManager->getCredentials(*gone);
        }
    }
    throw CanceledOperationException(cause.getMessage());
}

}  // namespace

SessionManager::SessionManager() = default;

SessionManager::SessionManager(Connection* connection, const std::string& hostPath,
                               CredentialManager* credentialManager, Connection::Protocol protocol,
                               Connection::Binding binding, bool flag)
    : hostPath(hostPath),
      credentialManager(credentialManager),
      protocol(protocol),
      binding(binding),
      connection(connection),
      currentPolicy("Default"),
      previousPolicy("Default") {
    DefaultExceptionHandler& defaultHandler = processDefaultHandler();
    options[Connection::CONSTRUCTOR_FLAG] = flag ? "true" : "false";
    options[Connection::TIMEOUT] = "0";
    options[Connection::CRYPTO_MODE] = "Domestic";
    options[Connection::SSL_VERIFY_PEER] = "true";
    Quillomark::Soa::Common::Xml::initializeXmlPlatform();
    exceptionHandler = &defaultHandler;
}

SessionManager::~SessionManager() {
    restSender.reset();
    // A stub registered under several names is still deleted only once: its
    // other entries are cleared before it goes. Ending a connection needs no
    // memory, and a session registers a handful of stubs.
    for (auto& [name, stub] : services) {
        ServiceStub* const owned = stub;
        if (owned == nullptr) continue;
        for (auto& [other, same] : services) {
            if (same == owned) same = nullptr;
        }
        delete owned;
    }
    services.clear();
    credentialManager = nullptr;
    exceptionHandler = nullptr;
    connection = nullptr;
}

SessionManager* SessionManager::getSessionManager(Connection* connection) {
    return connection->getSessionManager();
}

void SessionManager::setOption(Connection::Option option, const std::string& value) {
    options[option] = value;
}

std::string SessionManager::getOption(Connection::Option option) { return options[option]; }

void SessionManager::setCurrentPolicy(const std::string& policyName) {
    if (policyName != currentPolicy) {
        previousPolicy = currentPolicy;
        currentPolicy = policyName;
    }
}

RestSender* SessionManager::getRestSender() {
    if (binding != Connection::REST) {
        throw RuntimeException(RuntimeException::GENERAL_ERROR,
                               "Asked for RestSender of a non-REST connection");
    }
    if (!restSender) {
        // A constructor that throws leaves no sender behind: the next call tries again.
        if (protocol == Connection::IIOP) {
            restSender = std::make_unique<IiopRestSender>(this);
        } else {
            restSender = std::make_unique<HttpRestSender>(this);
        }
    }
    return restSender.get();
}

void SessionManager::registerService(const std::string& name, ServiceStub* stub) {
    services[name] = stub;
}

ServiceStub* SessionManager::getService(const std::string& name) {
    auto it = services.find(name);
    return it == services.end() ? nullptr : it->second;
}

// A refused login asks for credentials again and tries again, for as long as
// the credential manager supplies them (it ends this by throwing); a loop
// rather than a call per refusal, so the stack stays flat. So does a login
// whose own requests find the session lost: while this loop runs, the
// sender hands such a fault back to it rather than logging in once more
// from inside the login, which would nest one re-login in the next for as
// long as the server keeps losing sessions. What the exception handler
// throws for a request of the re-login is its verdict on the request that
// lost the session: it ends that request, whatever its kind, rather than be
// taken for a refused login, a lost session or a fault to ignore.
void SessionManager::login(Exceptions::SoaException& cause) {
    // Marks the requests of the login itself, not what the credential
    // manager may send while it is asked.
    struct LoggingIn {
        bool& flag;
        const bool outer;
        explicit LoggingIn(bool& flag) : flag(flag), outer(std::exchange(flag, true)) {}
        ~LoggingIn() { flag = outer; }
    };
    // Called while an exception of the round is handled: a verdict of the
    // round leaves in its place.
    const auto passVerdict = [this](const std::exception_ptr& kept, unsigned long verdictsBefore) {
        if (kept) std::rethrow_exception(kept);
        if (handlerVerdicts != verdictsBefore) throw;
    };
    CredentialManager::Credentials credentials = credentialsAfter(credentialManager, cause);
    for (;;) {
        const unsigned long verdictsBefore = handlerVerdicts;
        std::exception_ptr verdict;
        try {
            const LoggingIn loggingInNow(loggingIn);
            Quillomark::Services::Core::SessionService* service =
                Quillomark::Services::Core::SessionService::getService(connection);
            const unsigned long acceptedBefore = acceptedLogins;
            try {
                if (credentialManager->getCredentialType() == 1) {
                    service->loginSSO(credentials.user, credentials.password, credentials.group,
                                      credentials.role, credentials.discriminator);
                } else {
                    service->login(credentials.user, credentials.password, credentials.group,
                                   credentials.role, credentials.discriminator);
                }
            } catch (const std::bad_alloc&) {
                throw;
            } catch (...) {
                // The re-login does not use its reply: once the server has
                // taken the login, what loading the reply met (a user of a
                // type the server cannot describe, a value of the wrong
                // form) does not keep the session from its policy. A verdict
                // of the exception handler on a request of that loading still
                // ends the request, once the policy is set again.
                if (acceptedLogins == acceptedBefore) throw;
                if (handlerVerdicts != verdictsBefore) verdict = std::current_exception();
            }
            static_cast<Quillomark::Services::Core::_2007_01::Session*>(service)
                ->setObjectPropertyPolicy(currentPolicy);
        } catch (Exceptions::InvalidCredentialsException& refused) {
            passVerdict(verdict, verdictsBefore);
            credentials = credentialsAfter(credentialManager, refused);
            continue;
        } catch (Exceptions::InvalidUserException& lost) {
            passVerdict(verdict, verdictsBefore);
            credentials = credentialsAfter(credentialManager, lost);
            continue;
        } catch (Exceptions::ServiceException&) {
            passVerdict(verdict, verdictsBefore);
        }
        if (verdict) std::rethrow_exception(verdict);
        return;
    }
}

void SessionManager::setUserPassword(const std::string& user, const std::string& password,
                                     const std::string& discriminator) {
    if (credentialManager != nullptr) {
        credentialManager->setUserPassword(user, password, discriminator);
    }
}

void SessionManager::setGroupRole(const std::string& group, const std::string& role) {
    if (credentialManager != nullptr) {
        credentialManager->setGroupRole(group, role);
    }
}

}  // namespace Quillomark::Soa::Client
