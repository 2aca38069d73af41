#pragma once

#include <soa/common/WireFields.hxx>

namespace Quillomark::Schemas::Core::_2006_03::Session {

// The fields of LoginInput, in declaration order: X(kind, stem, element type).
#define QMSOA_SESSION_FIELDS_LoginInput(X) \
    X(STRING, Username, ) \
    X(STRING, Password, ) \
    X(STRING, Group, ) \
    X(STRING, Role, ) \
    X(STRING, SessionDiscriminator, )

// The shared object behind LoginInput values.
class QMSOA_API LoginInputImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(LoginInputImpl, QMSOA_SESSION_FIELDS_LoginInput)
};

}  // namespace Quillomark::Schemas::Core::_2006_03::Session
