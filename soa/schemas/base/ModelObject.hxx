#pragma once

#include <soa/schemas/base/ModelObjectImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// A business object as the server sends it: UID, type and properties.
// Copies share one ModelObjectImpl.
class QMSOA_API ModelObject : public Quillomark::Soa::Common::Xml::Handle<ModelObjectImpl> {
    QMSOA_WIRE_VALUE_BODY(ModelObject, ModelObjectImpl, QMSOA_BASE_FIELDS_ModelObject)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
