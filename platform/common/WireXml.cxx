#include <platform/common/internal/WireXml.hxx>

#include <soa/common/BadLexicalCast.hxx>
#include <soa/common/DomException.hxx>
#include <soa/common/LexicalCast.hxx>

namespace Quillomark::Soa::Common::Xml::Internal {

using Quillomark::Soa::Common::Exceptions::BadLexicalCast;
using Quillomark::Soa::Common::Exceptions::DomException;

bool AttributeReader::read(const std::string& name, std::string& value) const {
    const std::string* found = node.findAttribute(name);
    if (found == nullptr) {
        value.clear();
        return false;
    }
    value = *found;
    return true;
}

std::size_t countChildren(const XMLNode& node, const std::string& name) {
    std::size_t count = 0;
    for (const XMLNode* child : node.getChildren()) {
        if (child->getName() == name) ++count;
    }
    return count;
}

namespace {

template <typename T>
bool readConverted(const XMLNode& node, const std::string& name, T& value) {
    const std::string* found = node.findAttribute(name);
    if (found == nullptr) {
        value = T();
        return false;
    }
    try {
        value = lexical_cast<T>(*found);
    } catch (const BadLexicalCast& e) {
        throw DomException("line " + std::to_string(node.getLine()) + ", element " +
                           node.getName() + ", attribute " + name + ": " + e.getMessage());
    }
    return true;
}

}  // namespace

bool AttributeReader::read(const std::string& name, int& value) const {
    return readConverted(node, name, value);
}

bool AttributeReader::read(const std::string& name, bool& value) const {
    return readConverted(node, name, value);
}

void writeAttribute(XmlStream& out, const std::string& name, int value) {
    out.attribute(name, lexical_cast<std::string>(value));
}

void writeAttribute(XmlStream& out, const std::string& name, bool value) {
    out.attribute(name, value ? "true" : "false");
}

}  // namespace Quillomark::Soa::Common::Xml::Internal
