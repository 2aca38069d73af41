#pragma once

#include <soa/common/WireFields.hxx>
#include <soa/schemas/base/ModelObject.hxx>
#include <soa/schemas/base/ServiceData.hxx>

namespace Quillomark::Schemas::Core::_2006_03::Session {

// The fields of LoginResponse, in declaration order: X(kind, stem, element type).
#define QMSOA_SESSION_FIELDS_LoginResponse(X) \
    X(VALUE, User, Quillomark::Schemas::Soa::_2006_03::Base::ModelObject) \
    X(VALUE, GroupMember, Quillomark::Schemas::Soa::_2006_03::Base::ModelObject) \
    X(VALUE, ServiceData, Quillomark::Schemas::Soa::_2006_03::Base::ServiceData)

// The shared object behind LoginResponse values.
class QMSOA_API LoginResponseImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(LoginResponseImpl, QMSOA_SESSION_FIELDS_LoginResponse)
};

}  // namespace Quillomark::Schemas::Core::_2006_03::Session
