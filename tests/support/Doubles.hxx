#pragma once

#include <soa/client/CredentialManager.hxx>
#include <soa/client/ExceptionHandler.hxx>

#include <string>
#include <vector>

namespace Quillomark::Testing {

// A credential manager that hands out scripted credentials and records what
// it is told and asked.
class RecordingCredentialManager : public Quillomark::Soa::Client::CredentialManager {
public:
    using Credentials = Quillomark::Soa::Client::CredentialManager::Credentials;

    int credentialType = 0;
    Credentials credentials{"user", "password", "group", "role", "discriminator"};
    bool cancel = false;  // getCredentials throws CanceledOperationException

    std::vector<std::string> calls;  // "getCredentials(InvalidUser)", "setUserPassword(u,p,d)", ...

    int getCredentialType() override;
    Credentials getCredentials(
        Quillomark::Schemas::Soa::_2006_03::Exceptions::InvalidUserException cause) override;
    Credentials getCredentials(
        Quillomark::Schemas::Soa::_2006_03::Exceptions::InvalidCredentialsException cause) override;
    void setUserPassword(const std::string& user, const std::string& password,
                         const std::string& discriminator) override;
    void setGroupRole(const std::string& group, const std::string& role) override;
};

// An exception handler that returns a given number of times and then throws
// the exception it was handed.
class CountingExceptionHandler : public Quillomark::Soa::Client::ExceptionHandler {
public:
    long returnsLeft = 0;
    long canceledCalls = 0;
    long internalCalls = 0;
    std::vector<std::string> messages;

    void handleException(Quillomark::Soa::Client::CanceledOperationException& e) override;
    void handleException(
        Quillomark::Schemas::Soa::_2006_03::Exceptions::InternalServerException& e) override;
};

}  // namespace Quillomark::Testing
