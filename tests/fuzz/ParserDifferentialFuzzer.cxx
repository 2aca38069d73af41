// The same bytes read by the library's parser and by libxml2 (namespaces
// on, no DTD loaded, no entity substituted), trees compared: a document the
// library reads must be well-formed to libxml2 too, with the same elements,
// namespaces, attributes and text. The library may refuse more (a DOCTYPE,
// XML 1.1, encodings other than UTF-8, UTF-16, ISO-8859-1 and US-ASCII),
// never less.
//
// Each input is also read by one parser that has read every input before
// it: that parser must answer as a new one does.
//
// Input: one document.

#include "tests/fuzz/FuzzCheck.hxx"

#include <soa/common/DomException.hxx>
#include <soa/common/SAXToNodeParser.hxx>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <cstdio>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace {

using Quillomark::Soa::Common::Exceptions::DomException;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;
using Quillomark::Soa::Common::Xml::XMLNode;

// A tree written out so that two trees are equal exactly when their texts
// are: every field carries its length.
class TreeText {
public:
    TreeText& field(std::string_view value) {
        text += std::to_string(value.size());
        text += ':';
        text += value;
        return *this;
    }
    TreeText& mark(char c) {
        text += c;
        return *this;
    }
    std::string text;
};

void write(TreeText& out, const XMLNode& node) {
    out.mark('(').field(node.getNamespace()).field(node.getName());
    for (const auto& [name, value] : node.attrs()) out.mark('@').field(name).field(value);
    out.mark('"').field(node.getText());
    for (const XMLNode* child : node.getChildren()) write(out, *child);
    out.mark(')');
}

std::string_view view(const xmlChar* text) {
    return text == nullptr ? std::string_view() : reinterpret_cast<const char*>(text);
}

// A namespace name as libxml2 keeps it when it substitutes no entities:
// each '&' of the name stays written as "&#38;" (a '&' can stand in it no
// other way).
std::string namespaceName(xmlNsPtr ns) {
    std::string name(ns != nullptr ? view(ns->href) : "");
    for (std::size_t at = name.find("&#38;"); at != std::string::npos;
         at = name.find("&#38;", at + 1)) {
        name.replace(at, 5, "&");
    }
    return name;
}

// The same form from libxml2's tree: attributes by their name as written,
// sorted as the library's map sorts them; the text of an element is that of
// its text and CDATA children.
void write(TreeText& out, xmlNodePtr element) {
    out.mark('(').field(namespaceName(element->ns));
    out.field(view(element->name));
    std::map<std::string, std::string> attributes;
    for (xmlAttrPtr attribute = element->properties; attribute != nullptr;
         attribute = attribute->next) {
        std::string name(view(attribute->name));
        if (attribute->ns != nullptr && attribute->ns->prefix != nullptr) {
            name = std::string(view(attribute->ns->prefix)) + ":" + name;
        }
        xmlChar* value = xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(attribute));
        attributes[name] = std::string(view(value));
        xmlFree(value);
    }
    for (const auto& [name, value] : attributes) out.mark('@').field(name).field(value);
    std::string text;
    for (xmlNodePtr child = element->children; child != nullptr; child = child->next) {
        if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
            text += view(child->content);
        }
    }
    out.mark('"').field(text);
    for (xmlNodePtr child = element->children; child != nullptr; child = child->next) {
        if (child->type == XML_ELEMENT_NODE) write(out, child);
    }
    out.mark(')');
}

// The tree the library reads, or its message when it refuses.
struct Reading {
    bool accepted;
    std::string text;
    bool operator==(const Reading& other) const {
        return accepted == other.accepted && text == other.text;
    }
};

Reading readWith(SAXToNodeParser& parser, const std::string& document) {
    try {
        TreeText out;
        write(out, parser.parseString(document));
        return {true, out.text};
    } catch (const DomException& e) {
        return {false, e.getMessage()};
    }
}

// Namespace errors libxml2 met in the document it reads. Namespace names
// that are not URIs count for nothing: libxml2 reports them, but a
// namespace name is compared as a string and refused by no rule of
// well-formedness.
int namespaceErrors = 0;

void countNamespaceError(void*, xmlErrorPtr error) {
    if (error->domain == XML_FROM_NAMESPACE && error->code != XML_WAR_NS_URI &&
        error->code != XML_WAR_NS_URI_RELATIVE) {
        ++namespaceErrors;
    }
}

// libxml2's tree of a document it finds well-formed, namespaces included.
std::optional<std::string> readWithLibxml2(const std::string& document) {
    static const bool initialised =
        (xmlInitParser(), xmlSetStructuredErrorFunc(nullptr, countNamespaceError), true);
    (void)initialised;
    namespaceErrors = 0;
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    FUZZ_CHECK(context != nullptr);
    // No DTD is loaded and no entity substituted (no XML_PARSE_NOENT,
    // XML_PARSE_DTDLOAD); the depth limit lies beyond the library's.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_HUGE;
    FUZZ_CHECK(document.size() <= static_cast<std::size_t>(std::numeric_limits<int>::max()));
    xmlDocPtr tree = xmlCtxtReadMemory(context, document.data(), static_cast<int>(document.size()),
                                       "reply", nullptr, options);
    std::optional<std::string> read;
    if (tree != nullptr && context->wellFormed && namespaceErrors == 0) {
        xmlNodePtr root = xmlDocGetRootElement(tree);
        FUZZ_CHECK(root != nullptr);
        TreeText out;
        write(out, root);
        read = out.text;
    }
    xmlFreeDoc(tree);
    xmlFreeParserCtxt(context);
    return read;
}

// Stops the run with both readings, which the check alone would not show.
void differ(const char* what, const std::string& ours, const std::string& theirs) {
    std::fprintf(stderr, "library:  %s\nthe other: %s\n", ours.c_str(), theirs.c_str());
    Quillomark::Testing::Fuzz::fail(what, __FILE__, __LINE__);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string document(reinterpret_cast<const char*>(data), size);
    SAXToNodeParser fresh;
    const Reading ours = readWith(fresh, document);

    static SAXToNodeParser reused;
    const Reading again = readWith(reused, document);
    if (!(again == ours)) differ("a reused parser reads as a new one", ours.text, again.text);

    if (!ours.accepted) return 0;
    const std::optional<std::string> theirs = readWithLibxml2(document);
    if (!theirs) differ("libxml2 finds the document well-formed", ours.text, "(refused)");
    if (*theirs != ours.text) differ("libxml2 reads the same tree", ours.text, *theirs);
    return 0;
}
