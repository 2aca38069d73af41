#pragma once

#include <soa/common/Export.hxx>

namespace Quillomark::Soa::Common::Xml {

// Thrown when a wire value would be bound to no object.
class QMSOA_API TryingToCreateNullHandle {
public:
    TryingToCreateNullHandle& operator=(const TryingToCreateNullHandle&) { return *this; }
};

}  // namespace Quillomark::Soa::Common::Xml
