#pragma once

#include <soa/common/WireFields.hxx>
#include <soa/schemas/base/PropDependant.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of PropDescriptor, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_PropDescriptor(X) \
    X(STRING, Name, ) \
    X(OPT_INT, MaxLength, ) \
    X(OPT_STRING, LovUid, ) \
    X(OPT_STRING, LovTypeUid, ) \
    X(BOOL, Displayable, ) \
    X(OPT_INT, AttachedSpecifier, ) \
    X(STRING, TypeUid, ) \
    X(OPT_BOOL, Enabled, ) \
    X(OPT_BOOL, Required, ) \
    X(INT, Type, ) \
    X(BOOL, AnArray, ) \
    X(STRING, Uiname, ) \
    X(INT, Ptype, ) \
    X(BOOL, Modifiable, ) \
    X(LIST, PropDependant, Quillomark::Schemas::Soa::_2006_03::Base::PropDependant)

// The shared object behind PropDescriptor values.
class QMSOA_API PropDescriptorImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(PropDescriptorImpl, QMSOA_BASE_FIELDS_PropDescriptor)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
