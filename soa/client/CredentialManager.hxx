#pragma once

#include <soa/common/Export.hxx>
#include <soa/schemas/exceptions/InvalidCredentialsException.hxx>
#include <soa/schemas/exceptions/InvalidUserException.hxx>

#include <string>

namespace Quillomark::Soa::Client {

class SessionManager;

// Implemented by the application: supplies credentials when the session must
// be logged in again, and hears of every successful login.
class QMSOA_API CredentialManager {
public:
    struct QMSOA_API Credentials {
        Credentials(const std::string& user, const std::string& password, const std::string& group,
                    const std::string& role, const std::string& discriminator);

        std::string user;
        std::string password;  // for single-sign-on credentials, the SSO credential text
        std::string group;
        std::string role;
        std::string discriminator;

    private:
        friend class SessionManager;
        Credentials();
    };

    virtual ~CredentialManager();

    // 1: single-sign-on credentials (the re-login uses loginSSO); otherwise user and password.
    virtual int getCredentialType() = 0;
    virtual Credentials getCredentials(
        Quillomark::Schemas::Soa::_2006_03::Exceptions::InvalidUserException cause) = 0;
    virtual Credentials getCredentials(
        Quillomark::Schemas::Soa::_2006_03::Exceptions::InvalidCredentialsException cause) = 0;
    virtual void setUserPassword(const std::string& user, const std::string& password,
                                 const std::string& discriminator);
    virtual void setGroupRole(const std::string& group, const std::string& role);

protected:
    CredentialManager();
};

}  // namespace Quillomark::Soa::Client
