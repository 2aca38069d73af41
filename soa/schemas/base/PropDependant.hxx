#pragma once

#include <soa/schemas/base/PropDependantImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The name of a property that depends on another.
// Copies share one PropDependantImpl.
class QMSOA_API PropDependant : public Quillomark::Soa::Common::Xml::Handle<PropDependantImpl> {
    QMSOA_WIRE_VALUE_BODY(PropDependant, PropDependantImpl, QMSOA_BASE_FIELDS_PropDependant)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
