// Requests through the connection's own sender to the loopback server: fault
// replies, repairs, re-login through the session service, and the recording
// of the session's own requests.
#include <soa/client/CanceledOperationException.hxx>
#include <soa/client/Connection.hxx>
#include <soa/client/ExceptionHandler.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/common/XmlStream.hxx>
#include <soa/schemas/core/LoginInput.hxx>
#include <soa/schemas/exceptions/InvalidCredentialsException.hxx>
#include <soa/schemas/exceptions/InternalServerException.hxx>
#include <soa/schemas/exceptions/InvalidUserException.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>
#include <soa/schemas/exceptions/ServiceException.hxx>
#include <soa/schemas/exceptions/SoaException.hxx>
#include <soa/services/core/SessionService.hxx>
#include <soa/services/internal/core/SessionService.hxx>

#include "tests/support/Doubles.hxx"
#include "tests/support/LoopbackHttpServer.hxx"
#include "tests/support/SmallStack.hxx"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <sstream>

namespace {

namespace Ex = Quillomark::Schemas::Soa::_2006_03::Exceptions;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::RuntimeException;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Testing::CountingExceptionHandler;
using Quillomark::Testing::HttpReply;
using Quillomark::Testing::HttpRequest;
using Quillomark::Testing::LoopbackHttpServer;
using Quillomark::Testing::RecordingCredentialManager;
using CoreService = Quillomark::Services::Core::SessionService;
using TypeService = Quillomark::Services::Internal::Core::SessionService;

HttpReply fault(int status, const std::string& name, const std::string& message) {
    return HttpReply::withStatus(status, "<" + name + " xmlns=\"" + Ex::EXCEPTIONS_NAMESPACE +
                                             "\" message=\"" + message + "\"/>");
}

std::string loginDocument(const std::string& user, const std::string& password,
                          const std::string& group, const std::string& role,
                          const std::string& discriminator) {
    Quillomark::Schemas::Core::_2006_03::Session::LoginInput input;
    input.setUsername(user);
    input.setPassword(password);
    input.setGroup(group);
    input.setRole(role);
    input.setSessionDiscriminator(discriminator);
    Quillomark::Soa::Common::Xml::XmlStream stream;
    input.outputXML(stream, "loginInput");
    return stream.str();
}

class RequestPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The session services answer by themselves; requests to "Svc" take
        // the scripted replies, then "<ok/>".
        server.script().setFallback([](const HttpRequest& request) {
            if (request.target.find("/Core-2006-03-Session/") != std::string::npos) {
                return HttpReply::ok("<loginResponse/>");
            }
            return HttpReply::ok("<ok/>");
        });
        connection.setExceptionHandler(&handler);
    }

    void invoke(const std::string& service, const std::string& operation,
                const std::string& request) {
        session->getRestSender()->invoke(service, operation, request, parser);
    }

    std::vector<std::string> targets() const {
        std::vector<std::string> result;
        for (const HttpRequest& request : server.requests()) {
            result.push_back(request.target.substr(request.target.find("/RestServices/") + 14));
        }
        return result;
    }

    LoopbackHttpServer server;
    RecordingCredentialManager credentials;
    CountingExceptionHandler handler;
    Connection connection{server.url() + "/tc", &credentials, Connection::HTTP, Connection::REST,
                          true};
    SessionManager* session = SessionManager::getSessionManager(&connection);
    Quillomark::Soa::Common::Xml::SAXToNodeParser parser;
};

TEST_F(RequestPathTest, FaultRepliesBecomeTheExceptionsTheyName) {
    server.push(fault(500, "ServiceException", "partly failed"));
    try {
        invoke("Svc", "op", "<request/>");
        FAIL() << "returned";
    } catch (const Ex::ServiceException& e) {
        EXPECT_EQ(e.getMessage(), "partly failed");
    }
    server.push(fault(401, "InvalidCredentialsException", "refused"));
    EXPECT_THROW(invoke("Svc", "op", "<request/>"), Ex::InvalidCredentialsException);
    EXPECT_EQ(handler.internalCalls + handler.canceledCalls, 0);
}

TEST_F(RequestPathTest, AnInternalServerFaultGoesToTheHandlerAndTheRequestIsSentAgain) {
    handler.returnsLeft = 1;
    server.push(fault(500, "InternalServerException", "busy"));
    server.push(HttpReply::ok("<second/>"));
    invoke("Svc", "op", "<request/>");
    EXPECT_EQ(handler.messages, std::vector<std::string>{"busy"});
    EXPECT_EQ(parser.getRoot().getName(), "second");
    EXPECT_EQ(targets(), (std::vector<std::string>{"Svc/op", "Svc/op"}));
}

// A reply cut short after its status leaves invoke as a reply that does
// not parse does: straight to the caller, never as the reply.
TEST_F(RequestPathTest, AReplyCutShortIsAProtocolFailureOfItsOwn) {
    HttpReply cut = HttpReply::ok("<ok/>");
    cut.ending = HttpReply::Ending::Cut;
    server.push(cut);
    EXPECT_THROW(invoke("Svc", "op", "<request/>"), Ex::ProtocolException);
    EXPECT_EQ(handler.internalCalls, 0);
}

// A credential manager that gives credentials after a lost session so many
// times and then cancels.
class GivingUpAfter : public RecordingCredentialManager {
public:
    explicit GivingUpAfter(long times) : left(times) {}
    using RecordingCredentialManager::getCredentials;
    Credentials getCredentials(Ex::InvalidUserException cause) override {
        ++asked;
        if (left-- == 0) throw Quillomark::Soa::Client::CanceledOperationException("given up");
        return RecordingCredentialManager::getCredentials(cause);
    }
    long asked = 0;

private:
    long left;
};

// A server that has lost every session, the login's own included: each
// login that meets the lost session asks the credential manager again from
// the same depth, for as long as it gives credentials, so that no number
// of them outgrows a small stack.
TEST_F(RequestPathTest, ALoginThatMeetsALostSessionAsksAgainWithoutNesting) {
    server.script().setFallback(fault(401, "InvalidUserException", "no session"));
    GivingUpAfter manager(1500);
    Connection lost(server.url() + "/tc", &manager, Connection::HTTP, Connection::REST, true);
    lost.setExceptionHandler(&handler);  // throws the cancellation on
    bool canceled = false;
    Quillomark::Testing::onStackOf(1024 * 1024, [&] {
        try {
            Quillomark::Soa::Common::Xml::SAXToNodeParser replies;
            SessionManager::getSessionManager(&lost)->getRestSender()->invoke(
                "Svc", "op", "<request/>", replies);
        } catch (const Quillomark::Soa::Client::CanceledOperationException& e) {
            canceled = e.getMessage() == "given up";
        }
    });
    EXPECT_TRUE(canceled);
    EXPECT_EQ(manager.asked, 1501);
    EXPECT_EQ(handler.canceledCalls, 1);
    EXPECT_EQ(server.requests().size(), 1u + 1500u);
}

TEST_F(RequestPathTest, ALostSessionIsLoggedInAgainWithSingleSignOnAndRecorded) {
    credentials.credentialType = 1;
    session->setCurrentPolicy("Mine");
    server.push(fault(401, "InvalidUserException", "session gone"));
    invoke("Svc", "op", "<request/>");

    EXPECT_EQ(targets(),
              (std::vector<std::string>{"Svc/op", "Core-2006-03-Session/loginSSO",
                                        "Core-2007-01-Session/setObjectPropertyPolicy", "Svc/op"}));
    const auto requests = server.requests();
    EXPECT_NE(requests[1].body.find("ssoCredentials=\"password\""), std::string::npos);
    EXPECT_NE(requests[2].body.find("policyName=\"Mine\""), std::string::npos);
    EXPECT_EQ(credentials.calls,
              (std::vector<std::string>{"getCredentials(InvalidUser:session gone)",
                                        "setUserPassword(user,password,discriminator)",
                                        "setGroupRole(group,role)"}));
    EXPECT_EQ(connection.getCurrentObjectPropertyPolicy(), "Mine");
    EXPECT_EQ(connection.getPreviousObjectPropertyPolicy(), "Default");
}

TEST_F(RequestPathTest, OnlyAcceptedLoginRequestsOfTheSessionServiceAreRecorded) {
    const std::string document = loginDocument("U", "P & Q", "G", "R", "D");
    server.push(fault(401, "InvalidCredentialsException", "refused"));
    EXPECT_THROW(invoke("Core-2006-03-Session", "login", document),
                 Ex::InvalidCredentialsException);
    invoke("Core-2006-04-Session", "login", document);
    EXPECT_TRUE(credentials.calls.empty());

    invoke("Core-2006-03-Session", "login", document);
    EXPECT_EQ(credentials.calls,
              (std::vector<std::string>{"setUserPassword(U,P & Q,D)", "setGroupRole(G,R)"}));
}

TEST_F(RequestPathTest, APolicyRequestOfTheLaterSessionServiceBecomesCurrent) {
    const std::string document = "<setObjectPropertyPolicyInput policyName=\"Light\"/>";
    invoke("Core-2006-03-Session", "setObjectPropertyPolicy", document);
    EXPECT_EQ(connection.getCurrentObjectPropertyPolicy(), "Default");
    invoke("Core-2007-01-Session", "setObjectPropertyPolicy", document);
    EXPECT_EQ(connection.getCurrentObjectPropertyPolicy(), "Light");
    EXPECT_EQ(connection.getPreviousObjectPropertyPolicy(), "Default");
}

// Text that XML cannot carry (a control character, a NUL, U+FFFE) is
// refused before anything is sent, whether the application or its
// credential manager gave it: the session service cannot write it.
TEST_F(RequestPathTest, SessionRequestsThatXmlCannotCarryAreRefusedAsRuntimeExceptions) {
    const auto expectRefused = [](const std::function<void()>& call, const char* what) {
        try {
            call();
            ADD_FAILURE() << what << ": sent";
        } catch (const RuntimeException& e) {
            EXPECT_EQ(e.getType(), RuntimeException::GENERAL_ERROR) << what;
            EXPECT_NE(e.getMessage().find("cannot be written in XML"), std::string::npos)
                << e.getMessage();
        } catch (...) {
            ADD_FAILURE() << what << ": not a RuntimeException";
        }
    };
    CoreService* service = CoreService::getService(&connection);
    const std::string control("u\x01", 2);
    expectRefused([&] { service->login(control, "p", "", "", ""); }, "user");
    expectRefused([&] { service->loginSSO("u", "s", std::string("g\0", 2), "", ""); }, "group");
    expectRefused([&] { service->login("u", "p", "", "r\xEF\xBF\xBE", ""); }, "role");
    expectRefused([&] { service->setObjectPropertyPolicy("P\x02"); }, "policy");
    expectRefused(
        [&] {
            TypeService::getService(&connection)->getTypeDescriptions({"Item", control});
        },
        "type");
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(connection.getCurrentObjectPropertyPolicy(), "Default");

    credentials.credentials =
        RecordingCredentialManager::Credentials(control, "password", "", "", "");
    server.push(fault(401, "InvalidUserException", "session gone"));
    expectRefused([&] { invoke("Svc", "op", "<request/>"); }, "re-login");
    EXPECT_EQ(targets(), std::vector<std::string>{"Svc/op"});
    EXPECT_EQ(handler.internalCalls + handler.canceledCalls, 0);
}

TEST_F(RequestPathTest, ALoginReplyWhoseValuesCannotBeReadIsAProtocolFailure) {
    server.push(
        HttpReply::ok("<loginResponse><user uid='U1' type='User'><properties "
                      "name='user_name' modifiable='maybe'/></user></loginResponse>"));
    try {
        CoreService::getService(&connection)->login("u", "p", "", "", "");
        FAIL() << "returned";
    } catch (const Ex::ProtocolException& e) {
        EXPECT_NE(e.getMessage().find("modifiable"), std::string::npos) << e.getMessage();
    } catch (...) {
        FAIL() << "not a ProtocolException";
    }
    EXPECT_EQ(handler.internalCalls, 0);
}

// The element of a fault decides what it is: a number that does not fit
// does not make a lost session a broken reply.
TEST_F(RequestPathTest, AFaultWhoseNumbersDoNotFitKeepsItsKind) {
    const std::string faults = Ex::EXCEPTIONS_NAMESPACE;
    server.push(HttpReply::withStatus(401, "<InvalidUserException xmlns='" + faults +
                                               "' message='gone' code='4294967297' level='x'/>"));
    invoke("Svc", "op", "<request/>");
    EXPECT_EQ(targets(),
              (std::vector<std::string>{"Svc/op", "Core-2006-03-Session/login",
                                        "Core-2007-01-Session/setObjectPropertyPolicy", "Svc/op"}));
    server.push(HttpReply::withStatus(
        500, "<ServiceException xmlns='" + faults + "' message='no' code='2147483648'/>"));
    EXPECT_THROW(invoke("Svc", "op", "<request/>"), Ex::ServiceException);
}

// The re-login does not use its reply: once the server has accepted the
// login, the policy is set again and the request sent again, whatever
// loading the reply's user into the model met.
TEST_F(RequestPathTest, AnAcceptedReloginRestoresThePolicyWhateverItsReplyHolds) {
    server.script().setFallback([](const HttpRequest& request) {
        if (request.target.find("/getTypeDescriptions") != std::string::npos) {
            return HttpReply::ok("<modelSchema/>");  // describes nothing
        }
        return HttpReply::ok("<ok/>");
    });
    session->setCurrentPolicy("Mine");
    for (const char* reply :
         {"<loginResponse><user uid='U1' type='Person'/></loginResponse>",
          "<loginResponse><user uid='U2'/></loginResponse>",
          "<loginResponse><user uid='U3' type='User'><properties name='user_name' "
          "modifiable='maybe'/></user></loginResponse>"}) {
        server.script().clearCalls();
        server.push(fault(401, "InvalidUserException", "session gone"));
        server.push(HttpReply::ok(reply));
        try {
            invoke("Svc", "op", "<request/>");
        } catch (...) {
            ADD_FAILURE() << reply << ": the request was not sent again";
        }
        const auto requests = server.requests();
        ASSERT_GE(requests.size(), 2u) << reply;
        EXPECT_NE(requests.back().target.find("/Svc/op"), std::string::npos) << reply;
        ASSERT_GE(requests.size(), 3u) << reply;
        EXPECT_NE(requests[requests.size() - 2].body.find("policyName=\"Mine\""), std::string::npos)
            << reply;
    }
    EXPECT_EQ(connection.getCurrentObjectPropertyPolicy(), "Mine");
}

// A handler that ends the request it is asked about with an exception of
// the kind `Verdict`; asked once more, it gives up.
template <class Verdict>
class EndingHandler : public Quillomark::Soa::Client::ExceptionHandler {
public:
    void handleException(Quillomark::Soa::Client::CanceledOperationException&) override { throw; }
    void handleException(Ex::InternalServerException&) override {
        if (asked++ > 0) throw RuntimeException(RuntimeException::GENERAL_ERROR, "asked again");
        throw Verdict("verdict");
    }
    int asked = 0;
};

// What the exception handler throws ends the request and reaches the
// caller, whatever the re-login was doing when the handler was asked: its
// login, loading the login's reply (the type of the reply's user) or its
// policy. Once the server took the login, the policy is set again first.
TEST_F(RequestPathTest, AHandlersVerdictDuringAReloginEndsTheRequest) {
    session->setCurrentPolicy("Mine");
    for (const std::string busy : {"/login", "/getTypeDescriptions", "/setObjectPropertyPolicy"}) {
        server.script().setFallback([busy](const HttpRequest& request) {
            if (request.target.find(busy) != std::string::npos) {
                return HttpReply::withStatus(503, "busy");
            }
            if (request.target.find("/Core-2006-03-Session/") != std::string::npos) {
                return HttpReply::ok(
                    "<loginResponse><user uid='U1' type='Person'/></loginResponse>");
            }
            return HttpReply::ok("<ok/>");
        });
        EndingHandler<Ex::InternalServerException> internal;
        EndingHandler<Quillomark::Soa::Client::CanceledOperationException> cancelling;
        EndingHandler<Ex::ServiceException> failing;
        EndingHandler<Ex::InvalidCredentialsException> refusing;
        EndingHandler<Ex::InvalidUserException> losing;
        const std::pair<Quillomark::Soa::Client::ExceptionHandler*, std::string> verdicts[] = {
            {&internal, "InternalServerException"},
            {&cancelling, "canceled"},
            {&failing, "ServiceException"},
            {&refusing, "InvalidCredentialsException"},
            {&losing, "InvalidUserException"}};
        for (const auto& [verdict, kind] : verdicts) {
            connection.setExceptionHandler(verdict);
            server.script().clearCalls();
            server.push(fault(401, "InvalidUserException", "session gone"));
            std::string outcome = "returned";
            try {
                invoke("Svc", "op", "<request/>");
            } catch (const Quillomark::Soa::Client::CanceledOperationException& e) {
                outcome = "canceled " + e.getMessage();
            } catch (const Ex::SoaException& e) {
                outcome = e.getLocalName() + " " + e.getMessage();
            } catch (const RuntimeException& e) {
                outcome = e.getMessage();
            }
            EXPECT_EQ(outcome, kind + " verdict") << busy;
            const auto sent = targets();
            EXPECT_EQ(std::count(sent.begin(), sent.end(), "Svc/op"), 1) << busy << " " << kind;
            if (busy != "/login") {
                EXPECT_NE(server.requests().back().body.find("policyName=\"Mine\""),
                          std::string::npos)
                    << busy << " " << kind;
            }
        }
    }
}

TEST(RequestPathDefaultHandlerTest, AnUnreachableServerEndsTheRequest) {
    const std::string host =
        "http://127.0.0.1:" + std::to_string(Quillomark::Testing::unusedLoopbackPort());
    Connection connection(host, nullptr, Connection::HTTP, Connection::REST, true);
    Quillomark::Soa::Common::Xml::SAXToNodeParser parser;
    std::ostringstream out;
    std::streambuf* old = std::cout.rdbuf(out.rdbuf());
    std::string message;
    try {
        SessionManager::getSessionManager(&connection)
            ->getRestSender()
            ->invoke("Svc", "op", "<request/>", parser);
        ADD_FAILURE() << "returned";
    } catch (const RuntimeException& e) {
        EXPECT_EQ(e.getType(), RuntimeException::GENERAL_ERROR);
        message = e.getMessage();
    }
    std::cout.rdbuf(old);
    // The host path, then libcurl's reason on a line of its own.
    EXPECT_EQ(message.rfind("Failed to connect to the server: " + host + "\n", 0), 0u) << message;
    EXPECT_EQ(out.str(), "The server returned and internal server error.\n" + message +
                             "\nThe application will terminate.");
}

}  // namespace
