#pragma once

#include <soa/schemas/base/PreferencesImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// A set of preferences.
// Copies share one PreferencesImpl.
class QMSOA_API Preferences : public Quillomark::Soa::Common::Xml::Handle<PreferencesImpl> {
    QMSOA_WIRE_VALUE_BODY(Preferences, PreferencesImpl, QMSOA_BASE_FIELDS_Preferences)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
