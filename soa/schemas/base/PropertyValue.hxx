#pragma once

#include <soa/schemas/base/PropertyValueImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// One raw value of a property, as text.
// Copies share one PropertyValueImpl.
class QMSOA_API PropertyValue : public Quillomark::Soa::Common::Xml::Handle<PropertyValueImpl> {
    QMSOA_WIRE_VALUE_BODY(PropertyValue, PropertyValueImpl, QMSOA_BASE_FIELDS_PropertyValue)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
