#include "tests/support/Doubles.hxx"

namespace Quillomark::Testing {

namespace Exceptions = Quillomark::Schemas::Soa::_2006_03::Exceptions;

int RecordingCredentialManager::getCredentialType() { return credentialType; }

RecordingCredentialManager::Credentials RecordingCredentialManager::getCredentials(
    Exceptions::InvalidUserException cause) {
    calls.push_back("getCredentials(InvalidUser:" + cause.getMessage() + ")");
    if (cancel) throw Quillomark::Soa::Client::CanceledOperationException();
    return credentials;
}

RecordingCredentialManager::Credentials RecordingCredentialManager::getCredentials(
    Exceptions::InvalidCredentialsException cause) {
    calls.push_back("getCredentials(InvalidCredentials:" + cause.getMessage() + ")");
    if (cancel) throw Quillomark::Soa::Client::CanceledOperationException();
    return credentials;
}

void RecordingCredentialManager::setUserPassword(const std::string& user,
                                                 const std::string& password,
                                                 const std::string& discriminator) {
    calls.push_back("setUserPassword(" + user + "," + password + "," + discriminator + ")");
}

void RecordingCredentialManager::setGroupRole(const std::string& group, const std::string& role) {
    calls.push_back("setGroupRole(" + group + "," + role + ")");
}

void CountingExceptionHandler::handleException(
    Quillomark::Soa::Client::CanceledOperationException& e) {
    ++canceledCalls;
    messages.push_back(e.getMessage());
    if (returnsLeft-- <= 0) throw e;
}

void CountingExceptionHandler::handleException(Exceptions::InternalServerException& e) {
    ++internalCalls;
    messages.push_back(e.getMessage());
    if (returnsLeft-- <= 0) throw e;  // as its static type: the handler may run outside a catch
}

}  // namespace Quillomark::Testing
