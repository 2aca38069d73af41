#pragma once

#include <soa/schemas/base/ModelSchemaImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// Type and class descriptions.
// Copies share one ModelSchemaImpl.
class QMSOA_API ModelSchema : public Quillomark::Soa::Common::Xml::Handle<ModelSchemaImpl> {
    QMSOA_WIRE_VALUE_BODY(ModelSchema, ModelSchemaImpl, QMSOA_BASE_FIELDS_ModelSchema)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
