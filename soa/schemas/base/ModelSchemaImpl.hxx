#pragma once

#include <soa/common/WireFields.hxx>
#include <soa/schemas/base/ModelType.hxx>
#include <soa/schemas/base/ModelClass.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of ModelSchema, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_ModelSchema(X) \
    X(LIST, Type, Quillomark::Schemas::Soa::_2006_03::Base::ModelType) \
    X(LIST, Classe, Quillomark::Schemas::Soa::_2006_03::Base::ModelClass)

// The shared object behind ModelSchema values.
class QMSOA_API ModelSchemaImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(ModelSchemaImpl, QMSOA_BASE_FIELDS_ModelSchema)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
