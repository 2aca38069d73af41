#pragma once

#include <soa/common/WireFields.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of PreferenceValue, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_PreferenceValue(X) \
    X(STRING, Value, )

// The shared object behind PreferenceValue values.
class QMSOA_API PreferenceValueImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(PreferenceValueImpl, QMSOA_BASE_FIELDS_PreferenceValue)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
