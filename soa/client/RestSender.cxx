#include <soa/client/RestSender.hxx>

#include <soa/client/CanceledOperationException.hxx>
#include <soa/client/ExceptionHandler.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/internal/CutReply.hxx>
#include <soa/common/DomException.hxx>
#include <soa/common/ExceptionMapper.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/common/Utf8String.hxx>
#include <soa/schemas/core/LoginInput.hxx>
#include <soa/schemas/core/LoginSSOInput.hxx>
#include <soa/schemas/core/SetObjectPropertyPolicyInput.hxx>
#include <soa/schemas/exceptions/InternalServerException.hxx>
#include <soa/schemas/exceptions/InvalidUserException.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>

#include <exception>

namespace Quillomark::Soa::Client {

namespace Exceptions = Quillomark::Schemas::Soa::_2006_03::Exceptions;
namespace Xml = Quillomark::Soa::Common::Xml;
using Quillomark::Soa::Common::Exceptions::DomException;
using Quillomark::Soa::Common::Exceptions::ExceptionMapper;

namespace {

// Hands `fault` to the session's exception handler. What the handler throws
// is its verdict on the request, counted in `verdicts`.
template <class Fault>
void handOver(SessionManager* sessionManager, Fault& fault, unsigned long& verdicts) {
    try {
        sessionManager->getExceptionHandler()->handleException(fault);
    } catch (...) {
        ++verdicts;
        throw;
    }
}

// A cancellation reached a point of the retry loop where, written as nested
// calls, it would leave the innermost attempts: the nearest attempt that is
// waiting inside a re-login catches it, hands it to the exception handler
// and tries again; without such an attempt it reaches the caller. A handler
// that cancels again goes on to the next waiting attempt.
void passCancellationOn(std::exception_ptr canceled, long& waitingRelogins,
                        SessionManager* sessionManager, unsigned long& verdicts) {
    for (;;) {
        if (waitingRelogins == 0) std::rethrow_exception(canceled);
        --waitingRelogins;
        try {
            try {
                std::rethrow_exception(canceled);
            } catch (CanceledOperationException& c) {
                handOver(sessionManager, c, verdicts);
            }
            return;
        } catch (CanceledOperationException&) {
            canceled = std::current_exception();
        }
    }
}

// A session request input, read back from the request document it is the
// root of.
template <class Input>
Input readInput(const std::string& request) {
    Xml::SAXToNodeParser parser;
    Input input;
    input.parse(parser.parseString(request));
    return input;
}

// Hands the login data of an accepted login request to the credential
// manager; `secret` reads the password or the single-sign-on credentials.
template <class Input>
void recordLogin(const Input& input, const std::string& (Input::*secret)() const,
                 SessionManager* sessionManager) {
    sessionManager->setUserPassword(input.getUsername(), (input.*secret)(),
                                    input.getSessionDiscriminator());
    sessionManager->setGroupRole(input.getGroup(), input.getRole());
}

}  // namespace

RestSender::RestSender(SessionManager* sessionManager) : sessionManager(sessionManager) {}

RestSender::~RestSender() { sessionManager = nullptr; }

// Every attempt that fails in a repairable way is followed by another, for as
// long as the exception handler returns or re-logins succeed. Written as
// nested calls (each repair calling invoke again) that would take stack
// space per attempt; this loop behaves exactly like those nested calls:
// `waitingRelogins` counts the nested attempts that would be waiting inside
// a re-login, the only ones that catch anything (a cancellation) coming out
// of a deeper attempt.
void RestSender::invoke(const std::string& service, const std::string& operation,
                        const std::string& request, Xml::SAXToNodeParser& parser) {
    long waitingRelogins = 0;
    for (;;) {
        try {
            try {
                const std::string encoded = Xml::Utf8String::encode(request);
                std::string reply;
                send(service, operation, encoded, reply);
                parser.parseString(reply);
                ExceptionMapper::parseExceptionString(parser);
                snoopSessionRequest(service, operation, encoded);
                return;
            } catch (DomException& d) {
                // Leaves at once: neither the handler nor another attempt.
                throw Exceptions::ProtocolException(d.getMessage());
            } catch (CutReplyException& c) {
                // A reply cut short leaves as one that does not parse.
                throw Exceptions::ProtocolException(c.getMessage());
            } catch (Exceptions::InvalidUserException& e) {
                // A request of a re-login that finds the session lost: the
                // re-login's own loop asks for credentials again.
                if (sessionManager->loggingIn) throw;
                // The server no longer knows the session: log in again, then
                // try again, this attempt now waiting inside the re-login.
                ++waitingRelogins;
                sessionManager->login(e);
            } catch (Exceptions::InternalServerException& e) {
                handOver(sessionManager, e, sessionManager->handlerVerdicts);
            }
        } catch (CanceledOperationException&) {
            passCancellationOn(std::current_exception(), waitingRelogins, sessionManager,
                               sessionManager->handlerVerdicts);
        }
    }
}

// Records the session's own requests once the server has accepted them: the
// login data go to the credential manager, a policy becomes the current one.
void RestSender::snoopSessionRequest(const std::string& service, const std::string& operation,
                                     const std::string& request) {
    namespace Session2006 = Quillomark::Schemas::Core::_2006_03::Session;
    namespace Session2007 = Quillomark::Schemas::Core::_2007_01::Session;

    if (service == "Core-2006-03-Session") {
        if (operation == "login") {
            recordLogin(readInput<Session2006::LoginInput>(request),
                        &Session2006::LoginInput::getPassword, sessionManager);
            ++sessionManager->acceptedLogins;
        } else if (operation == "loginSSO") {
            recordLogin(readInput<Session2006::LoginSSOInput>(request),
                        &Session2006::LoginSSOInput::getSsoCredentials, sessionManager);
            ++sessionManager->acceptedLogins;
        }
    } else if (service == "Core-2007-01-Session" && operation == "setObjectPropertyPolicy") {
        const auto input = readInput<Session2007::SetObjectPropertyPolicyInput>(request);
        sessionManager->setCurrentPolicy(input.getPolicyName());
    }
}

}  // namespace Quillomark::Soa::Client
