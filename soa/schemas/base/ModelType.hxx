#pragma once

#include <soa/schemas/base/ModelTypeImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The description of one business-object type.
// Copies share one ModelTypeImpl.
class QMSOA_API ModelType : public Quillomark::Soa::Common::Xml::Handle<ModelTypeImpl> {
    QMSOA_WIRE_VALUE_BODY(ModelType, ModelTypeImpl, QMSOA_BASE_FIELDS_ModelType)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
