#pragma once

#include <soa/schemas/base/ErrorValueImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// One error of a partial error: code, level and message.
// Copies share one ErrorValueImpl.
class QMSOA_API ErrorValue : public Quillomark::Soa::Common::Xml::Handle<ErrorValueImpl> {
    QMSOA_WIRE_VALUE_BODY(ErrorValue, ErrorValueImpl, QMSOA_BASE_FIELDS_ErrorValue)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
