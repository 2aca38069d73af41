#include <soa/schemas/core/LoginInput.hxx>
#include <soa/schemas/core/LoginSSOInput.hxx>
#include <soa/schemas/core/LoginResponse.hxx>
#include <soa/schemas/core/SetObjectPropertyPolicyInput.hxx>

namespace Quillomark::Schemas::Core::_2006_03::Session {

QMSOA_WIRE_DEFINE_COPYING(LoginInput, LoginInputImpl)
QMSOA_WIRE_DEFINE_COPYING(LoginSSOInput, LoginSSOInputImpl)
QMSOA_WIRE_DEFINE_COPYING(LoginResponse, LoginResponseImpl)

}  // namespace Quillomark::Schemas::Core::_2006_03::Session

namespace Quillomark::Schemas::Core::_2007_01::Session {

QMSOA_WIRE_DEFINE_COPYING(SetObjectPropertyPolicyInput, SetObjectPropertyPolicyInputImpl)

}  // namespace Quillomark::Schemas::Core::_2007_01::Session
