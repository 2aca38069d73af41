#pragma once

#include <soa/schemas/base/PreferenceImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// A named preference with its scope and values.
// Copies share one PreferenceImpl.
class QMSOA_API Preference : public Quillomark::Soa::Common::Xml::Handle<PreferenceImpl> {
    QMSOA_WIRE_VALUE_BODY(Preference, PreferenceImpl, QMSOA_BASE_FIELDS_Preference)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
