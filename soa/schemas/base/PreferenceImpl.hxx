#pragma once

#include <soa/common/WireFields.hxx>
#include <soa/schemas/base/PreferenceValue.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of Preference, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_Preference(X) \
    X(STRING, Name, ) \
    X(STRING, Scope, ) \
    X(LIST, Value, Quillomark::Schemas::Soa::_2006_03::Base::PreferenceValue)

// The shared object behind Preference values.
class QMSOA_API PreferenceImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(PreferenceImpl, QMSOA_BASE_FIELDS_Preference)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
