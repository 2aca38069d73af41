#pragma once

#include <curl/curl.h>

namespace Quillomark::Soa::Common::Xml {

// A new libcurl handle, as curl_easy_init makes it, or null when memory ran
// out: a copy of a blank one made as the library loads (by curl_easy_init
// only where memory ran out then). curl_easy_init takes a spinlock of
// libcurl's for a moment on each call, which a fork may copy held by a
// thread that the child does not have: a child that made its handles so
// would spin there for good.
CURL* newCurlHandle();

// Initialises the XML parser's platform once per process, with the default
// locale, and never terminates it. The library does so as it loads, after
// setting up OpenSSL (without its exit handler) and libcurl's global state;
// a call finds it done, unless that initialisation threw: then it is tried
// again, and what it throws is thrown.
void initializeXmlPlatform();

}  // namespace Quillomark::Soa::Common::Xml
