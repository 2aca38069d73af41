#pragma once

#include <soa/common/WireFields.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of RefId, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_RefId(X) \
    X(STRING, Uid, )

// The shared object behind RefId values.
class QMSOA_API RefIdImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(RefIdImpl, QMSOA_BASE_FIELDS_RefId)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
