#pragma once

#include <soa/common/WireFields.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of ErrorValue, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_ErrorValue(X) \
    X(OPT_STRING, Message, ) \
    X(INT, Code, ) \
    X(INT, Level, )

// The shared object behind ErrorValue values.
class QMSOA_API ErrorValueImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(ErrorValueImpl, QMSOA_BASE_FIELDS_ErrorValue)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
