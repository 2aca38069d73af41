#pragma once

#include <soa/common/WireFields.hxx>
#include <soa/schemas/base/PropDescriptor.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of ModelType, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_ModelType(X) \
    X(BOOL, TransientType, ) \
    X(OPT_STRING, ParentTypeName, ) \
    X(BOOL, ExternalObject, ) \
    X(OPT_STRING, UifName, ) \
    X(STRING, Name, ) \
    X(STRING, Uid, ) \
    X(STRING, ClassName, ) \
    X(STRING, TypeUid, ) \
    X(LIST, PropDescriptor, Quillomark::Schemas::Soa::_2006_03::Base::PropDescriptor)

// The shared object behind ModelType values.
class QMSOA_API ModelTypeImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(ModelTypeImpl, QMSOA_BASE_FIELDS_ModelType)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
