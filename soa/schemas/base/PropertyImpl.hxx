#pragma once

#include <soa/common/WireFields.hxx>
#include <soa/schemas/base/PropertyValue.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of Property, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_Property(X) \
    X(BOOL, Modifiable, ) \
    X(STRING, Name, ) \
    X(STRING, UiValue, ) \
    X(LIST, Value, Quillomark::Schemas::Soa::_2006_03::Base::PropertyValue)

// The shared object behind Property values.
class QMSOA_API PropertyImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(PropertyImpl, QMSOA_BASE_FIELDS_Property)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
