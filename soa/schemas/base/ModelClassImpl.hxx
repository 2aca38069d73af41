#pragma once

#include <soa/common/WireFields.hxx>
#include <soa/schemas/base/Attrib.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of ModelClass, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_ModelClass(X) \
    X(OPT_STRING, ParentClassName, ) \
    X(STRING, Name, ) \
    X(LIST, Attribute, Quillomark::Schemas::Soa::_2006_03::Base::Attrib)

// The shared object behind ModelClass values.
class QMSOA_API ModelClassImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(ModelClassImpl, QMSOA_BASE_FIELDS_ModelClass)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
