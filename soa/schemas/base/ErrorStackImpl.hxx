#pragma once

#include <soa/common/WireFields.hxx>
#include <soa/schemas/base/ErrorValue.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of ErrorStack, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_ErrorStack(X) \
    X(OPT_STRING, ClientId, ) \
    X(OPT_STRING, Uid, ) \
    X(OPT_INT, ClientIndex, ) \
    X(LIST, ErrorValue, Quillomark::Schemas::Soa::_2006_03::Base::ErrorValue)

// The shared object behind ErrorStack values.
class QMSOA_API ErrorStackImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(ErrorStackImpl, QMSOA_BASE_FIELDS_ErrorStack)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
