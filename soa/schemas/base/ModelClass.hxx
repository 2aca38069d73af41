#pragma once

#include <soa/schemas/base/ModelClassImpl.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// A persistent class with its attributes.
// Copies share one ModelClassImpl.
class QMSOA_API ModelClass : public Quillomark::Soa::Common::Xml::Handle<ModelClassImpl> {
    QMSOA_WIRE_VALUE_BODY(ModelClass, ModelClassImpl, QMSOA_BASE_FIELDS_ModelClass)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
