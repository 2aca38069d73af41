#pragma once

namespace Quillomark::Soa::Common::Xml {

// Initialises the XML parser's platform once per process, with the default
// locale, and never terminates it. The library does so as it loads, after
// setting up OpenSSL (without its exit handler) and libcurl's global state;
// a call finds it done, unless that initialisation threw: then it is tried
// again, and what it throws is thrown.
void initializeXmlPlatform();

}  // namespace Quillomark::Soa::Common::Xml
