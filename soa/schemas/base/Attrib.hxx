#pragma once

#include <soa/schemas/base/AttribImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// One attribute of a persistent class.
// Copies share one AttribImpl.
class QMSOA_API Attrib : public Quillomark::Soa::Common::Xml::Handle<AttribImpl> {
    QMSOA_WIRE_VALUE_BODY(Attrib, AttribImpl, QMSOA_BASE_FIELDS_Attrib)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
