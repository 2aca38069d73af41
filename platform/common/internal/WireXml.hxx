#pragma once

// What the generated XML members of the wire types share (the generator is
// tools/gen_wire_types.py, the form soa/schemas/XML-FORM.md).

#include <soa/common/XMLNode.hxx>
#include <soa/common/XmlStream.hxx>

#include <string>

namespace Quillomark::Soa::Common::Xml::Internal {

// Reads the attributes of one node; an absent attribute gives the default
// and false, a malformed one throws DomException naming node and attribute.
class AttributeReader {
public:
    explicit AttributeReader(const XMLNode& node) : node(node) {}
    bool read(const std::string& name, std::string& value) const;
    bool read(const std::string& name, int& value) const;
    bool read(const std::string& name, bool& value) const;

private:
    const XMLNode& node;
};

// The number of child elements named `name`.
std::size_t countChildren(const XMLNode& node, const std::string& name);

void writeAttribute(XmlStream& out, const std::string& name, int value);
void writeAttribute(XmlStream& out, const std::string& name, bool value);
inline void writeAttribute(XmlStream& out, const std::string& name, const std::string& value) {
    out.attribute(name, value);
}

}  // namespace Quillomark::Soa::Common::Xml::Internal
