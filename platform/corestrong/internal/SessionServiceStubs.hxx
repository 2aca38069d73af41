#pragma once

#include <soa/client/ServiceStub.hxx>
#include <soa/services/core/SessionService.hxx>
#include <soa/services/internal/core/SessionService.hxx>

#include <string>
#include <vector>

namespace Quillomark::Soa::Client {
class Connection;
}

namespace Quillomark::Platform::CoreStrong {

// The names under which a connection's session manager keeps the session
// service stubs of that connection; the stubs die with the session.
extern const char* const CORE_SESSION_STUB_NAME;
extern const char* const INTERNAL_SESSION_STUB_NAME;

// The core session service of one connection: builds the request documents
// and sends them through the connection's sender.
class CoreSessionStub : public Quillomark::Services::Core::SessionService,
                        public Quillomark::Soa::Client::ServiceStub {
public:
    explicit CoreSessionStub(Quillomark::Soa::Client::Connection* connection);
    ~CoreSessionStub() override;

    LoginResponse login(const std::string& user, const std::string& password,
                        const std::string& group, const std::string& role,
                        const std::string& discriminator) override;
    LoginResponse loginSSO(const std::string& user, const std::string& ssoCredentials,
                           const std::string& group, const std::string& role,
                           const std::string& discriminator) override;
    void setObjectPropertyPolicy(const std::string& policyName) override;

    void reserved_2006_03_0() override;
    void reserved_2007_01_0() override;
    void reserved_2006_03_1() override;
    void reserved_2007_01_1() override;
    void reserved_2006_03_3() override;
    void reserved_2006_03_4() override;
    void reserved_2006_03_5() override;
    void reserved_2006_03_6() override;
    void reserved_2006_03_8() override;

private:
    LoginResponse sendLogin(const std::string& operation, const std::string& document);

    Quillomark::Soa::Client::Connection* connection;
};

// The internal core session service of one connection.
class InternalSessionStub : public Quillomark::Services::Internal::Core::SessionService,
                            public Quillomark::Soa::Client::ServiceStub {
public:
    explicit InternalSessionStub(Quillomark::Soa::Client::Connection* connection);
    ~InternalSessionStub() override;

    void getTypeDescriptions(const std::vector<std::string>& typeNames) override;

    void reserved_2006_03_0() override;
    void reserved_2007_05_0() override;

private:
    Quillomark::Soa::Client::Connection* connection;
};

}  // namespace Quillomark::Platform::CoreStrong
