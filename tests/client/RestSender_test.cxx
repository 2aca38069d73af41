#include <soa/client/CanceledOperationException.hxx>
#include <soa/client/Connection.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>
#include <soa/schemas/exceptions/InvalidCredentialsException.hxx>
#include <soa/schemas/exceptions/InvalidUserException.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>
#include <soa/schemas/exceptions/ServiceException.hxx>

#include "tests/support/Doubles.hxx"
#include "tests/support/FakeSessionServices.hxx"
#include "tests/support/ScriptedSender.hxx"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <random>

namespace {

namespace Ex = Quillomark::Schemas::Soa::_2006_03::Exceptions;
using Quillomark::Soa::Client::CanceledOperationException;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::CredentialManager;
using Quillomark::Soa::Client::ExceptionHandler;
using Quillomark::Soa::Client::RuntimeException;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;
using Quillomark::Testing::CountingExceptionHandler;
using Quillomark::Testing::FakeCoreSessionService;
using Quillomark::Testing::RecordingCredentialManager;
using Quillomark::Testing::ScriptedSender;

// One step of the scripted transport: fills the reply or throws.
using Step = std::function<void(std::string& reply)>;

Step reply(const std::string& text) {
    return [text](std::string& out) { out = text; };
}
template <class E>
Step failWith(const std::string& message) {
    return [message](std::string&) { throw E(message); };
}

class InvokeTest : public ::testing::Test {
protected:
    void SetUp() override { connection.setExceptionHandler(&handler); }

    void invoke(const std::string& request = "<request/>") {
        sender.invoke("Svc", "op", request, parser);
    }

    RecordingCredentialManager credentials;
    CountingExceptionHandler handler;
    Connection connection{"http://127.0.0.1:1/tc", &credentials, Connection::HTTP, Connection::REST,
                          true};
    SessionManager* session = SessionManager::getSessionManager(&connection);
    FakeCoreSessionService* service = FakeCoreSessionService::install(connection);
    std::deque<Step> steps;  // then every attempt succeeds with "<ok/>"
    std::vector<std::string> requests;
    ScriptedSender sender{session, [this](const std::string&, const std::string&,
                                          const std::string& request, std::string& response) {
                              requests.push_back(request);
                              if (steps.empty()) {
                                  response = "<ok/>";
                                  return;
                              }
                              Step step = steps.front();
                              steps.pop_front();
                              step(response);
                          }};
    SAXToNodeParser parser;
};

TEST_F(InvokeTest, AHandlerThatKeepsReturningDoesNotGrowTheStack) {
    handler.returnsLeft = 100000;
    sender.transport = [](const std::string&, const std::string&, const std::string&,
                          std::string&) { throw Ex::ConnectionException("down"); };
    EXPECT_THROW(invoke(), Ex::InternalServerException);  // the handler's copy
    EXPECT_EQ(sender.sends, 100001);
    EXPECT_EQ(handler.internalCalls, 100001);
}

TEST_F(InvokeTest, ALostSessionIsLoggedInAgainAndTheSameRequestSentAgain) {
    session->setCurrentPolicy("Mine");
    steps.push_back(failWith<Ex::InvalidUserException>("session gone"));
    steps.push_back(reply("<second/>"));
    invoke("<request>\xC3\xA9</request>");

    EXPECT_EQ(requests, std::vector<std::string>(2, "<request>\xC3\xA9</request>"));
    EXPECT_EQ(parser.getRoot().getName(), "second");
    EXPECT_EQ(credentials.calls,
              std::vector<std::string>{"getCredentials(InvalidUser:session gone)"});
    EXPECT_EQ(service->calls,
              (std::vector<std::string>{"login(user,password,group,role,discriminator)",
                                        "setObjectPropertyPolicy(Mine)"}));
    EXPECT_EQ(handler.canceledCalls + handler.internalCalls, 0);
}

TEST_F(InvokeTest, AReplyThatIsNotXmlIsAProtocolFailureThatNobodyRepairs) {
    handler.returnsLeft = 10;
    steps.push_back(reply("<unclosed>"));
    steps.push_back(reply("<!DOCTYPE ok [<!ENTITY e 'x'>]><ok>&e;</ok>"));
    for (int call = 1; call <= 2; ++call) {
        try {
            invoke();
            FAIL() << "returned";
        } catch (const Ex::ProtocolException& e) {
            EXPECT_FALSE(e.getMessage().empty());
        }
        EXPECT_EQ(sender.sends, call);
    }
    EXPECT_EQ(handler.internalCalls, 0);
}

// --- The retry loop against the nested calls it stands for -----------------
//
// Both are driven by the same random scripts of transport, credential,
// login and handler outcomes; the calls they make and what leaves them must
// be the same.

enum class Attempt { Ok, Internal, InvalidUser, Cancel, Other };
enum class Handling { Return, Cancel, Fail };
enum class Login { Ok, Refuse, Ignore };

struct Script {
    std::deque<Attempt> attempts;
    std::deque<bool> credentialsCancel;
    std::deque<Handling> handling;
    std::deque<Login> logins;
    std::vector<std::string> log;
};

template <class T>
bool take(std::deque<T>& queue, T& value) {
    if (queue.empty()) return false;
    value = queue.front();
    queue.pop_front();
    return true;
}

class ScriptedCredentials : public CredentialManager {
public:
    Script* script = nullptr;
    int getCredentialType() override { return 0; }
    Credentials getCredentials(Ex::InvalidUserException cause) override {
        return give("user:" + cause.getMessage());
    }
    Credentials getCredentials(Ex::InvalidCredentialsException cause) override {
        return give("credentials:" + cause.getMessage());
    }

private:
    Credentials give(const std::string& why) {
        script->log.push_back("getCredentials(" + why + ")");
        bool cancel = false;
        if (take(script->credentialsCancel, cancel) && cancel) {
            throw CanceledOperationException("no credentials");
        }
        return Credentials("u", "p", "g", "r", "d");
    }
};

class ScriptedHandler : public ExceptionHandler {
public:
    Script* script = nullptr;
    void handleException(CanceledOperationException& e) override {
        handle("canceled:" + e.getMessage());
    }
    void handleException(Ex::InternalServerException& e) override {
        handle("internal:" + e.getMessage());
    }

private:
    void handle(const std::string& what) {
        script->log.push_back("handle(" + what + ")");
        Handling handling = Handling::Return;
        take(script->handling, handling);
        if (handling == Handling::Cancel) throw CanceledOperationException("handler cancels");
        if (handling == Handling::Fail) {
            throw RuntimeException(RuntimeException::GENERAL_ERROR, "handler fails");
        }
    }
};

class RetryModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        connection.setExceptionHandler(&handler);
        service->behaviour = [this](const std::string& call) {
            script->log.push_back(call);
            Login login = Login::Ok;
            if (call.rfind("login(", 0) == 0 && take(script->logins, login)) {
                if (login == Login::Refuse) throw Ex::InvalidCredentialsException("refused");
                if (login == Login::Ignore) throw Ex::ServiceException("ignored");
            }
        };
    }

    void use(Script& s) {
        script = &s;
        credentials.script = &s;
        handler.script = &s;
    }

    void attempt(std::string& reply) {
        script->log.push_back("send");
        Attempt attempt = Attempt::Ok;
        take(script->attempts, attempt);
        switch (attempt) {
            case Attempt::Ok: reply = "<ok/>"; return;
            case Attempt::Internal: throw Ex::ConnectionException("down");
            case Attempt::InvalidUser: throw Ex::InvalidUserException("gone");
            case Attempt::Cancel: throw CanceledOperationException("attempt cancels");
            case Attempt::Other: throw Ex::ServiceException("other");
        }
    }

    // The re-login and the repeated attempts as nested calls.
    void nestedLogin(Ex::SoaException& cause) {
        Credentials creds("", "", "", "", "");
        if (auto* refused = dynamic_cast<Ex::InvalidCredentialsException*>(&cause)) {
            creds = credentials.getCredentials(*refused);
        } else if (auto* gone = dynamic_cast<Ex::InvalidUserException*>(&cause)) {
            creds = credentials.getCredentials(*gone);
        } else {
            throw CanceledOperationException(cause.getMessage());
        }
        try {
            service->login(creds.user, creds.password, creds.group, creds.role,
                           creds.discriminator);
            service->setObjectPropertyPolicy(session->getCurrentPolicy());
        } catch (Ex::InvalidCredentialsException& again) {
            nestedLogin(again);
        } catch (Ex::ServiceException&) {
        }
    }
    void nestedInvoke() {
        try {
            std::string reply;
            attempt(reply);
            return;
        } catch (Ex::InvalidUserException& e) {
            try {
                nestedLogin(e);
                nestedInvoke();
            } catch (CanceledOperationException& c) {
                handler.handleException(c);
                nestedInvoke();
            }
        } catch (Ex::InternalServerException& e) {
            handler.handleException(e);
            nestedInvoke();
        }
    }

    template <class Run>
    static std::string outcome(Run run) {
        try {
            run();
            return "returned";
        } catch (const CanceledOperationException& e) {
            return "canceled:" + e.getMessage();
        } catch (const RuntimeException& e) {
            return "runtime:" + e.getMessage();
        } catch (const Ex::SoaException& e) {
            return e.getLocalName() + ":" + e.getMessage();
        }
    }

    using Credentials = CredentialManager::Credentials;
    ScriptedCredentials credentials;
    ScriptedHandler handler;
    Connection connection{"http://127.0.0.1:1/tc", &credentials, Connection::HTTP, Connection::REST,
                          true};
    SessionManager* session = SessionManager::getSessionManager(&connection);
    FakeCoreSessionService* service = FakeCoreSessionService::install(connection);
    Script* script = nullptr;
    ScriptedSender sender{session,
                          [this](const std::string&, const std::string&, const std::string&,
                                 std::string& reply) { attempt(reply); }};
    SAXToNodeParser parser;
};

TEST_F(RetryModelTest, TheLoopBehavesLikeTheNestedCalls) {
    std::mt19937 random(20240607);
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    int cancelsReachingTheCaller = 0;
    for (int run = 0; run < 3000; ++run) {
        Script original;
        for (int i = pick(9); i > 0; --i)
            original.attempts.push_back(static_cast<Attempt>(pick(5)));
        for (int i = pick(5); i > 0; --i) original.credentialsCancel.push_back(pick(2) == 0);
        for (int i = pick(7); i > 0; --i)
            original.handling.push_back(static_cast<Handling>(pick(3)));
        for (int i = pick(5); i > 0; --i) original.logins.push_back(static_cast<Login>(pick(3)));

        Script looped = original;
        use(looped);
        const std::string loopOutcome =
            outcome([&] { sender.invoke("Svc", "op", "<request/>", parser); });
        Script nested = original;
        use(nested);
        const std::string nestedOutcome = outcome([&] { nestedInvoke(); });

        ASSERT_EQ(loopOutcome, nestedOutcome) << "run " << run;
        ASSERT_EQ(looped.log, nested.log) << "run " << run;
        cancelsReachingTheCaller += loopOutcome.rfind("canceled:", 0) == 0;
    }
    EXPECT_GT(cancelsReachingTheCaller, 0);
}

}  // namespace
