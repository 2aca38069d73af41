#pragma once

#include <soa/common/WireFields.hxx>

namespace Quillomark::Schemas::Core::_2007_01::Session {

// The fields of SetObjectPropertyPolicyInput, in declaration order: X(kind, stem, element type).
#define QMSOA_SESSION_FIELDS_SetObjectPropertyPolicyInput(X) \
    X(STRING, PolicyName, )

// The shared object behind SetObjectPropertyPolicyInput values.
class QMSOA_API SetObjectPropertyPolicyInputImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(SetObjectPropertyPolicyInputImpl, QMSOA_SESSION_FIELDS_SetObjectPropertyPolicyInput)
};

}  // namespace Quillomark::Schemas::Core::_2007_01::Session
