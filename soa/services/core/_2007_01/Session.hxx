#pragma once

#include <soa/common/Export.hxx>

#include <string>

namespace Quillomark::Services::Core::_2007_01 {

// The 2007-01 operations of the core session service. The runtime calls
// `setObjectPropertyPolicy` after a re-login to restore the policy in force.
class QMSOA_API Session {
public:
    Session() = default;
    Session(const Session&) = default;
    Session& operator=(const Session&) = default;

    virtual void reserved_2007_01_0() = 0;
    virtual void reserved_2007_01_1() = 0;
    virtual void setObjectPropertyPolicy(const std::string& policyName) = 0;

protected:
    virtual ~Session();
};

}  // namespace Quillomark::Services::Core::_2007_01
