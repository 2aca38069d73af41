#pragma once

#include <soa/common/Export.hxx>
#include <soa/common/XMLNode.hxx>

#include <xercesc/sax2/DefaultHandler.hpp>

#include <memory>
#include <string>
#include <vector>

XERCES_CPP_NAMESPACE_BEGIN
class SAX2XMLReader;
class SecurityManager;
XERCES_CPP_NAMESPACE_END

namespace Quillomark::Soa::Common::Xml {

// Parses a whole document into a tree of XMLNode (namespaces on, no
// validation). The text is untrusted network input: a document with a
// DOCTYPE (and so with any DTD or entity of its own) or with elements
// nested deeper than MAX_DEPTH is refused as soon as that is read. A parser
// can be used for many documents in turn: each parse replaces the previous
// tree.
class QMSOA_API SAXToNodeParser : public xercesc::DefaultHandler {
public:
    // The most entity references one document may expand.
    static constexpr XMLSize_t ENTITY_EXPANSION_LIMIT = 10000;
    // The deepest nesting of elements a document may have; replies nest a
    // handful of levels.
    static constexpr std::size_t MAX_DEPTH = 256;

    SAXToNodeParser();
    ~SAXToNodeParser() override;
    SAXToNodeParser(const SAXToNodeParser&) = delete;
    SAXToNodeParser& operator=(const SAXToNodeParser&) = delete;

    // Parses `document` and returns its root element. Text the parser
    // rejects throws Quillomark::Soa::Common::Exceptions::DomException with
    // the line, the column and the reason; the tree is then empty.
    const XMLNode& parseString(const std::string& document);
    // The root element of the last parse (an empty node before the first).
    const XMLNode& getRoot() const;

    // SAX handlers.
    void startDocument() override {}
    void endDocument() override {}
    void ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length) override {
        (void)chars;
        (void)length;
    }
    void processingInstruction(const XMLCh* const target, const XMLCh* const data) override {
        (void)target;
        (void)data;
    }
    void setDocumentLocator(const xercesc::Locator* const locator) override;
    void startElement(const XMLCh* const uri, const XMLCh* const localname,
                      const XMLCh* const qname, const xercesc::Attributes& attrs) override;
    void endElement(const XMLCh* const uri, const XMLCh* const localname,
                    const XMLCh* const qname) override;
    void characters(const XMLCh* const chars, const XMLSize_t length) override;
    void fatalError(const xercesc::SAXParseException& exc) override;
    void error(const xercesc::SAXParseException& exc) override;
    void startDTD(const XMLCh* const name, const XMLCh* const publicId,
                  const XMLCh* const systemId) override;
    void externalEntityDecl(const XMLCh* const name, const XMLCh* const publicId,
                            const XMLCh* const systemId) override;
    void unparsedEntityDecl(const XMLCh* const name, const XMLCh* const publicId,
                            const XMLCh* const systemId, const XMLCh* const notationName) override;
    xercesc::InputSource* resolveEntity(const XMLCh* const publicId,
                                        const XMLCh* const systemId) override;

private:
    void createReader();
    void clearTree();
    // The one copy of a name in this parser's tree.
    const std::string* intern(const XMLCh* text);
    [[noreturn]] void refuse(const std::string& reason) const;

    std::unique_ptr<xercesc::SecurityManager> securityManager;
    std::unique_ptr<xercesc::SAX2XMLReader> reader;
    const xercesc::Locator* locator = nullptr;

    // The nodes and attributes of the current tree and the elements still
    // open while it is built.
    struct Tree;
    std::unique_ptr<Tree> tree;
    XMLNode* root = nullptr;
    XMLNode emptyRoot;
};

}  // namespace Quillomark::Soa::Common::Xml
