#pragma once

#include <soa/schemas/exceptions/ProtocolException.hxx>

namespace Quillomark::Soa::Client {

// A reply whose transfer failed after its status arrived: a ProtocolException
// to the callers of send, which invoke passes straight to its caller, as it
// does a reply that does not parse, and never takes for the reply.
class CutReplyException : public Quillomark::Schemas::Soa::_2006_03::Exceptions::ProtocolException {
public:
    using ProtocolException::ProtocolException;
};

}  // namespace Quillomark::Soa::Client
