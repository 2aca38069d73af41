#pragma once

#include <soa/schemas/base/ErrorStackImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// A partial error: the errors of one input or object.
// Copies share one ErrorStackImpl.
class QMSOA_API ErrorStack : public Quillomark::Soa::Common::Xml::Handle<ErrorStackImpl> {
    QMSOA_WIRE_VALUE_BODY(ErrorStack, ErrorStackImpl, QMSOA_BASE_FIELDS_ErrorStack)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
