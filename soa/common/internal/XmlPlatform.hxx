#pragma once

namespace Quillomark::Soa::Common::Xml {

// Initialises the XML parser's platform once per process, with the default
// locale, and never terminates it. An initialisation that throws is tried
// again by the next call.
void initializeXmlPlatform();

}  // namespace Quillomark::Soa::Common::Xml
