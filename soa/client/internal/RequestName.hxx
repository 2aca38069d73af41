#pragma once

#include <string>

namespace Quillomark::Soa::Client {

// Throws RuntimeException (GENERAL_ERROR) for a service or operation name
// that one of the transports cannot carry as it is, so that a request
// arrives the same way over HTTP and over IIOP, or is sent on neither: an
// empty name, "." or "..", one that holds a "/", a blank, a control
// character (NUL included), "#", "?" or a byte above ASCII, and one longer
// than 4096 bytes. Every sender checks both names before it contacts
// anything.
void checkRequestName(const std::string& name);

}  // namespace Quillomark::Soa::Client
