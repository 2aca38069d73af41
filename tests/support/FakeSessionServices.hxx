#pragma once

#include <soa/client/ServiceStub.hxx>
#include <soa/services/core/SessionService.hxx>
#include <soa/services/internal/core/SessionService.hxx>

#include <functional>
#include <string>
#include <vector>

namespace Quillomark::Soa::Client {
class Connection;
}

namespace Quillomark::Testing {

// A core session service that records its calls ("login(u,p,g,r,d)",
// "loginSSO(...)", "setObjectPropertyPolicy(name)") and then runs the test's
// behaviour, which may throw. Installed in a connection's registry in place
// of the real stub; the session owns it.
class FakeCoreSessionService : public Quillomark::Services::Core::SessionService,
                               public Quillomark::Soa::Client::ServiceStub {
public:
    static FakeCoreSessionService* install(Quillomark::Soa::Client::Connection& connection);

    std::vector<std::string> calls;
    std::function<void(const std::string& call)> behaviour;

    LoginResponse login(const std::string& user, const std::string& password,
                        const std::string& group, const std::string& role,
                        const std::string& discriminator) override;
    LoginResponse loginSSO(const std::string& user, const std::string& ssoCredentials,
                           const std::string& group, const std::string& role,
                           const std::string& discriminator) override;
    void setObjectPropertyPolicy(const std::string& policyName) override;

    void reserved_2006_03_0() override {}
    void reserved_2007_01_0() override {}
    void reserved_2006_03_1() override {}
    void reserved_2007_01_1() override {}
    void reserved_2006_03_3() override {}
    void reserved_2006_03_4() override {}
    void reserved_2006_03_5() override {}
    void reserved_2006_03_6() override {}
    void reserved_2006_03_8() override {}

private:
    void record(const std::string& call);
};

// An internal session service that records the type names it is asked for
// and runs the test's behaviour.
class FakeInternalSessionService : public Quillomark::Services::Internal::Core::SessionService,
                                   public Quillomark::Soa::Client::ServiceStub {
public:
    static FakeInternalSessionService* install(Quillomark::Soa::Client::Connection& connection);

    std::vector<std::vector<std::string>> requests;
    std::function<void(const std::vector<std::string>& typeNames)> behaviour;

    void getTypeDescriptions(const std::vector<std::string>& typeNames) override;
    void reserved_2006_03_0() override {}
    void reserved_2007_05_0() override {}
};

}  // namespace Quillomark::Testing
