#include <soa/client/CredentialManager.hxx>

namespace Quillomark::Soa::Client {

CredentialManager::Credentials::Credentials() = default;
CredentialManager::Credentials::Credentials(const std::string& user, const std::string& password,
                                            const std::string& group, const std::string& role,
                                            const std::string& discriminator)
    : user(user), password(password), group(group), role(role), discriminator(discriminator) {}

CredentialManager::CredentialManager() = default;
CredentialManager::~CredentialManager() = default;
void CredentialManager::setUserPassword(const std::string&, const std::string&,
                                        const std::string&) {}
void CredentialManager::setGroupRole(const std::string&, const std::string&) {}

}  // namespace Quillomark::Soa::Client
