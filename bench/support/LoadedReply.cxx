#include "bench/support/LoadedReply.hxx"

#include "bench/support/ReplyDocuments.hxx"

#include <soa/common/SAXToNodeParser.hxx>
#include <soa/schemas/base/ModelSchema.hxx>
#include <soa/schemas/base/ServiceData.hxx>

namespace Quillomark::Bench {

namespace Base = Quillomark::Schemas::Soa::_2006_03::Base;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::ModelManagerImpl;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;

LoadedTypes::LoadedTypes()
    : connection("http://127.0.0.1:9/unused", nullptr, Connection::HTTP, Connection::REST, true),
      model(static_cast<ModelManagerImpl*>(connection.getModelManager())) {
    model->loadModelSchema(parseSchema(schemaDocument()));
}

Base::ModelSchema parseSchema(const std::string& document) {
    SAXToNodeParser parser;
    Base::ModelSchema schema;
    schema.parse(parser.parseString(document));
    return schema;
}

Quillomark::Soa::Client::ServiceData loadReply(ModelManagerImpl& manager,
                                               const std::string& document) {
    SAXToNodeParser parser;
    return loadReply(manager, parser, document);
}

Quillomark::Soa::Client::ServiceData loadReply(ModelManagerImpl& manager, SAXToNodeParser& parser,
                                               const std::string& document) {
    Base::ServiceData data;
    data.parse(parser.parseString(document));
    return manager.loadServiceData(data);
}

}  // namespace Quillomark::Bench
