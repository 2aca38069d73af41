#include "bench/support/Baselines.hxx"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <stdexcept>

namespace Quillomark::Bench {

using xercesc::XMLUni;

BareSaxParser::BareSaxParser() {
    static const bool initialized = [] {
        xercesc::XMLPlatformUtils::Initialize();
        return true;
    }();
    (void)initialized;
    handler = std::make_unique<xercesc::DefaultHandler>();
    reader.reset(xercesc::XMLReaderFactory::createXMLReader());
    reader->setFeature(XMLUni::fgSAX2CoreNameSpaces, true);
    reader->setFeature(XMLUni::fgSAX2CoreNameSpacePrefixes, false);
    reader->setFeature(XMLUni::fgSAX2CoreValidation, false);
    reader->setFeature(XMLUni::fgXercesSchema, false);
    reader->setFeature(XMLUni::fgXercesLoadExternalDTD, false);
    reader->setContentHandler(handler.get());
    reader->setErrorHandler(handler.get());
}

BareSaxParser::~BareSaxParser() = default;

void BareSaxParser::parse(const std::string& document) {
    xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(document.data()),
                                      document.size(), "bench", false);
    source.setCopyBufToStream(false);
    reader->parse(source);
}

namespace {

std::size_t countElements(xmlNodePtr node) {
    std::size_t count = 0;
    for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
        if (child->type == XML_ELEMENT_NODE) count += 1 + countElements(child);
    }
    return count;
}

}  // namespace

std::size_t parseWithLibxml2(const std::string& document) {
    xmlDocPtr doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), "bench.xml",
                                  nullptr, XML_PARSE_NONET | XML_PARSE_HUGE);
    if (doc == nullptr) throw std::runtime_error("libxml2 refused the document");
    const std::size_t count = countElements(xmlDocGetRootElement(doc));
    xmlFreeDoc(doc);
    return count;
}

}  // namespace Quillomark::Bench
