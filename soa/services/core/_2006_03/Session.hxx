#pragma once

#include <soa/client/ServiceData.hxx>
#include <soa/common/Export.hxx>

#include <string>

namespace Quillomark::Soa::Client {
class ModelObject;
}

namespace Quillomark::Services::Core::_2006_03 {

// The 2006-03 operations of the core session service. The runtime calls
// `login` and `loginSSO` to log a session in again; the other operations
// belong to the service stubs' side.
class QMSOA_API Session {
public:
    // The outcome of a login: the user and the group member as client
    // objects, and the service data of the reply.
    struct LoginResponse {
        Quillomark::Soa::Client::ModelObject* user = nullptr;
        Quillomark::Soa::Client::ModelObject* groupMember = nullptr;
        Quillomark::Soa::Client::ServiceData serviceData;
    };

    Session() = default;
    Session(const Session&) = default;
    Session& operator=(const Session&) = default;

    virtual void reserved_2006_03_0() = 0;
    virtual void reserved_2006_03_1() = 0;
    virtual LoginResponse login(const std::string& user, const std::string& password,
                                const std::string& group, const std::string& role,
                                const std::string& discriminator) = 0;
    virtual void reserved_2006_03_3() = 0;
    virtual void reserved_2006_03_4() = 0;
    virtual void reserved_2006_03_5() = 0;
    virtual void reserved_2006_03_6() = 0;
    virtual LoginResponse loginSSO(const std::string& user, const std::string& ssoCredentials,
                                   const std::string& group, const std::string& role,
                                   const std::string& discriminator) = 0;
    virtual void reserved_2006_03_8() = 0;

protected:
    virtual ~Session();
};

}  // namespace Quillomark::Services::Core::_2006_03
