#pragma once

#include <soa/client/Connection.hxx>
#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ServiceData.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/schemas/base/ModelSchema.hxx>

#include <string>

namespace Quillomark::Bench {

// A connection whose model manager knows the types of the generated replies,
// so that loading one makes no request. No server is behind it.
class LoadedTypes {
public:
    LoadedTypes();
    Quillomark::Soa::Client::ModelManagerImpl& manager() { return *model; }

private:
    Quillomark::Soa::Client::Connection connection;
    Quillomark::Soa::Client::ModelManagerImpl* model;
};

// The whole road of a reply into the object store, as a service stub walks
// it: parse the bytes into a node tree, read the wire values from it, load
// the service data into the manager; the tree and the wire values are gone
// when it returns. Returns the client service data.
Quillomark::Soa::Client::ServiceData loadReply(Quillomark::Soa::Client::ModelManagerImpl& manager,
                                               const std::string& document);
// The same with the parser of a session, which keeps the tree until its
// next reply and its storage for that reply.
Quillomark::Soa::Client::ServiceData loadReply(
    Quillomark::Soa::Client::ModelManagerImpl& manager,
    Quillomark::Soa::Common::Xml::SAXToNodeParser& parser, const std::string& document);

// The wire values of a <modelSchema> document.
Quillomark::Schemas::Soa::_2006_03::Base::ModelSchema parseSchema(const std::string& document);

}  // namespace Quillomark::Bench
