#pragma once

#include <soa/common/WireFields.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of PropDependant, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_PropDependant(X) \
    X(STRING, Name, )

// The shared object behind PropDependant values.
class QMSOA_API PropDependantImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(PropDependantImpl, QMSOA_BASE_FIELDS_PropDependant)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
