#pragma once

#include <soa/common/WireFields.hxx>
#include <soa/schemas/base/Property.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of ModelObject, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_ModelObject(X) \
    X(OPT_STRING, ClassUid, ) \
    X(STRING, Uid, ) \
    X(OPT_STRING, ClassName, ) \
    X(OPT_STRING, Type, ) \
    X(LIST, Propertie, Quillomark::Schemas::Soa::_2006_03::Base::Property)

// The shared object behind ModelObject values.
class QMSOA_API ModelObjectImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(ModelObjectImpl, QMSOA_BASE_FIELDS_ModelObject)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
