#include <soa/common/DomException.hxx>
#include <soa/common/QmStrX.hxx>
#include <soa/common/SAXToNodeParser.hxx>

#include <platform/common/internal/Utf16.hxx>
#include <soa/common/internal/XmlPlatform.hxx>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <algorithm>
#include <new>
#include <deque>
#include <string_view>
#include <unordered_map>

namespace Quillomark::Soa::Common::Xml {

using Quillomark::Soa::Common::Exceptions::DomException;
using xercesc::XMLUni;

namespace {

const char* const DOCTYPE_REFUSED = "A DOCTYPE is not allowed in a reply";

std::string position(XMLFileLoc line, XMLFileLoc column) {
    return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": ";
}

// Objects made in order in blocks and destroyed all at once: a reply has
// hundreds of thousands of small elements, and one allocation per node or
// attribute would cost more than parsing them. Blocks grow from small (most
// documents are) to `largest` objects. Addresses stay put.
//
// The blocks that one document used are kept for the next with the objects
// in them, which `Recycle` empties when they are handed out again, so that
// they keep the heap storage they hold: a parser that reads replies of one
// shape in turn asks the heap for little. Blocks the last document did not
// use are freed.
template <class T, void (*Recycle)(T&)>
class Blocks {
public:
    explicit Blocks(std::size_t largest) : largest(largest) {}
    Blocks(const Blocks&) = delete;
    Blocks& operator=(const Blocks&) = delete;
    ~Blocks() { releaseFrom(0); }

    // `count` empty objects side by side.
    T* make(std::size_t count) {
        if (current == blocks.size() || blocks[current].capacity - blocks[current].used < count) {
            advance(count);
        }
        Block& block = blocks[current];
        T* first = block.items + block.used;
        for (std::size_t i = 0; i < count; ++i, ++block.used) {
            if (block.used < block.constructed) {
                Recycle(block.items[block.used]);
            } else {
                new (block.items + block.used) T();
                ++block.constructed;
            }
        }
        return first;
    }

    void clear() {
        if (current < blocks.size()) releaseFrom(current + 1);
        for (Block& block : blocks) block.used = 0;
        current = 0;
    }

private:
    static constexpr std::size_t FIRST = 16;
    struct Block {
        T* items;
        std::size_t used;
        std::size_t constructed;
        std::size_t capacity;
    };

    // Moves on to the next kept block when it has room for `count`, else to
    // a new block in place of the kept ones left.
    void advance(std::size_t count) {
        const std::size_t next = current == blocks.size() ? current : current + 1;
        if (next < blocks.size() && blocks[next].capacity >= count) {
            current = next;
            return;
        }
        releaseFrom(next);
        const std::size_t grown =
            blocks.empty() ? FIRST : std::min(largest, 2 * blocks.back().capacity);
        const std::size_t capacity = std::max(grown, count);
        blocks.reserve(blocks.size() + 1);
        blocks.push_back(
            Block{static_cast<T*>(::operator new(capacity * sizeof(T))), 0, 0, capacity});
        current = blocks.size() - 1;
    }

    void releaseFrom(std::size_t first) {
        for (std::size_t b = first; b < blocks.size(); ++b) {
            for (std::size_t i = 0; i < blocks[b].constructed; ++i) blocks[b].items[i].~T();
            ::operator delete(blocks[b].items);
        }
        if (first < blocks.size()) blocks.resize(first);
    }

    std::size_t largest;
    std::vector<Block> blocks;
    std::size_t current = 0;
};

// A recycled string keeps its storage unless that is far more than it
// needed the last time: one long value must not make every later one keep
// as much.
void trim(std::string& text) {
    if (text.capacity() > 2 * text.size() + 64) text.shrink_to_fit();
}

void emptyText(std::string& text) {
    trim(text);
    text.clear();
}

// Whether the prolog of a document in an ASCII-compatible encoding holds a
// DOCTYPE. The reader reports a DOCTYPE only when it declares something
// (startDTD); this finds the bare one too.
bool prologHasDoctype(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    for (;;) {
        const std::size_t start = text.find_first_not_of(" \t\r\n");
        if (start == std::string_view::npos) return false;
        text.remove_prefix(start);
        std::string_view end;
        if (text.substr(0, 2) == "<?") {
            end = "?>";
        } else if (text.substr(0, 4) == "<!--") {
            end = "-->";
        } else {
            return text.substr(0, 9) == "<!DOCTYPE";
        }
        const std::size_t past = text.find(end, 2);
        if (past == std::string_view::npos) return false;
        text.remove_prefix(past + end.size());
    }
}

}  // namespace

struct SAXToNodeParser::Tree {
    static void emptyNode(XMLNode& node) {
        node.name = XMLNode::empty();
        node.namespaceUri = XMLNode::empty();
        if (node.children.capacity() > 2 * node.children.size() + 16) {
            std::vector<XMLNode*>().swap(node.children);
        }
        node.children.clear();
        node.text = nullptr;
        node.attributes = nullptr;
        node.line = 0;
        node.attributeCount = 0;
        node.attributeMap.reset();
    }
    static void emptyAttribute(XMLNode::Attribute& attribute) {
        attribute.name = nullptr;
        emptyText(attribute.value);
    }

    Blocks<XMLNode, emptyNode> nodes{256};
    Blocks<XMLNode::Attribute, emptyAttribute> attributes{1024};
    Blocks<std::string, emptyText> texts{64};
    // Element, attribute and namespace names: a document uses few, so each
    // is encoded once and then found by its UTF-16 form.
    struct Name {
        std::u16string key;
        std::string name;
    };
    std::deque<Name> nameStore;
    std::unordered_map<std::u16string_view, const std::string*> names;
    // The open elements, innermost last, each with the position in
    // `children` where its own children begin; an element's children are
    // handed to it in one piece when it ends.
    struct Open {
        XMLNode* node;
        std::size_t firstChild;
    };
    std::vector<Open> open;
    std::vector<XMLNode*> children;

    void clear() {
        open.clear();
        children.clear();
        nodes.clear();
        attributes.clear();
        texts.clear();
        names.clear();
        nameStore.clear();
    }
};

SAXToNodeParser::SAXToNodeParser() : tree(std::make_unique<Tree>()) { initializeXmlPlatform(); }

SAXToNodeParser::~SAXToNodeParser() = default;

void SAXToNodeParser::createReader() {
    securityManager = std::make_unique<xercesc::SecurityManager>();
    securityManager->setEntityExpansionLimit(ENTITY_EXPANSION_LIMIT);

    reader.reset(xercesc::XMLReaderFactory::createXMLReader());
    reader->setFeature(XMLUni::fgSAX2CoreNameSpaces, true);
    reader->setFeature(XMLUni::fgSAX2CoreNameSpacePrefixes, false);
    reader->setFeature(XMLUni::fgSAX2CoreValidation, false);
    reader->setFeature(XMLUni::fgXercesSchema, false);
    reader->setFeature(XMLUni::fgXercesLoadSchema, false);
    reader->setFeature(XMLUni::fgXercesLoadExternalDTD, false);
    reader->setFeature(XMLUni::fgXercesDisableDefaultEntityResolution, true);
    reader->setProperty(XMLUni::fgXercesSecurityManager, securityManager.get());
    reader->setContentHandler(this);
    reader->setErrorHandler(this);
    reader->setLexicalHandler(this);
    reader->setDeclarationHandler(this);
    reader->setDTDHandler(this);
    reader->setEntityResolver(this);
}

void SAXToNodeParser::clearTree() {
    root = nullptr;
    tree->clear();
    locator = nullptr;
}

const XMLNode& SAXToNodeParser::parseString(const std::string& document) {
    clearTree();
    if (prologHasDoctype(document)) throw DomException(DOCTYPE_REFUSED);
    if (!reader) createReader();
    xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(document.data()),
                                      document.size(), "reply", false);
    // The document outlives the parse: the reader need not copy it.
    source.setCopyBufToStream(false);
    try {
        reader->parse(source);
    } catch (const DomException&) {
        clearTree();
        throw;
    } catch (const xercesc::SAXException& e) {
        clearTree();
        throw DomException(static_cast<const std::string&>(QmStrX(e.getMessage())));
    } catch (const xercesc::OutOfMemoryException&) {
        clearTree();
        throw DomException("Out of memory while parsing the document");
    } catch (const xercesc::XMLException& e) {
        clearTree();
        throw DomException(static_cast<const std::string&>(QmStrX(e.getMessage())));
    }
    if (root == nullptr) throw DomException("The document has no root element");
    return *root;
}

const XMLNode& SAXToNodeParser::getRoot() const { return root != nullptr ? *root : emptyRoot; }

void SAXToNodeParser::setDocumentLocator(const xercesc::Locator* const documentLocator) {
    locator = documentLocator;
}

const std::string* SAXToNodeParser::intern(const XMLCh* text) {
    if (text == nullptr || *text == 0) return XMLNode::empty();
    const std::u16string_view key(text);
    const auto found = tree->names.find(key);
    if (found != tree->names.end()) return found->second;
    Tree::Name& added = tree->nameStore.emplace_back(Tree::Name{std::u16string(key), {}});
    Internal::appendUtf8(added.name, text, key.size());
    tree->names.emplace(added.key, &added.name);
    return &added.name;
}

void SAXToNodeParser::startElement(const XMLCh* const uri, const XMLCh* const localname,
                                   const XMLCh* const qname, const xercesc::Attributes& attrs) {
    (void)qname;
    // The reader walks its whole element stack at every start tag: deep
    // nesting would cost time quadratic in the document's size.
    if (tree->open.size() >= MAX_DEPTH) {
        refuse("The elements nest deeper than " + std::to_string(MAX_DEPTH) + " levels");
    }
    XMLNode& node = *tree->nodes.make(1);
    if (locator != nullptr) node.line = static_cast<std::int32_t>(locator->getLineNumber());
    node.name = intern(localname);
    node.namespaceUri = intern(uri);
    const XMLSize_t count = attrs.getLength();
    if (count > 0) {
        XMLNode::Attribute* attributes = tree->attributes.make(count);
        for (XMLSize_t i = 0; i < count; ++i) {
            attributes[i].name = intern(attrs.getQName(i));
            Internal::appendUtf8(attributes[i].value, attrs.getValue(i));
        }
        node.attributes = attributes;
        node.attributeCount = static_cast<std::uint32_t>(count);
    }
    if (tree->open.empty()) {
        root = &node;
    } else {
        tree->children.push_back(&node);
    }
    tree->open.push_back(Tree::Open{&node, tree->children.size()});
}

void SAXToNodeParser::endElement(const XMLCh* const uri, const XMLCh* const localname,
                                 const XMLCh* const qname) {
    (void)uri;
    (void)localname;
    (void)qname;
    const Tree::Open& open = tree->open.back();
    const auto first = tree->children.begin() + static_cast<std::ptrdiff_t>(open.firstChild);
    open.node->children.assign(first, tree->children.end());
    tree->children.erase(first, tree->children.end());
    tree->open.pop_back();
}

void SAXToNodeParser::characters(const XMLCh* const chars, const XMLSize_t length) {
    if (tree->open.empty()) return;
    XMLNode& node = *tree->open.back().node;
    if (node.text == nullptr) node.text = tree->texts.make(1);
    Internal::appendUtf8(*node.text, chars, length);
}

void SAXToNodeParser::fatalError(const xercesc::SAXParseException& exc) {
    throw DomException(position(exc.getLineNumber(), exc.getColumnNumber()) +
                       static_cast<const std::string&>(QmStrX(exc.getMessage())));
}

// Errors that are not fatal (an unbound namespace prefix, say) still make
// the document unreadable for us.
void SAXToNodeParser::error(const xercesc::SAXParseException& exc) { fatalError(exc); }

void SAXToNodeParser::refuse(const std::string& reason) const {
    std::string where = locator != nullptr
                            ? position(locator->getLineNumber(), locator->getColumnNumber())
                            : std::string();
    throw DomException(where + reason);
}

// A reply never carries a DOCTYPE. Refused before its first declaration:
// an internal entity, expanded at each of its references, could grow a
// small reply into gigabytes of text.
void SAXToNodeParser::startDTD(const XMLCh* const name, const XMLCh* const publicId,
                               const XMLCh* const systemId) {
    (void)name;
    (void)publicId;
    (void)systemId;
    refuse(DOCTYPE_REFUSED);
}

void SAXToNodeParser::externalEntityDecl(const XMLCh* const name, const XMLCh* const publicId,
                                         const XMLCh* const systemId) {
    (void)publicId;
    (void)systemId;
    refuse("The external entity \"" + static_cast<const std::string&>(QmStrX(name)) +
           "\" is not allowed");
}

void SAXToNodeParser::unparsedEntityDecl(const XMLCh* const name, const XMLCh* const publicId,
                                         const XMLCh* const systemId,
                                         const XMLCh* const notationName) {
    (void)notationName;
    externalEntityDecl(name, publicId, systemId);
}

xercesc::InputSource* SAXToNodeParser::resolveEntity(const XMLCh* const publicId,
                                                     const XMLCh* const systemId) {
    (void)publicId;
    refuse("The external resource \"" + static_cast<const std::string&>(QmStrX(systemId)) +
           "\" is not allowed");
}

}  // namespace Quillomark::Soa::Common::Xml
