#include <platform/common/internal/WireXml.hxx>

#include <soa/schemas/core/LoginInput.hxx>
#include <soa/schemas/core/LoginSSOInput.hxx>
#include <soa/schemas/core/LoginResponse.hxx>
#include <soa/schemas/core/SetObjectPropertyPolicyInput.hxx>

namespace Quillomark::Schemas::Core::_2006_03::Session {

QMSOA_WIRE_DEFINE_XML(LoginInput, LoginInputImpl, QMSOA_SESSION_FIELDS_LoginInput)
QMSOA_WIRE_DEFINE_XML(LoginSSOInput, LoginSSOInputImpl, QMSOA_SESSION_FIELDS_LoginSSOInput)
QMSOA_WIRE_DEFINE_XML(LoginResponse, LoginResponseImpl, QMSOA_SESSION_FIELDS_LoginResponse)

}  // namespace Quillomark::Schemas::Core::_2006_03::Session

namespace Quillomark::Schemas::Core::_2007_01::Session {

QMSOA_WIRE_DEFINE_XML(SetObjectPropertyPolicyInput, SetObjectPropertyPolicyInputImpl, QMSOA_SESSION_FIELDS_SetObjectPropertyPolicyInput)

}  // namespace Quillomark::Schemas::Core::_2007_01::Session
