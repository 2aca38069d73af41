#pragma once

#include <soa/common/WireFields.hxx>

namespace Quillomark::Schemas::Soa::_2006_03::Base {

// The fields of Attrib, in declaration order: X(kind, stem, element type).
#define QMSOA_BASE_FIELDS_Attrib(X) \
    X(OPT_INT, MaxLength, ) \
    X(STRING, Name, ) \
    X(STRING, Uid, ) \
    X(INT, Descriptors, ) \
    X(INT, Type, ) \
    X(OPT_STRING, RefClassUid, ) \
    X(OPT_STRING, UiName, )

// The shared object behind Attrib values.
class QMSOA_API AttribImpl : public Quillomark::Soa::Common::Xml::BaseObject {
    QMSOA_WIRE_IMPL_BODY(AttribImpl, QMSOA_BASE_FIELDS_Attrib)
};

}  // namespace Quillomark::Schemas::Soa::_2006_03::Base
