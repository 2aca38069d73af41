#include "tests/support/FakeSessionServices.hxx"

#include <platform/corestrong/internal/SessionServiceStubs.hxx>
#include <soa/client/SessionManager.hxx>

#include <memory>

namespace Quillomark::Testing {

using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::SessionManager;

namespace {

template <class Fake>
Fake* installAs(Connection& connection, const char* name) {
    auto fake = std::make_unique<Fake>();
    SessionManager::getSessionManager(&connection)->registerService(name, fake.get());
    return fake.release();
}

std::string joined(std::initializer_list<std::string> parts) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : ",") + part;
    return text;
}

}  // namespace

FakeCoreSessionService* FakeCoreSessionService::install(Connection& connection) {
    return installAs<FakeCoreSessionService>(
        connection, Quillomark::Platform::CoreStrong::CORE_SESSION_STUB_NAME);
}

void FakeCoreSessionService::record(const std::string& call) {
    calls.push_back(call);
    if (behaviour) behaviour(call);
}

FakeCoreSessionService::LoginResponse FakeCoreSessionService::login(
    const std::string& user, const std::string& password, const std::string& group,
    const std::string& role, const std::string& discriminator) {
    record("login(" + joined({user, password, group, role, discriminator}) + ")");
    return LoginResponse();
}

FakeCoreSessionService::LoginResponse FakeCoreSessionService::loginSSO(
    const std::string& user, const std::string& ssoCredentials, const std::string& group,
    const std::string& role, const std::string& discriminator) {
    record("loginSSO(" + joined({user, ssoCredentials, group, role, discriminator}) + ")");
    return LoginResponse();
}

void FakeCoreSessionService::setObjectPropertyPolicy(const std::string& policyName) {
    record("setObjectPropertyPolicy(" + policyName + ")");
}

FakeInternalSessionService* FakeInternalSessionService::install(Connection& connection) {
    return installAs<FakeInternalSessionService>(
        connection, Quillomark::Platform::CoreStrong::INTERNAL_SESSION_STUB_NAME);
}

void FakeInternalSessionService::getTypeDescriptions(const std::vector<std::string>& typeNames) {
    requests.push_back(typeNames);
    if (behaviour) behaviour(typeNames);
}

}  // namespace Quillomark::Testing
