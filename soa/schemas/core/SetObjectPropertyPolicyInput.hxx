#pragma once

#include <soa/schemas/core/SetObjectPropertyPolicyInputImpl.hxx>

namespace Quillomark::Schemas::Core::_2007_01::Session {

// The input of a request that selects the object-property policy.
// Copies share one SetObjectPropertyPolicyInputImpl.
class QMSOA_API SetObjectPropertyPolicyInput : public Quillomark::Soa::Common::Xml::Handle<SetObjectPropertyPolicyInputImpl> {
    QMSOA_WIRE_VALUE_BODY(SetObjectPropertyPolicyInput, SetObjectPropertyPolicyInputImpl, QMSOA_SESSION_FIELDS_SetObjectPropertyPolicyInput)
};

}  // namespace Quillomark::Schemas::Core::_2007_01::Session
