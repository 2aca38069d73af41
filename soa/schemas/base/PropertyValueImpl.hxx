#pragma once

#include <soa/common/WireFields.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of PropertyValue, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_PropertyValue(X) \
    X(OPT_BOOL, IsNull, ) \
    X(STRING, Value, )

// The shared object behind PropertyValue values.
class QMSOA_API PropertyValueImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(PropertyValueImpl, QMSOA_BASE_FIELDS_PropertyValue)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
