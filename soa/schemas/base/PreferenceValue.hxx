#pragma once

#include <soa/schemas/base/PreferenceValueImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// One value of a preference.
// Copies share one PreferenceValueImpl.
class QMSOA_API PreferenceValue : public Quillomark::Soa::Common::Xml::Handle<PreferenceValueImpl> {
    QMSOA_WIRE_VALUE_BODY(PreferenceValue, PreferenceValueImpl, QMSOA_BASE_FIELDS_PreferenceValue)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
