#pragma once

#include <soa/common/Export.hxx>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Quillomark::Soa::Common::Xml {

class SAXToNodeParser;

// One element of a parsed document. The nodes belong to the parser that
// made them and live until it parses again or is destroyed.
//
// A reply has hundreds of thousands of elements, so a node is small: its
// names are shared by all nodes of the parser that have the same name, its
// attributes are kept in the order they were written in storage of the
// parser, and the map that attrs() returns is made on its first call. Like
// the rest of a parsed tree, a node is read by one thread at a time.
class QMSOA_API XMLNode {
public:
    XMLNode() = default;
    // A copy shares the parser's storage: it lives no longer than the
    // original.
    XMLNode(const XMLNode& other);
    XMLNode& operator=(const XMLNode& other);
    ~XMLNode();

    // The element's local name and namespace URI (empty without one).
    const std::string& getName() const { return *name; }
    const std::string& getNamespace() const { return *namespaceUri; }
    // The child elements in document order.
    const std::vector<XMLNode*>& getChildren() const { return children; }
    // The character data directly inside the element, concatenated.
    const std::string& getText() const { return text != nullptr ? *text : *empty(); }
    // The line of the element's start tag.
    int getLine() const { return line; }
    // Attributes by name as written (with its prefix, if any).
    const std::map<std::string, std::string>& attrs() const;

    // The value of an attribute, or null when the element has none of that name.
    const std::string* findAttribute(const std::string& attributeName) const;
    // The first child element with this local name, or null.
    const XMLNode* findChild(const std::string& childName) const;

private:
    friend class SAXToNodeParser;

    struct Attribute {
        const std::string* name;
        std::string value;
    };
    static const std::string* empty();

    const std::string* name = empty();
    const std::string* namespaceUri = empty();
    std::vector<XMLNode*> children;
    std::string* text = nullptr;
    const Attribute* attributes = nullptr;
    std::int32_t line = 0;
    std::uint32_t attributeCount = 0;
    mutable std::unique_ptr<std::map<std::string, std::string>> attributeMap;
};

}  // namespace Quillomark::Soa::Common::Xml
