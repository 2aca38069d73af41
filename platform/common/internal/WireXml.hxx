#pragma once

// What the generated XML members of the wire types share (the generator is
// tools/gen_wire_types.py, the form soa/schemas/XML-FORM.md).

#include <soa/common/XMLNode.hxx>
#include <soa/common/XmlStream.hxx>

#include <cstddef>
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

// While one is open on a thread, the wire objects made on that thread share
// heap blocks of a few kilobytes instead of asking for one block each: a
// reply makes hundreds of thousands of small objects. A block is freed with
// the last object made in it, on whichever thread that goes. Scopes nest;
// the outermost one closes the arena. Every wire type's object is made and
// freed through newWireObject and deleteWireObject.
class ArenaScope {
public:
    ArenaScope();
    ~ArenaScope();
    ArenaScope(const ArenaScope&) = delete;
    ArenaScope& operator=(const ArenaScope&) = delete;

private:
    bool outermost;
};

void* newWireObject(std::size_t size);
void deleteWireObject(void* memory) noexcept;

void writeAttribute(XmlStream& out, const std::string& name, int value);
void writeAttribute(XmlStream& out, const std::string& name, bool value);
inline void writeAttribute(XmlStream& out, const std::string& name, const std::string& value) {
    out.attribute(name, value);
}

}  // namespace Quillomark::Soa::Common::Xml::Internal
