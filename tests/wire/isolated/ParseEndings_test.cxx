// Every way a reply's parse ends, and what the parses after it find. A
// parser keeps its scanner for its next document and hands it on to the
// next parser made as it ends, also after a refusal; a scanner whose
// document stopped part-way may still hold that document (after a failed
// allocation the scanner does not even put its reader of it away), whose
// bytes are gone by the time the next reply is read. The global allocation functions are
// replaced to fail the n-th allocation, so this is an executable of its
// own.

#include <soa/common/DomException.hxx>
#include <soa/common/SAXToNodeParser.hxx>

#include "tests/support/FailingAllocations.hxx"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define QMSOA_LEAKS_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QMSOA_LEAKS_CHECKED 1
#endif
#endif
#ifdef QMSOA_LEAKS_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// While it lives, what this thread allocates and loses is not counted as
// a leak by the leak checker of a sanitized build.
class LeaksUncounted {
public:
    explicit LeaksUncounted(bool uncounted) : uncounted(uncounted) {
#ifdef QMSOA_LEAKS_CHECKED
        if (uncounted) __lsan_disable();
#endif
    }
    ~LeaksUncounted() {
#ifdef QMSOA_LEAKS_CHECKED
        if (uncounted) __lsan_enable();
#endif
    }
    LeaksUncounted(const LeaksUncounted&) = delete;
    LeaksUncounted& operator=(const LeaksUncounted&) = delete;

private:
    bool uncounted;
};

using namespace Quillomark::Testing::FailingAllocations;
using Quillomark::Soa::Common::Exceptions::DomException;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;
using Quillomark::Soa::Common::Xml::XMLNode;

// A tree written out whole: names, namespaces, lines, attributes and texts.
std::string shapeOf(const XMLNode& node) {
    std::string shape =
        "<" + node.getName() + " {" + node.getNamespace() + "} " + std::to_string(node.getLine());
    for (const auto& [name, value] : node.attrs()) shape += " " + name + "=" + value;
    shape += ">" + node.getText();
    for (const XMLNode* child : node.getChildren()) shape += shapeOf(*child);
    return shape + "</>";
}

// What a parser reads of the good reply: its tree, or why it was refused.
std::string readGood(SAXToNodeParser& parser) {
    try {
        return shapeOf(
            parser.parseString("<?xml version='1.0' encoding='UTF-8'?>\n"
                               "<r xmlns='urn:b' xmlns:p='urn:p'><p:b c='d' e='f'>t"
                               "\xC3\xA9</p:b>\n<g/></r>"));
    } catch (const DomException& e) {
        return "refused: " + e.getMessage();
    }
}

std::string utf16(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) bytes += std::string{char(c & 0xFF), char(c >> 8)};
    return bytes;
}

// A parse of `document` that ends as it ends, with the allocation `failAt`
// failing (-1: none), alone or with every one after it, by a new parser
// that makes its scanner or takes one that an ended parser left. After it, with the document gone,
// the same parser reads the good reply, or ends and a new parser on another thread reads it: what
// each read, and the allocations of the parse that ran whole.
struct Reads {
    std::string ended;  // "read", or why it was refused
    std::string same, next;
    long allocations = 0;
};
Reads readsAfter(const std::string& document, long failAt, bool once, bool makesItsScanner) {
    Reads reads;
    for (const bool same : {true, false}) {
        // Parsers that hold every scanner kept: a new one makes its own.
        std::vector<std::unique_ptr<SAXToNodeParser>> holding;
        for (int i = 0; makesItsScanner && i < 16; ++i) {
            holding.push_back(std::make_unique<SAXToNodeParser>());
            holding.back()->parseString("<a/>");
        }
        auto copy = std::make_unique<std::string>(document);
        std::unique_ptr<SAXToNodeParser> parser;
        const long budget = 1L << 40;
        failAfter = failAt < 0 ? budget : failAt;
        failOnce = once;
        try {
            parser = std::make_unique<SAXToNodeParser>();
            parser->parseString(*copy);
            reads.ended = "read";
        } catch (const DomException& e) {
            reads.ended = e.getMessage();
        } catch (const std::bad_alloc&) {
            reads.ended = "bad_alloc";
        }
        if (failAt < 0) reads.allocations = budget - failAfter;
        failAfter = -1;
        copy.reset();
        if (same) {
            // (A new one where the allocation that failed was the parser's.)
            if (!parser) parser = std::make_unique<SAXToNodeParser>();
            reads.same = readGood(*parser);
        } else {
            parser.reset();
            std::thread([&reads] {
                SAXToNodeParser next;
                reads.next = readGood(next);
            }).join();
        }
    }
    return reads;
}

TEST(ParseEndings, AfterEveryEndingTheNextParsesReadAsANewParserWould) {
    SAXToNodeParser fresh;
    const std::string expected = readGood(fresh);
    ASSERT_EQ(expected.rfind("<r {urn:b} 2>", 0), 0u) << expected;

    const std::string small =
        "<?xml version='1.0' encoding='UTF-8'?><r xmlns='urn:r' xmlns:q='urn:q' a='1'><q:i "
        "n='one'>a text longer than a short string's own room</q:i><!-- c --><?pi d?><i "
        "n='two'><![CDATA[x<y]]></i></r>";
    // Decoded by the scanner's own decoder, and longer than the bytes it
    // reads from a document at a time.
    const std::string decoded = [] {
        std::string document = "<?xml version='1.0' encoding='ISO-8859-1'?><r xmlns='urn:r'>";
        while (document.size() < 64 * 1024) document += "<e a='\xE9t\xE9'>caf\xE9</e>";
        return document + "</r>";
    }();
    // Each ending, and what the parse ended with.
    const struct {
        const char* what;
        std::string document;
        const char* ended;
    } endings[] = {
        {"read whole", small, "read"},
        {"read whole, decoded", decoded, "read"},
        {"read whole, a text longer than a scanner handed on keeps",
         "<a>" + std::string(300 * 1024, 't') + "</a>", "read"},
        {"malformed", "<a><b></a>", "expected end of tag"},
        {"cut short", small.substr(0, small.size() / 2), "input ended"},
        {"cut short, decoded", decoded.substr(0, decoded.size() - 40), "end of input"},
        {"no root", "", "invalid document structure"},
        {"a DOCTYPE", "<!DOCTYPE a><a/>", "DOCTYPE is not allowed"},
        {"XML 1.1, refused before the scanner begins", "<?xml version='1.1'?><a/>", "XML 1.1"},
        {"XML 1.1, refused as the scanner reports the declaration",
         "<?xml version='1.1' encoding='Shift_JIS'?><a/>", "XML 1.1"},
        {"a version that is no number", "<?xml version='1.x'?><a/>", "not a version number"},
        {"another encoding", "<?xml version='1.0' encoding='Shift_JIS'?><a/>", "a reply is in"},
        {"bytes that are not UTF-8", "<a>\xC3\x28</a>", "invalid byte"},
        {"U+0000 after the root, refused once the scanner ended", std::string("<a/>\0", 5),
         "U+0000"},
        {"nesting deeper than the limit",
         [] {
             std::string open;
             while (open.size() < 3 * (SAXToNodeParser::MAX_DEPTH + 1)) open += "<e>";
             return open;
         }(),
         "deeper than"},
        {"a reserved namespace", "<a xmlns:p='http://www.w3.org/2000/xmlns/'/>",
         "bound to no prefix"},
        {"a lone surrogate in an attribute value", utf16(u"<a v='\xD800'/>"), "stands alone"},
        {"a surrogate pair parted by a reference", utf16(u"<a>\xD800&amp;\xDC00</a>"),
         "stands alone"},
        {"a lone surrogate ending a text", utf16(u"<a>x\xD800</a>"), "leading surrogate"},
        {"a lone surrogate in a comment", utf16(u"<a><!--\xD800--></a>"), "leading surrogate"},
        {"a lone surrogate in a processing instruction", utf16(u"<a><?p \xD800?></a>"),
         "stands alone"},
    };
    for (const auto& ending : endings) {
        for (const bool makes : {true, false}) {
            const Reads reads = readsAfter(ending.document, -1, true, makes);
            EXPECT_NE(reads.ended.find(ending.ended), std::string::npos)
                << ending.what << ": " << reads.ended;
            EXPECT_EQ(reads.same, expected) << ending.what << ", the same parser";
            EXPECT_EQ(reads.next, expected) << ending.what << ", the next parser";
        }
    }
    // Each allocation of a whole parse failing in turn, alone or with every
    // one after it, by a parser that makes its scanner and by one that takes
    // a kept one.
    // Decoded through the library beneath the scanner, whose decoder the
    // scanner loses where an allocation fails as it makes it: not counted
    // as a leak here.
    const std::string beneath = "<?xml version='1.0' encoding='Shift_JIS'?><r><i>t</i></r>";
    for (const std::string* document : {&small, &decoded, &beneath}) {
        [[maybe_unused]] const LeaksUncounted uncounted(document == &beneath);
        for (const bool makes : {true, false}) {
            const long allocations = readsAfter(*document, -1, true, makes).allocations;
            ASSERT_GT(allocations, 10);
            for (long n = 0; n < allocations; ++n) {
                for (const bool once : {true, false}) {
                    const Reads reads = readsAfter(*document, n, once, makes);
                    const std::string trial = document->substr(0, 20) + ", " + std::to_string(n) +
                                              " of " + std::to_string(allocations) +
                                              (once ? "" : " on");
                    ASSERT_EQ(reads.same, expected) << trial << ", the same parser";
                    ASSERT_EQ(reads.next, expected) << trial << ", the next parser";
                }
            }
        }
    }
}

}  // namespace

namespace {

// A scanner that holds much gives back the namespace URIs it met before
// its next document, and before it is handed on as its parser ends: an
// allocation that fails there leaves it reading as a new scanner would, or
// ends it, and never escapes the parser's destructor.
TEST(ParseEndings, AnAllocationThatFailsAsAScannerGivesBackItsNamespacesEndsIt) {
    // Prefixes bound where the scanner numbers its own namespaces.
    const std::string bound =
        "<r xmlns:p='urn:p' xmlns:lang='urn:l' xml:lang='en' p:lang='f'><c/></r>";
    const auto read = [&bound](SAXToNodeParser& parser) -> std::string {
        try {
            return shapeOf(parser.parseString(bound));
        } catch (const DomException& e) {
            return "refused: " + e.getMessage();
        }
    };
    SAXToNodeParser fresh;
    const std::string expected = read(fresh);
    std::string uris = "<r>";
    for (int i = 0; i < 1000; ++i)
        uris += "<e xmlns='urn:" + std::to_string(i) + std::string(200, 'u') + "'/>";
    uris += "</r>";
    for (const bool ends : {false, true}) {
        for (long n = 0; n < 40; ++n) {
            auto parser = std::make_unique<SAXToNodeParser>();
            parser->parseString(uris);
            failAfter = n;
            failOnce = true;
            if (ends) {
                parser.reset();
            } else {
                try {
                    read(*parser);
                } catch (const std::bad_alloc&) {
                }
            }
            failAfter = -1;
            if (!parser) parser = std::make_unique<SAXToNodeParser>();
            ASSERT_EQ(read(*parser), expected) << n << (ends ? ", the next parser" : "");
        }
    }
}

}  // namespace
