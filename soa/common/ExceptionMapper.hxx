#pragma once

#include <soa/common/Export.hxx>

namespace Quillomark::Soa::Common::Xml {
class SAXToNodeParser;
}

namespace Quillomark::Soa::Common::Exceptions {

// Turns a fault reply into the service exception it names.
class QMSOA_API ExceptionMapper {
public:
    // Returns when the parsed reply is no fault. A fault is a document whose
    // root element is in the service exceptions' namespace; its local name
    // names the exception (an unknown name gives ServiceException), the
    // attribute "message" its message, further attributes its other fields.
    // A fault whose fields are malformed throws DomException.
    static void parseExceptionString(Quillomark::Soa::Common::Xml::SAXToNodeParser& parser);
};

}  // namespace Quillomark::Soa::Common::Exceptions
