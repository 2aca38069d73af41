#pragma once

// Defines the members of a wire type that read and write its XML form, from
// the type's field table (see soa/common/WireFields.hxx and
// soa/schemas/XML-FORM.md).

#include <soa/common/WireFields.hxx>
#include <soa/common/XMLNode.hxx>
#include <soa/common/XmlStream.hxx>

#include <string>

namespace Quillomark::Soa::Common::Xml::Internal {

// The XML name of a field: its stem with a lower-case first letter, and a
// list's with an "s" added.
std::string attributeName(const char* stem);
std::string listName(const char* stem);

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

#define QMSOA_WIRE_NAME(kind, Stem, Element) QMSOA_WIRE_NAME_##kind(Stem)
#define QMSOA_WIRE_NAME_OF_ATTRIBUTE(Stem) \
    const std::string Stem = Quillomark::Soa::Common::Xml::Internal::attributeName(#Stem);
#define QMSOA_WIRE_NAME_STRING(Stem) QMSOA_WIRE_NAME_OF_ATTRIBUTE(Stem)
#define QMSOA_WIRE_NAME_OPT_STRING(Stem) QMSOA_WIRE_NAME_OF_ATTRIBUTE(Stem)
#define QMSOA_WIRE_NAME_INT(Stem) QMSOA_WIRE_NAME_OF_ATTRIBUTE(Stem)
#define QMSOA_WIRE_NAME_OPT_INT(Stem) QMSOA_WIRE_NAME_OF_ATTRIBUTE(Stem)
#define QMSOA_WIRE_NAME_BOOL(Stem) QMSOA_WIRE_NAME_OF_ATTRIBUTE(Stem)
#define QMSOA_WIRE_NAME_OPT_BOOL(Stem) QMSOA_WIRE_NAME_OF_ATTRIBUTE(Stem)
#define QMSOA_WIRE_NAME_VALUE(Stem) QMSOA_WIRE_NAME_OF_ATTRIBUTE(Stem)
#define QMSOA_WIRE_NAME_LIST(Stem) \
    const std::string Stem = Quillomark::Soa::Common::Xml::Internal::listName(#Stem);

// parse, first pass: attributes, and the child fields back to empty.
#define QMSOA_WIRE_PARSE_FIELD(kind, Stem, Element) QMSOA_WIRE_PARSE_FIELD_##kind(Stem, Element)
#define QMSOA_WIRE_PARSE_FIELD_STRING(Stem, Element) reader.read(names.Stem, m##Stem);
#define QMSOA_WIRE_PARSE_FIELD_OPT_STRING(Stem, Element) \
    m##Stem##Set = reader.read(names.Stem, m##Stem);
#define QMSOA_WIRE_PARSE_FIELD_INT(Stem, Element) QMSOA_WIRE_PARSE_FIELD_STRING(Stem, Element)
#define QMSOA_WIRE_PARSE_FIELD_OPT_INT(Stem, Element) \
    QMSOA_WIRE_PARSE_FIELD_OPT_STRING(Stem, Element)
#define QMSOA_WIRE_PARSE_FIELD_BOOL(Stem, Element) QMSOA_WIRE_PARSE_FIELD_STRING(Stem, Element)
#define QMSOA_WIRE_PARSE_FIELD_OPT_BOOL(Stem, Element) \
    QMSOA_WIRE_PARSE_FIELD_OPT_STRING(Stem, Element)
// A list is sized once for its elements: growing it one by one would copy
// every handle, and touch every element, at each reallocation.
#define QMSOA_WIRE_PARSE_FIELD_LIST(Stem, Element) \
    m##Stem.clear();                               \
    m##Stem.reserve(Quillomark::Soa::Common::Xml::Internal::countChildren(node, names.Stem));
// A new object: a value shared with someone else is not changed.
#define QMSOA_WIRE_PARSE_FIELD_VALUE(Stem, Element) m##Stem = Element();

// parse, second pass: one child element.
#define QMSOA_WIRE_PARSE_CHILD(kind, Stem, Element) QMSOA_WIRE_PARSE_CHILD_##kind(Stem, Element)
#define QMSOA_WIRE_PARSE_CHILD_STRING(Stem, Element)
#define QMSOA_WIRE_PARSE_CHILD_OPT_STRING(Stem, Element)
#define QMSOA_WIRE_PARSE_CHILD_INT(Stem, Element)
#define QMSOA_WIRE_PARSE_CHILD_OPT_INT(Stem, Element)
#define QMSOA_WIRE_PARSE_CHILD_BOOL(Stem, Element)
#define QMSOA_WIRE_PARSE_CHILD_OPT_BOOL(Stem, Element)
#define QMSOA_WIRE_PARSE_CHILD_LIST(Stem, Element) \
    if (childName == names.Stem) {                 \
        m##Stem.emplace_back();                    \
        m##Stem.back().parse(*child);              \
        continue;                                  \
    }
#define QMSOA_WIRE_PARSE_CHILD_VALUE(Stem, Element) \
    if (childName == names.Stem) {                  \
        m##Stem.parse(*child);                      \
        continue;                                   \
    }

// outputXML: attributes first, then the child elements, both in table order.
#define QMSOA_WIRE_OUTPUT_ATTRIBUTE(kind, Stem, Element) \
    QMSOA_WIRE_OUTPUT_ATTRIBUTE_##kind(Stem, Element)
#define QMSOA_WIRE_OUTPUT_ATTRIBUTE_STRING(Stem, Element) \
    Quillomark::Soa::Common::Xml::Internal::writeAttribute(out, names.Stem, m##Stem);
#define QMSOA_WIRE_OUTPUT_ATTRIBUTE_OPT_STRING(Stem, Element) \
    if (m##Stem##Set) QMSOA_WIRE_OUTPUT_ATTRIBUTE_STRING(Stem, Element)
#define QMSOA_WIRE_OUTPUT_ATTRIBUTE_INT(Stem, Element) \
    QMSOA_WIRE_OUTPUT_ATTRIBUTE_STRING(Stem, Element)
#define QMSOA_WIRE_OUTPUT_ATTRIBUTE_OPT_INT(Stem, Element) \
    QMSOA_WIRE_OUTPUT_ATTRIBUTE_OPT_STRING(Stem, Element)
#define QMSOA_WIRE_OUTPUT_ATTRIBUTE_BOOL(Stem, Element) \
    QMSOA_WIRE_OUTPUT_ATTRIBUTE_STRING(Stem, Element)
#define QMSOA_WIRE_OUTPUT_ATTRIBUTE_OPT_BOOL(Stem, Element) \
    QMSOA_WIRE_OUTPUT_ATTRIBUTE_OPT_STRING(Stem, Element)
#define QMSOA_WIRE_OUTPUT_ATTRIBUTE_LIST(Stem, Element)
#define QMSOA_WIRE_OUTPUT_ATTRIBUTE_VALUE(Stem, Element)

#define QMSOA_WIRE_OUTPUT_CHILD(kind, Stem, Element) QMSOA_WIRE_OUTPUT_CHILD_##kind(Stem, Element)
#define QMSOA_WIRE_OUTPUT_CHILD_STRING(Stem, Element)
#define QMSOA_WIRE_OUTPUT_CHILD_OPT_STRING(Stem, Element)
#define QMSOA_WIRE_OUTPUT_CHILD_INT(Stem, Element)
#define QMSOA_WIRE_OUTPUT_CHILD_OPT_INT(Stem, Element)
#define QMSOA_WIRE_OUTPUT_CHILD_BOOL(Stem, Element)
#define QMSOA_WIRE_OUTPUT_CHILD_OPT_BOOL(Stem, Element)
#define QMSOA_WIRE_OUTPUT_CHILD_LIST(Stem, Element) \
    for (const Element& element : m##Stem) element.outputXML(out, names.Stem);
#define QMSOA_WIRE_OUTPUT_CHILD_VALUE(Stem, Element) m##Stem.outputXML(out, names.Stem);

// The default constructors, cloning, parse and outputXML of `Value` over
// `Impl` with the fields of `FIELDS`; used inside the type's namespace.
#define QMSOA_WIRE_DEFINE_XML(Value, Impl, FIELDS)                                        \
    namespace {                                                                           \
    struct Impl##XmlNames {                                                               \
        FIELDS(QMSOA_WIRE_NAME)                                                           \
    };                                                                                    \
    const Impl##XmlNames& Impl##Names() {                                                 \
        static const Impl##XmlNames names;                                                \
        return names;                                                                     \
    }                                                                                     \
    }                                                                                     \
    Value::Value() : Handle(new Impl) {}                                                  \
    Value::Value(Impl* object) : Handle(object) {}                                        \
    Impl::Impl() = default;                                                               \
    Impl* Impl::reallyClone() const { return new Impl(*this); }                           \
    void Impl::parse(const Quillomark::Soa::Common::Xml::XMLNode& node) {                 \
        const Impl##XmlNames& names = Impl##Names();                                      \
        const Quillomark::Soa::Common::Xml::Internal::AttributeReader reader(node);       \
        FIELDS(QMSOA_WIRE_PARSE_FIELD)                                                    \
        for (const Quillomark::Soa::Common::Xml::XMLNode* child : node.getChildren()) {   \
            const std::string& childName = child->getName();                              \
            (void)childName;                                                              \
            FIELDS(QMSOA_WIRE_PARSE_CHILD)                                                \
        }                                                                                 \
        (void)reader;                                                                     \
    }                                                                                     \
    void Impl::outputXML(Quillomark::Soa::Common::Xml::XmlStream& out,                    \
                         const std::string& elementName) const {                          \
        const Impl##XmlNames& names = Impl##Names();                                      \
        out.startElement(elementName);                                                    \
        FIELDS(QMSOA_WIRE_OUTPUT_ATTRIBUTE)                                               \
        FIELDS(QMSOA_WIRE_OUTPUT_CHILD)                                                   \
        out.endElement();                                                                 \
        (void)names;                                                                      \
    }
