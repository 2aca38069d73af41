#pragma once

#include <soa/common/Export.hxx>
#include <soa/common/XMLNode.hxx>

#include <xercesc/sax2/DefaultHandler.hpp>

#include <memory>
#include <string>
#include <vector>

namespace Quillomark::Soa::Common::Xml {

// Parses a whole document into a tree of XMLNode (namespaces on, no
// validation, no DTD), XML 1.0 in UTF-8 or UTF-16 (or ISO-8859-1 or
// US-ASCII). The text is untrusted network input: a document with
// a DOCTYPE is refused where the DOCTYPE begins, before any of it is read,
// however the document encodes it; one with elements nested deeper than
// MAX_DEPTH as soon as that is read. A parser can be used for many
// documents in turn: each parse replaces the previous tree and reads its
// document as a new parser would, keeping little of the documents before.
// A parser keeps its scanner for its next document, and leaves it to the
// next parser that is made as it ends (the process keeps up to 16), unless
// an allocation failed in the scanner, which leaves it part-way through
// its document (a refused document, or an exception from a handler, costs
// it nothing: it puts the document away as it stops), or it holds more
// than the documents call for (more than 1 MiB to be left to another
// parser: long names, values or comments met, thousands of element names
// or prefixes; the scanners kept hold at most 4 MiB in all). In a process
// forked while another thread of its parent was making a scanner, or
// decoding a document in another encoding than UTF-8, UTF-16, ISO-8859-1
// and US-ASCII or with bytes not of its encoding, a parse that needs the
// same fails at once with a DomException that says so: the XML library's
// lock for it stays held in the child.
class QMSOA_API SAXToNodeParser : public xercesc::DefaultHandler {
public:
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

    // SAX handlers: a document's start and end, whitespace reported as
    // ignorable and processing instructions leave the tree as it is.
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

private:
    // The scanner and what it builds: the nodes and attributes of the
    // current tree and the elements still open while it is built.
    struct Tree;
    std::unique_ptr<Tree> tree;
    XMLNode emptyRoot;
};

}  // namespace Quillomark::Soa::Common::Xml
