#pragma once

#include <soa/common/WireFields.hxx>

namespace Quillomark::Schemas::Core::_2006_03::Session {

// The fields of LoginSSOInput, in declaration order: X(kind, stem, element type).
#define QMSOA_SESSION_FIELDS_LoginSSOInput(X) \
    X(STRING, Username, ) \
    X(STRING, SsoCredentials, ) \
    X(STRING, Group, ) \
    X(STRING, Role, ) \
    X(STRING, SessionDiscriminator, )

// The shared object behind LoginSSOInput values.
class QMSOA_API LoginSSOInputImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(LoginSSOInputImpl, QMSOA_SESSION_FIELDS_LoginSSOInput)
};

}  // namespace Quillomark::Schemas::Core::_2006_03::Session
