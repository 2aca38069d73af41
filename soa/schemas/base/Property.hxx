#pragma once

#include <soa/schemas/base/PropertyImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// One property of a business object: name, display text and raw values.
// Copies share one PropertyImpl.
class QMSOA_API Property : public Quillomark::Soa::Common::Xml::Handle<PropertyImpl> {
    QMSOA_WIRE_VALUE_BODY(Property, PropertyImpl, QMSOA_BASE_FIELDS_Property)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
