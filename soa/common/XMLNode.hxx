#pragma once

#include <soa/common/Export.hxx>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Quillomark::Soa::Common::Xml {

class SAXToNodeParser;

// One element of a parsed document. The nodes belong to the parser that
// made them and live until it parses again or is destroyed.
class QMSOA_API XMLNode {
public:
    XMLNode() = default;

    // The element's local name and namespace URI (empty without one).
    const std::string& getName() const { return name; }
    const std::string& getNamespace() const { return namespaceUri; }
    // The child elements in document order.
    const std::vector<XMLNode*>& getChildren() const { return children; }
    // The character data directly inside the element, concatenated.
    const std::string& getText() const { return text; }
    // The line of the element's start tag.
    int getLine() const { return line; }
    // Attributes by name as written (with its prefix, if any).
    const std::map<std::string, std::string>& attrs() const { return attributes; }

    // The value of an attribute, or null when the element has none of that name.
    const std::string* findAttribute(const std::string& attributeName) const;
    // The first child element with this local name, or null.
    const XMLNode* findChild(const std::string& childName) const;

private:
    friend class SAXToNodeParser;

    std::string name;
    std::string namespaceUri;
    std::vector<XMLNode*> children;
    std::string text;
    std::int32_t line = 0;
    std::map<std::string, std::string> attributes;
};

}  // namespace Quillomark::Soa::Common::Xml
