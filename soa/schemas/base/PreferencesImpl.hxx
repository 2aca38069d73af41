#pragma once

#include <soa/common/WireFields.hxx>
#include <soa/schemas/base/Preference.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of Preferences, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_Preferences(X) \
    X(LIST, Pref, Quillomark::Schemas::Soa::_2006_03::Base::Preference)

// The shared object behind Preferences values.
class QMSOA_API PreferencesImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(PreferencesImpl, QMSOA_BASE_FIELDS_Preferences)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
