#pragma once

#include <soa/schemas/base/RefIdImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// A reference to a business object by UID.
// Copies share one RefIdImpl.
class QMSOA_API RefId : public Quillomark::Soa::Common::Xml::Handle<RefIdImpl> {
    QMSOA_WIRE_VALUE_BODY(RefId, RefIdImpl, QMSOA_BASE_FIELDS_RefId)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
