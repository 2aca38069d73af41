#include <soa/common/DomException.hxx>
#include <soa/common/ExceptionMapper.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/common/XmlStream.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>
#include <soa/schemas/exceptions/InvalidCredentialsException.hxx>
#include <soa/schemas/exceptions/InvalidUserException.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>
#include <soa/schemas/exceptions/ServiceException.hxx>

#include "tests/support/FailingAllocations.hxx"

#include <gtest/gtest.h>

#include <iconv.h>
#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' own count of what the heap holds.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Quillomark::Soa::Common::Exceptions::DomException;
using Quillomark::Soa::Common::Exceptions::ExceptionMapper;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;
using Quillomark::Soa::Common::Xml::XMLNode;
using Quillomark::Soa::Common::Xml::XmlStream;
namespace Faults = Quillomark::Schemas::Soa::_2006_03::Exceptions;

std::string parseError(const std::string& document) {
    SAXToNodeParser parser;
    try {
        parser.parseString(document);
    } catch (const DomException& e) {
        EXPECT_EQ(parser.getRoot().getName(), "");
        return e.getMessage();
    }
    ADD_FAILURE() << "accepted: " << document.substr(0, 200);
    return "";
}

TEST(SAXToNodeParser, BuildsTreeWithNamesNamespacesAttributesAndText) {
    SAXToNodeParser parser;
    const XMLNode& root = parser.parseString(
        "<?xml version='1.0' encoding='UTF-8'?>\n<?pi data?>\n"
        "<r:reply xmlns:r='urn:r' a='1' b='x &amp; &lt;y&gt; &#10;'>"
        "<item n='first'>one</item><item n='second'/><other>t<![CDATA[<c>]]>u</other>"
        "</r:reply>");
    EXPECT_EQ(root.getName(), "reply");
    EXPECT_EQ(root.getNamespace(), "urn:r");
    EXPECT_EQ(root.getLine(), 3);
    ASSERT_EQ(root.attrs().size(), 2u);  // namespace declarations are not attributes
    EXPECT_EQ(root.attrs().at("b"), "x & <y> \n");
    ASSERT_EQ(root.getChildren().size(), 3u);
    EXPECT_EQ(root.getChildren()[0]->getText(), "one");
    EXPECT_EQ(*root.getChildren()[1]->findAttribute("n"), "second");
    EXPECT_EQ(root.findAttribute("missing"), nullptr);
    EXPECT_EQ(root.findChild("item"), root.getChildren()[0]);
    EXPECT_EQ(root.findChild("other")->getText(), "t<c>u");
    EXPECT_EQ(root.findChild("none"), nullptr);
    EXPECT_EQ(&parser.getRoot(), &root);
}

// Elements of one name need not carry the same attributes, nor in the same
// order, nor the same namespace.
TEST(SAXToNodeParser, ElementsOfOneNameMayCarryAnyAttributes) {
    std::string many = "<a";
    for (int i = 0; i < 20; ++i) many += " n" + std::to_string(i) + "='" + std::to_string(i) + "'";
    many += "/>";
    std::string reordered = "<a";
    for (int i = 19; i >= 0; --i) reordered += " n" + std::to_string(i) + "='v'";
    reordered += "/>";
    SAXToNodeParser parser;
    const XMLNode& root = parser.parseString(
        "<r xmlns:p='urn:1'><a x='1' y='2'/><a y='3' x='4'/><a z='5'/><a x='6' y='7' z='8'/>"
        "<a/><p:a p:x='9' x='10'/><b xmlns:p='urn:2'><p:a/></b>" +
        many + reordered +
        "<c xmlns='urn:d' xmlnsx='1' xmlns:q='urn:q' k='2'/><c xmlns='urn:e' xmlns:q='urn:f'/>"
        "</r>");
    const std::vector<XMLNode*>& a = root.getChildren();
    ASSERT_EQ(a.size(), 11u);
    // Only xmlns and xmlns:prefix declare a namespace.
    EXPECT_EQ(a[9]->attrs(), (std::map<std::string, std::string>{{"xmlnsx", "1"}, {"k", "2"}}));
    EXPECT_EQ(a[9]->getNamespace(), "urn:d");
    EXPECT_TRUE(a[10]->attrs().empty());
    EXPECT_EQ(a[10]->findAttribute("xmlns"), nullptr);
    EXPECT_EQ(a[0]->attrs(), (std::map<std::string, std::string>{{"x", "1"}, {"y", "2"}}));
    EXPECT_EQ(a[1]->attrs(), (std::map<std::string, std::string>{{"x", "4"}, {"y", "3"}}));
    EXPECT_EQ(a[2]->attrs(), (std::map<std::string, std::string>{{"z", "5"}}));
    EXPECT_EQ(a[3]->attrs().size(), 3u);
    EXPECT_EQ(*a[3]->findAttribute("z"), "8");
    EXPECT_TRUE(a[4]->attrs().empty());
    EXPECT_EQ(a[5]->getName(), "a");
    EXPECT_EQ(a[5]->getNamespace(), "urn:1");
    EXPECT_EQ(a[5]->attrs(), (std::map<std::string, std::string>{{"p:x", "9"}, {"x", "10"}}));
    EXPECT_EQ(a[6]->getChildren().at(0)->getNamespace(), "urn:2");
    EXPECT_EQ(a[0]->getNamespace(), "");
    for (int i = 0; i < 20; ++i) {
        const std::string n = "n" + std::to_string(i);
        EXPECT_EQ(*a[7]->findAttribute(n), std::to_string(i));
        EXPECT_EQ(*a[8]->findAttribute(n), "v");
    }
}

TEST(SAXToNodeParser, KeepsNonAsciiTextInUtf8) {
    SAXToNodeParser parser;
    // Latin-1 declared document: the tree is UTF-8 all the same.
    const XMLNode& latin =
        parser.parseString(std::string("<?xml version='1.0' encoding='ISO-8859-1'?><a v='\xE9'/>"));
    EXPECT_EQ(latin.attrs().at("v"), "\xC3\xA9");
    // Characters outside the basic plane survive as four-byte sequences.
    const XMLNode& wide = parser.parseString("<a v='\xF0\x9F\x98\x80 \xE2\x82\xAC &#x10348;'/>");
    EXPECT_EQ(wide.attrs().at("v"), "\xF0\x9F\x98\x80 \xE2\x82\xAC \xF0\x90\x8D\x88");
    // ASCII runs about as long as the piece the narrowing works in, then
    // more, in attribute values and in texts.
    for (std::size_t run : {0, 1, 255, 256, 257, 511, 512, 513, 1000}) {
        const std::string ascii(run, 'k');
        const std::string value = ascii + "\xC3\xA9" + ascii;
        const XMLNode& node =
            parser.parseString("<a v='" + ascii + "' w='" + value + "'>" + value + "</a>");
        EXPECT_EQ(node.attrs().at("v"), ascii) << run;
        EXPECT_EQ(node.attrs().at("w"), value) << run;
        EXPECT_EQ(node.getText(), value) << run;
    }
}

TEST(SAXToNodeParser, ReusedParserReplacesTheTreeAlsoAfterAFailure) {
    SAXToNodeParser parser;
    parser.parseString("<first><a/><b/></first>");
    EXPECT_THROW(parser.parseString("<broken>"), DomException);
    EXPECT_EQ(parser.getRoot().getName(), "");
    EXPECT_TRUE(parser.getRoot().getChildren().empty());
    const XMLNode& second = parser.parseString("<second><c/></second>");
    EXPECT_EQ(second.getName(), "second");
    ASSERT_EQ(second.getChildren().size(), 1u);
    EXPECT_EQ(second.getChildren()[0]->getName(), "c");
}

// Nodes and attributes are stored in blocks: a tree larger than a block, and
// an element with more attributes than a block holds, must read back whole.
TEST(SAXToNodeParser, LargeTreesAndManyAttributesReadBackWhole) {
    std::string document = "<root";
    for (int i = 0; i < 1500; ++i)
        document += " a" + std::to_string(i) + "='v" + std::to_string(i) + "'";
    document += ">";
    for (int i = 0; i < 700; ++i) {
        document += "<item n='" + std::to_string(i) + "' long='a value longer than sixteen bytes " +
                    std::to_string(i) + "'><inner/><inner k='x'/></item>";
    }
    document += "</root>";
    SAXToNodeParser parser;
    const XMLNode& root = parser.parseString(document);
    ASSERT_EQ(root.attrs().size(), 1500u);
    EXPECT_EQ(*root.findAttribute("a0"), "v0");
    EXPECT_EQ(*root.findAttribute("a1499"), "v1499");
    ASSERT_EQ(root.getChildren().size(), 700u);
    for (int i : {0, 255, 256, 699}) {
        const XMLNode& item = *root.getChildren()[static_cast<std::size_t>(i)];
        EXPECT_EQ(*item.findAttribute("n"), std::to_string(i));
        EXPECT_EQ(*item.findAttribute("long"),
                  "a value longer than sixteen bytes " + std::to_string(i));
        ASSERT_EQ(item.getChildren().size(), 2u);
        EXPECT_EQ(item.getChildren()[1]->attrs().at("k"), "x");
        EXPECT_TRUE(item.getChildren()[0]->attrs().empty());
    }
    // A copy reads the same attributes; its map is its own.
    XMLNode copy = *root.getChildren()[3];
    EXPECT_EQ(copy.attrs(), root.getChildren()[3]->attrs());
    EXPECT_NE(&copy.attrs(), &root.getChildren()[3]->attrs());
    EXPECT_EQ(copy.getChildren().size(), 2u);
}

// A parser keeps the storage of one tree for the next: nothing of a
// document may show in the tree of the one after it, whatever the sizes.
TEST(SAXToNodeParser, ATreeShowsNothingOfTheDocumentBefore) {
    auto wide = [](int items, const std::string& extra) {
        std::string document = "<root>";
        for (int i = 0; i < items; ++i) {
            document += "<item n='" + std::to_string(i) + "'" + extra + ">text " +
                        std::to_string(i) + "<inner/><inner/></item>";
        }
        return document + "</root>";
    };
    SAXToNodeParser parser;
    const std::string full = wide(2000, " long='" + std::string(300, 'v') + "' b='1'");
    const XMLNode& first = parser.parseString(full);
    EXPECT_EQ(first.getChildren()[1999]->attrs().size(), 3u);

    // The same places, bare: no attribute, text, child or map stays.
    std::string bare = "<root>";
    for (int i = 0; i < 2500; ++i) bare += "<item/>";
    bare += "</root>";
    const XMLNode& second = parser.parseString(bare);
    ASSERT_EQ(second.getChildren().size(), 2500u);
    for (int i : {0, 1, 1999, 2499}) {
        const XMLNode& item = *second.getChildren()[static_cast<std::size_t>(i)];
        EXPECT_EQ(item.getName(), "item");
        EXPECT_TRUE(item.attrs().empty());
        EXPECT_EQ(item.findAttribute("n"), nullptr);
        EXPECT_EQ(item.getText(), "");
        EXPECT_TRUE(item.getChildren().empty());
        EXPECT_EQ(item.getLine(), 1);
    }

    // More attributes side by side than a kept block holds, then the first
    // document again, whole.
    std::string many = "<root";
    for (int i = 0; i < 3000; ++i) {
        many += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
    }
    EXPECT_EQ(parser.parseString(many + "/>").attrs().at("a2999"), "2999");
    const XMLNode& again = parser.parseString(full);
    ASSERT_EQ(again.getChildren().size(), 2000u);
    const XMLNode& last = *again.getChildren()[1999];
    EXPECT_EQ(*last.findAttribute("n"), "1999");
    EXPECT_EQ(last.findAttribute("long")->size(), 300u);
    EXPECT_EQ(last.getText(), "text 1999");
    EXPECT_EQ(last.getChildren().size(), 2u);
    EXPECT_EQ(parser.parseString(wide(3, "")).getChildren()[2]->attrs().size(), 1u);
}

TEST(SAXToNodeParser, RejectsMalformedDocumentsWithPosition) {
    EXPECT_EQ(parseError("<a>\n  <b></c>\n</a>").rfind("line 2, column ", 0), 0u);
    EXPECT_NE(parseError("").find("line"), std::string::npos);
    EXPECT_FALSE(parseError("not xml").empty());
    EXPECT_FALSE(parseError("<a x='1' x='2'/>").empty());
    EXPECT_FALSE(parseError("<a/><b/>").empty());
    EXPECT_FALSE(parseError("<p:a/>").empty());              // unbound prefix
    EXPECT_FALSE(parseError("<a>&undefined;</a>").empty());  // unknown entity
    EXPECT_FALSE(parseError("<a>\xFF\xFE</a>").empty());     // not UTF-8
    EXPECT_FALSE(parseError("<a v='&#1;'/>").empty());       // not an XML character
}

// `ascii` in another character set, one byte a character.
std::string encoded(const std::string& ascii, const char* charset) {
    iconv_t convert = iconv_open(charset, "ASCII");
    EXPECT_NE(convert, reinterpret_cast<iconv_t>(-1)) << charset;
    if (convert == reinterpret_cast<iconv_t>(-1)) return "";
    std::string in = ascii;
    char* inAt = in.data();
    std::size_t inLeft = in.size();
    std::string out(in.size(), '\0');
    char* outAt = out.data();
    std::size_t outLeft = out.size();
    EXPECT_EQ(iconv(convert, &inAt, &inLeft, &outAt, &outLeft), 0u) << charset;
    iconv_close(convert);
    return out;
}

// A file that the parser must never open; the test would see it read.
class ExternalResource : public ::testing::Test {
protected:
    void SetUp() override {
        path = ::testing::TempDir() + "wire_external_resource.txt";
        std::FILE* file = std::fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs("SECRET", file);
        std::fclose(file);
    }
    void TearDown() override { std::remove(path.c_str()); }
    std::string url() const { return "file://" + path; }
    std::string path;
};

// A reply never carries a DOCTYPE: any is refused before it can declare an
// entity, so neither a file nor an internal entity's expansion is reached.
TEST_F(ExternalResource, EveryDoctypeIsRefused) {
    for (const std::string& document : {
             "<!DOCTYPE a SYSTEM '" + url() + "'><a/>",
             "<!DOCTYPE a PUBLIC '-//x//y' '" + url() + "'><a/>",
             "<!DOCTYPE a [<!ENTITY e SYSTEM '" + url() + "'>]><a>&e;</a>",
             "<!DOCTYPE a [<!ENTITY % p SYSTEM '" + url() + "'> %p;]><a/>",
             "<!DOCTYPE a [<!NOTATION n SYSTEM 'x'><!ENTITY u SYSTEM '" + url() +
                 "' NDATA n>]><a/>",
             std::string("<!DOCTYPE a>\n<a/>"),
             std::string("<?xml version='1.0'?><!DOCTYPE a [<!ENTITY e 'value'>]><a>&e;</a>"),
         }) {
        const std::string refused = parseError(document);
        EXPECT_NE(refused.find("DOCTYPE"), std::string::npos) << document << ": " << refused;
    }
    // The same in the other forms the reader knows by their first bytes.
    const std::string withEntity = "<!DOCTYPE a [<!ENTITY e 'v'>]><a>&e;</a>";
    const std::string declared = "<?xml version='1.0'?>\n<!-- c --><!DOCTYPE a><a/>";
    for (const std::string& document : {withEntity, declared}) {
        for (const auto& [bom, width, bigEndian] :
             {std::tuple{"\xFF\xFE", 2, false}, std::tuple{"\xFE\xFF", 2, true},
              std::tuple{"", 2, false}, std::tuple{"", 2, true}, std::tuple{"", 4, false},
              std::tuple{"", 4, true}}) {
            std::string encoded = bom;
            for (char c : document) {
                std::string unit(static_cast<std::size_t>(width), '\0');
                unit[bigEndian ? unit.size() - 1 : 0] = c;
                encoded += unit;
            }
            if (*bom == '\0' && document[1] != '?') continue;  // no BOM and no declaration
            EXPECT_NE(parseError(encoded).find("DOCTYPE"), std::string::npos)
                << width << (bigEndian ? " BE " : " LE ") << document;
        }
    }
    EXPECT_NE(
        parseError(encoded("<?xml version='1.0' encoding='IBM037'?> <!DOCTYPE a><a/>", "IBM037"))
            .find("DOCTYPE"),
        std::string::npos);
    // A DOCTYPE the scanner would skip up to its first ']' and the next
    // '>', so that a decoy inside an entity's value became the root: it is
    // refused however the document spells it.
    const std::string decoy = " a [<!ENTITY x ']><decoy/><?p '>]><real/><?q ?>";
    for (const std::string& document : {
             encoded("<?xml version='1.0' encoding='IBM500'?> <!DOCTYPE" + decoy, "IBM500"),
             "<?xml version='1.0' encoding='ISO-2022-JP'?><\x1B(B!DOCTYPE" + decoy,
             "<?xml version='1.0' encoding='UTF-7'?><+ACE-DOCTYPE" + decoy,
             "<?xml version='1.0' encoding='UTF-8'?><!-- a comment of some length -->\n"
             "<\xF7\xBF\xBF\xBF!DOCTYPE" +
                 decoy,
             "<?xml version='1.0'?><!-- a comment of some length -->\n"
             "<\xF7\xBF\xBF\xBF!DOCTYPE" +
                 decoy,
         }) {
        EXPECT_NE(parseError(document).find("DOCTYPE"), std::string::npos) << document;
    }
    // Spaces of XML 1.1 before it: refused all the same.
    for (const char* space : {"\xC2\x85", "\xE2\x80\xA8"}) {
        EXPECT_FALSE(
            parseError("<?xml version='1.1'?>" + std::string(space) + "<!DOCTYPE" + decoy).empty());
    }

    // One entity of 2 KB referenced 5,000 times would grow to 10 MB of text.
    std::string blowUp = "<!DOCTYPE a [<!ENTITY big '" + std::string(2048, 'x') + "'>]><a>";
    for (int i = 0; i < 5000; ++i) blowUp += "&big;";
    EXPECT_FALSE(parseError(blowUp + "</a>").empty());

    // XInclude is not processed: the element stays an element.
    SAXToNodeParser parser;
    const XMLNode& root = parser.parseString(
        "<a xmlns:xi='http://www.w3.org/2001/XInclude'>"
        "<xi:include href='" +
        url() + "' parse='text'/></a>");
    EXPECT_EQ(root.getText(), "");
    EXPECT_EQ(root.getChildren().at(0)->getName(), "include");
    // Many predefined references are ordinary text, not expansions.
    std::string many = "<a>";
    for (int i = 0; i < 50000; ++i) many += "&amp;";
    many += "</a>";
    EXPECT_EQ(parser.parseString(many).getText().size(), 50000u);
}

// A document in UTF-16, little-endian with its mark; `text` may hold lone
// surrogates.
std::string utf16(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

// Bytes that do not encode characters, and characters that XML does not
// allow where they stand, are refused wherever they are: the scanner reads
// the first few dozen characters more strictly than the rest.
TEST(SAXToNodeParser, RefusesTextItsEncodingDoesNotAllow) {
    const std::string pad(40, 'x');
    for (const std::string bad :
         {"\xF5\x80\x80\x80", "\xF7\xBF\xBF\xBF", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80",
          "\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\x80", "\xFF"}) {
        for (const std::string& document : {
                 "<a" + pad + bad + "y/>",
                 "<a>" + pad + bad + "y</a>",
                 "<a v='" + pad + bad + "y'/>",
                 "<a>" + pad + "</a><!--" + bad + "-->",
                 "<a/><?p " + pad + bad + "?>",
                 "<a/>" + bad,
                 "<a>" + pad + "</a>\n" + bad,
             }) {
            EXPECT_FALSE(parseError(document).empty());
        }
    }
    // U+0000, which the scanner took for the end of the input after the
    // root and passed over in the declaration; a UTF-16 document with a
    // byte left over.
    for (const std::string& document : {
             std::string("<a/>\0<b><<<", 11),
             std::string("<a/>\n\0", 6),
             std::string("<?xml version\0='1.0'?><a/>", 26),
             std::string("<?xml version='1.0' encoding='ISO-8859-1'?><a/>\0x", 50),
             utf16(std::u16string(u"<a/>\0x", 6)),
             utf16(u"<a/>") + "x",
         }) {
        EXPECT_FALSE(parseError(document).empty());
    }
    const std::string odd = parseError(utf16(u"<a/>\r\n\r<!--\xD83D\xDE00-->") + "\n");
    EXPECT_EQ(odd.rfind("line 3, column 9: ", 0), 0u) << odd;
    // Cut short at the very end.
    EXPECT_FALSE(parseError("<a>x</a>\xC3").empty());
    EXPECT_FALSE(parseError("<a>x</a>\xF0\x9F\x98").empty());
    // Where it stands, by characters.
    EXPECT_EQ(parseError("<a>\n  " + pad + "\xC3\xA9\xF5\x80\x80\x80</a>")
                  .rfind("line 2, column 44: ", 0),
              0u);
    // UTF-8 declared as UTF-16 is neither; UTF-8 declared in small letters
    // is checked all the same.
    EXPECT_FALSE(parseError("<?xml version='1.0' encoding='UTF-16'?><a/>").empty());
    EXPECT_FALSE(
        parseError("<?xml version='1.0' encoding='utf-8'?><a>" + pad + "\xF5\x80\x80\x80</a>")
            .empty());
    // Encodings read through converters that put U+FFFD in place of what
    // they cannot read, or that read other characters than other readers.
    for (const char* encoding : {"unicode-1-1-utf-8", "windows-1252", "ISO-8859-2"}) {
        EXPECT_NE(parseError(std::string("<?xml version='1.0' encoding='") + encoding + "'?><a>" +
                             pad + "\xF5\x80\x80\x81</a>")
                      .find("a reply is in UTF-8 or UTF-16"),
                  std::string::npos);
    }
    EXPECT_EQ(SAXToNodeParser()
                  .parseString("<?xml version='1.0' encoding='US-ASCII'?><a>x&#xE9;</a>")
                  .getText(),
              "x\xC3\xA9");

    // Lone surrogates of UTF-16, wherever they stand.
    for (const std::u16string& document : {
             std::u16string(u"<a v='x\xD800'/>"),
             std::u16string(u"<a v='x\xD800&amp;'/>"),
             std::u16string(u"<a v='x\xD800&#65;'/>"),
             std::u16string(u"<a v='\xDC00x'/>"),
             std::u16string(u"<a>x\xD800</a>"),
             std::u16string(u"<a>x\xD800&amp;</a>"),
             std::u16string(u"<a>\xDC00</a>"),
             std::u16string(u"<a>x\xD800<![CDATA[\xDC00]]></a>"),
             std::u16string(u"<?p \xD800?><a/>"),
             std::u16string(u"<a><?p x\xD800?></a>"),
             std::u16string(u"<a/><?p \xDC00?>"),
             std::u16string(u"<!--\xD800--><a/>"),
             std::u16string(u"<a/><!--x\xDBFF-->"),
             std::u16string(u"<a/>\xD800"),
         }) {
        EXPECT_FALSE(parseError(utf16(document)).empty());
    }
    // Pairs are characters, in every place and in texts longer than the
    // pieces the scanner hands them over in.
    SAXToNodeParser parser;
    const XMLNode& paired = parser.parseString(
        utf16(u"<a v='\xD83D\xDE00&amp;\xD83D\xDE00'><?p \xD83D\xDE00?>\xD83D\xDE00</a>"));
    EXPECT_EQ(paired.attrs().at("v"), "\xF0\x9F\x98\x80&\xF0\x9F\x98\x80");
    EXPECT_EQ(paired.getText(), "\xF0\x9F\x98\x80");
    for (std::size_t lead : {0, 1}) {
        std::string text(lead, 'x');
        for (int i = 0; i < 600000; ++i) text += "\xF0\x9F\x98\x80";
        EXPECT_TRUE(parser.parseString("<a>" + text + "</a>").getText() == text) << lead;
    }
}

// A document in UTF-16, little-endian, without a byte order mark.
std::string utf16WithoutMark(const std::u16string& text) { return utf16(text).substr(2); }

// An XML declaration may follow "<?xml" with any blank: after a tab or a
// line break the document is read in its declared encoding from its first
// byte all the same, in every part, however long, and its lines are counted
// as they stand.
TEST(SAXToNodeParser, TheDeclaredEncodingHoldsWhateverBlankFollowsXml) {
    SAXToNodeParser parser;
    for (const char* blank : {"\t", "\n", "\r", "\r\n", " "}) {
        const std::string start = std::string("<?xml") + blank + "version='1.0' encoding=";
        const XMLNode& latin = parser.parseString(start + "'ISO-8859-1'?><r\xE9>\xC3\xA9</r\xE9>");
        EXPECT_EQ(latin.getName(), "r\xC3\xA9") << int(blank[0]);
        EXPECT_EQ(latin.getText(), "\xC3\x83\xC2\xA9") << int(blank[0]);
        // Read as ISO-8859-1, U+00A9 ends the name where it may not.
        EXPECT_FALSE(parseError(start + "'ISO-8859-1'?><r\xC3\xA9/>").empty()) << int(blank[0]);
        const std::string tail = std::string(40000, 'x') + "caf\xE9";
        EXPECT_EQ(parser.parseString(start + "'ISO-8859-1'?><r>caf\xE9" + tail + "</r>").getText(),
                  "caf\xC3\xA9" + std::string(40000, 'x') + "caf\xC3\xA9")
            << int(blank[0]);
        EXPECT_FALSE(parseError(start + "'US-ASCII'?><r>\xC3\xA9</r>").empty()) << int(blank[0]);
        std::u16string wide = u"<?xml";
        for (const char* c = blank; *c; ++c) wide += static_cast<char16_t>(*c);
        wide += u"version='1.0' encoding='UTF-16'?><r>\xE9\x20AC</r>";
        EXPECT_EQ(parser.parseString(utf16WithoutMark(wide)).getText(), "\xC3\xA9\xE2\x82\xAC")
            << int(blank[0]);
        EXPECT_EQ(parser.parseString("\xEF\xBB\xBF" + start + "'UTF-8'?><r>\xC3\xA9</r>").getText(),
                  "\xC3\xA9");
    }
    // Where a fault stands is told as in the document with a space there.
    const std::string broken = parseError("<?xml\nversion='1.0'?>\n<a>\n<b></a>");
    EXPECT_EQ(broken.rfind("line 4, column 6: ", 0), 0u) << broken;
    for (const char* blank : {"\t", "\n", "\r", "\r\n"}) {
        for (const std::string rest :
             {"version='1.0'?><a>\xFF</a>", "version='1.0'?>\r<a>\n\n<b></a>"}) {
            EXPECT_EQ(
                parseError("<?xml" + std::string(blank) + rest),
                parseError("<?xml " + std::string(blank == std::string("\t") ? "" : blank) + rest))
                << int(blank[0]) << rest;
        }
    }
}

// The names of the namespaces of xml and xmlns are theirs alone.
TEST(SAXToNodeParser, ReservedNamespaceNamesAreBoundToNoOtherPrefix) {
    for (const char* document : {
             "<a xmlns:p='http://www.w3.org/XML/1998/namespace'/>",
             "<a xmlns:p='http://www.w3.org/2000/xmlns/'/>",
             "<a><b xmlns:xmlnsx='http://www.w3.org/2000/xmlns/'/></a>",
             "<a xmlns='http://www.w3.org/XML/1998/namespace'/>",
             "<a xmlns='http://www.w3.org/2000/xmlns/'/>",
             "<a xmlns:xml='urn:x'/>",
             "<a xmlns:xmlns='http://www.w3.org/2000/xmlns/'/>",
         }) {
        EXPECT_FALSE(parseError(document).empty()) << document;
    }
    // The xml prefix may be declared to its own name; names that only begin
    // like the reserved ones are ordinary.
    SAXToNodeParser parser;
    const XMLNode& root = parser.parseString(
        "<a xmlns:xml='http://www.w3.org/XML/1998/namespace' xml:lang='en'"
        " xmlns:p='http://www.w3.org/XML/1998/namespace/' xmlns:q='http://www.w3.org/2000/xmlns'>"
        "<p:b/><q:c/></a>");
    EXPECT_EQ(root.attrs().at("xml:lang"), "en");
    EXPECT_EQ(root.getChildren().at(0)->getNamespace(), "http://www.w3.org/XML/1998/namespace/");
    EXPECT_EQ(root.getChildren().at(1)->getNamespace(), "http://www.w3.org/2000/xmlns");
}

// A document is read as a new parser reads it, whatever the same parser
// read before.
TEST(SAXToNodeParser, ReadsEachDocumentAsANewParserWould) {
    // NEL and LINE SEPARATOR are characters of XML 1.0, neither line ends
    // nor spaces, and C1 controls are allowed as they are.
    const std::string plain = "<a v='x\xC2\x85y\xE2\x80\xA8z'>\xC2\x85\xC2\x80\xE2\x80\xA8<b/></a>";
    auto read = [&plain](SAXToNodeParser& parser) {
        try {
            const XMLNode& root = parser.parseString(plain);
            return root.attrs().at("v") + "|" + root.getText() + "|" +
                   std::to_string(root.getChildren().at(0)->getLine());
        } catch (const DomException& e) {
            return "refused: " + e.getMessage();
        }
    };
    SAXToNodeParser fresh;
    const std::string expected = read(fresh);
    EXPECT_EQ(expected, "x\xC2\x85y\xE2\x80\xA8z|\xC2\x85\xC2\x80\xE2\x80\xA8|1");
    for (const char* before : {
             "<?xml version='1.1'?><a/>",
             "<?xml version='1.1' encoding='UTF-8'?><a>\xC2\x85</a>",
             "<?xml version='1.1'?><a",
             "<?xml version='1.1' standalone='maybe'?><a/>",
         }) {
        SAXToNodeParser reused;
        try {
            reused.parseString(before);
        } catch (const DomException&) {
        }
        EXPECT_EQ(read(reused), expected) << before;
    }
    // Replies are XML 1.0, of a version that is a number.
    EXPECT_NE(parseError("<?xml version='1.1'?><a/>").find("1.1"), std::string::npos);
    for (const char* version : {"1.+", "1.", "1.0x", "1.-1", "1.0 "}) {
        EXPECT_FALSE(parseError("<?xml version='" + std::string(version) + "'?><a/>").empty());
    }
    EXPECT_EQ(fresh.parseString("<?xml version='1.05'?><a/>").getName(), "a");
}

// Bytes the process holds on the heap.
std::size_t liveHeap() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 heap = mallinfo2();
    return heap.uordblks + heap.hblkhd;
#endif
}

// A parser that lives for a session keeps no more between documents than
// their own size calls for, however many namespaces and prefixes the
// documents before used.
TEST(SAXToNodeParser, KeepsLittleBetweenDocumentsWhateverTheyDeclared) {
    SAXToNodeParser parser;
    int next = 0;
    auto readNew = [&parser, &next](int documents) {
        for (int end = next + documents; next < end; ++next) {
            const std::string n = std::to_string(next);
            const XMLNode& root =
                parser.parseString("<a xmlns='urn:default:" + n + "' xmlns:p" + n +
                                   "='urn:other:" + n + "'><p" + n + ":b/></a>");
            ASSERT_EQ(root.getChildren().at(0)->getNamespace(), "urn:other:" + n);
        }
    };
    readNew(3000);
    const std::size_t before = liveHeap();
    readNew(10000);
    const std::size_t after = liveHeap();
    // Each document used to leave about 450 bytes behind: 4.5 MB here.
    EXPECT_LT(after, before + 512 * 1024) << (after - before) / 10000 << " bytes a document";
}

// Parsers that end leave the process little of the documents they read,
// whatever those held, where the scanners they hand on to the next parsers
// (up to 16 are kept) kept what they met: every namespace URI and prefix,
// room for the longest names, texts, comments and values, for the element
// with most attributes and for the deepest element with its namespaces.
// Each pool of a scanner's, grown by replies of the same hostile shape,
// read by 16 parsers alive at once, four times over, each reply unlike the
// ones before and none larger than 256 KiB; and larger replies, read once.
// What a scanner gives back of them leaves it reading as a new one does:
// an attribute given twice among many is refused where it stands.
TEST(SAXToNodeParser, ParsersThatEndLeaveLittleOfTheirDocuments) {
    const auto unique = [](int i, std::size_t size, char c) {
        return std::to_string(i) + std::string(size, c);
    };
    const auto attributes = [](int count, std::size_t size) {
        std::string element = "<a";
        for (int i = 0; i < count; ++i) {
            element += " a" + std::to_string(i) + "='" + std::string(size, 'v') + "'";
        }
        return element + "/>";
    };
    const auto deep = [](int i) {
        std::string document;
        for (int level = 0; level < 250; ++level) {
            document += "<e";
            for (int n = 0; n < 40; ++n) {
                document += " xmlns:q" + std::to_string(n) + "='" + std::to_string(i) + "'";
            }
            document += ">";
        }
        for (int level = 0; level < 250; ++level) document += "</e>";
        return document;
    };
    const std::string value(4 << 20, 'v');
    const struct {
        const char* pool;
        std::function<std::string(int)> reply;
        int replies = 64;
    } pools[] = {
        {"namespace URIs",
         [&](int i) { return "<a xmlns='urn:" + unique(i, 120000, 'u') + "'/>"; }},
        {"prefixes", [&](int i) { return "<a xmlns:p" + unique(i, 120000, 'p') + "='urn:p'/>"; }},
        {"element names", [&](int i) { return "<e" + unique(i, 120000, 'e') + "/>"; }},
        {"attribute names", [&](int i) { return "<a n" + unique(i, 120000, 'n') + "='1'/>"; }},
        {"attribute values", [&](int i) { return "<a n='" + unique(i, 120000, 'v') + "'/>"; }},
        {"attribute lists", [&](int i) { return attributes(250 - i % 2, 900); }},
        {"namespaces, 300 to an element",
         [&](int i) {
             std::string root = "<r";
             for (int n = 0; n < 300; ++n) {
                 root += " xmlns:p" + std::to_string(n) + "='urn:" + std::to_string(i) + "'";
             }
             return root + "/>";
         }},
        {"texts", [&](int i) { return "<a>" + unique(i, 250000, 't') + "</a>"; }},
        {"CDATA sections",
         [&](int i) { return "<a><![CDATA[" + unique(i, 250000, 't') + "]]></a>"; }},
        {"comments", [&](int i) { return "<a><!--" + unique(i, 250000, 't') + "--></a>"; }},
        {"processing instructions",
         [&](int i) { return "<a><?p " + unique(i, 250000, 't') + "?></a>"; }},
        {"the element stack and its namespaces", deep},
        {"4 MiB values", [&](int) { return "<a v='" + value + "' w='" + value + "'/>"; }, 1},
        {"a 4 MiB namespace", [&](int) { return "<a xmlns:p='" + value + "'/>"; }, 1},
        {"20,000 attributes", [&](int) { return attributes(20000, 1); }, 1},
    };
    std::string twice = "<a";
    for (int i = 0; i < 200; ++i) twice += " d" + std::to_string(i) + "='1'";
    twice += " d150='2'/>";
    const std::string refusedTwice = parseError(twice);
    // As many scanners as are kept, each of which read a small reply.
    {
        std::vector<SAXToNodeParser> parsers(16);
        for (SAXToNodeParser& parser : parsers) parser.parseString("<a/>");
    }
    const std::size_t before = liveHeap();
    for (const auto& each : pools) {
        for (int i = 0; i < each.replies;) {
            std::vector<SAXToNodeParser> parsers(std::min(each.replies, 16));
            for (SAXToNodeParser& parser : parsers) parser.parseString(each.reply(i++));
        }
        const std::size_t after = liveHeap();
        EXPECT_LT(after, before + 4 * 1024 * 1024)
            << each.pool << ": " << (after - before) / 1024 << " KiB left";
        EXPECT_EQ(parseError(twice), refusedTwice) << each.pool;
    }
}

std::string nested(std::size_t depth) {
    std::string document;
    for (std::size_t i = 0; i < depth; ++i) document += "<e>";
    for (std::size_t i = 0; i < depth; ++i) document += "</e>";
    return document;
}

// The parser's element stack is walked at every start tag: nesting is
// refused as soon as it passes the limit, before the cost grows.
TEST(SAXToNodeParser, NestingDeeperThanTheLimitIsRefusedWhileReading) {
    SAXToNodeParser parser;
    const XMLNode* node = &parser.parseString(nested(SAXToNodeParser::MAX_DEPTH));
    std::size_t depth = 1;
    while (!node->getChildren().empty()) {
        node = node->getChildren()[0];
        ++depth;
    }
    EXPECT_EQ(depth, SAXToNodeParser::MAX_DEPTH);

    const std::string tooDeep = parseError(nested(SAXToNodeParser::MAX_DEPTH + 1));
    EXPECT_NE(tooDeep.find("deeper than"), std::string::npos) << tooDeep;
    // Refused at the first element too deep, long before the end tags.
    std::string endless;
    for (int i = 0; i < 40000; ++i) endless += "<p:e xmlns:p='urn:p'>";
    EXPECT_EQ(parseError(endless).rfind("line 1, column ", 0), 0u);
    // The same parser reads a plain document afterwards.
    EXPECT_EQ(parser.parseString("<ok/>").getName(), "ok");
}

TEST(ExceptionMapper, NormalRepliesPass) {
    SAXToNodeParser parser;
    parser.parseString("<serviceData/>");
    EXPECT_NO_THROW(ExceptionMapper::parseExceptionString(parser));
    // The right local name in another namespace is no fault.
    parser.parseString("<InvalidUserException xmlns='urn:other' message='m'/>");
    EXPECT_NO_THROW(ExceptionMapper::parseExceptionString(parser));
}

std::string fault(const std::string& name, const std::string& rest) {
    return "<f:" + name + " xmlns:f='" + Faults::EXCEPTIONS_NAMESPACE + "' " + rest + "/>";
}

template <typename Fault>
Fault mapped(const std::string& document) {
    SAXToNodeParser parser;
    parser.parseString(document);
    try {
        ExceptionMapper::parseExceptionString(parser);
    } catch (const Fault& e) {
        return e;
    }
    ADD_FAILURE() << "not mapped: " << document;
    return Fault();
}

TEST(ExceptionMapper, FaultsMapToTheirExceptionWithFields) {
    auto user = mapped<Faults::InvalidUserException>(
        fault("InvalidUserException", "message='gone' code='515' level='3' userId='u1'"));
    EXPECT_EQ(user.getLocalName(), "InvalidUserException");
    EXPECT_EQ(user.getMessage(), "gone");
    EXPECT_EQ(user.getCode(), 515);
    EXPECT_EQ(user.getLevel(), 3);
    EXPECT_EQ(user.getUserId(), "u1");

    EXPECT_EQ(mapped<Faults::InvalidCredentialsException>(
                  fault("InvalidCredentialsException", "message='bad &amp; wrong'"))
                  .getMessage(),
              "bad & wrong");
    EXPECT_EQ(mapped<Faults::ConnectionException>(fault("ConnectionException", "message='c'"))
                  .getLocalName(),
              "ConnectionException");
    EXPECT_EQ(mapped<Faults::ProtocolException>(fault("ProtocolException", "")).getMessage(), "");
    EXPECT_EQ(mapped<Faults::InternalServerException>(fault("InternalServerException", ""))
                  .getLocalName(),
              "InternalServerException");
    EXPECT_EQ(mapped<Faults::SoaException>(fault("SoaException", "")).getLocalName(),
              "SoaException");

    SAXToNodeParser parser;
    parser.parseString(std::string("<ServiceException xmlns='") + Faults::EXCEPTIONS_NAMESPACE +
                       "' message='failed' clientId='c7' code='42' uid='U1' level='2'>"
                       "<messages value='first'/><messages value='second'/></ServiceException>");
    try {
        ExceptionMapper::parseExceptionString(parser);
        ADD_FAILURE();
    } catch (const Faults::ServiceException& e) {
        EXPECT_EQ(e.getMessage(), "failed");
        EXPECT_EQ(e.getClientId(), "c7");
        EXPECT_EQ(e.getCode(), 42);
        EXPECT_EQ(e.getUid(), "U1");
        EXPECT_EQ(e.getLevel(), 2);
        EXPECT_EQ(e.getMessages(), (std::vector<std::string>{"first", "second"}));
    }
}

// The fault's element alone decides its kind: a number the exception cannot
// hold is taken as the nearest one it can, a text that is no number as a
// number left out (0).
TEST(ExceptionMapper, UnknownFaultIsServiceExceptionAndNumbersNeverDecideTheKind) {
    auto unknown = mapped<Faults::ServiceException>(fault("SomethingElse", "message='odd'"));
    EXPECT_EQ(unknown.getMessage(), "odd");
    EXPECT_EQ(unknown.getLocalName(), "ServiceException");

    const struct {
        const char* text;
        std::int32_t read;
    } numbers[] = {{"4294967297", 2147483647},
                   {"2147483648", 2147483647},
                   {"-2147483649", -2147483647 - 1},
                   {" 5 ", 5},
                   {"+5", 5},
                   {"0x10", 0},
                   {"many", 0},
                   {"", 0},
                   {"1.5", 0},
                   {"5 5", 0},
                   {"-", 0}};
    for (const auto& number : numbers) {
        const std::string value = std::string("'") + number.text + "'";
        auto user = mapped<Faults::InvalidUserException>(
            fault("InvalidUserException", "message='gone' code=" + value + " level=" + value));
        EXPECT_EQ(user.getMessage(), "gone");
        EXPECT_EQ(user.getCode(), number.read) << number.text;
        EXPECT_EQ(user.getLevel(), number.read) << number.text;
        auto service = mapped<Faults::ServiceException>(
            fault("ServiceException", "code=" + value + " level=" + value + " uid='U'"));
        EXPECT_EQ(service.getCode(), number.read) << number.text;
        EXPECT_EQ(service.getLevel(), number.read) << number.text;
        EXPECT_EQ(service.getUid(), "U");
    }
}

TEST(XmlStream, WritesNestedElementsWithEscapedAttributes) {
    XmlStream out;
    out.startElement("a");
    out.attribute("v", "<&>\"' \t\n\r \xC3\xA9");
    out.startElement("b");
    out.endElement();
    out.startElement("c");
    out.startElement("d");
    out.endElement();
    out.endElement();
    out.endElement();
    EXPECT_EQ(out.str(),
              "<a v=\"&lt;&amp;&gt;&quot;' &#9;&#10;&#13; \xC3\xA9\"><b/><c><d/></c></a>");
    SAXToNodeParser parser;
    EXPECT_EQ(parser.parseString(out.str()).attrs().at("v"), "<&>\"' \t\n\r \xC3\xA9");

    EXPECT_THROW(out.endElement(), DomException);
    EXPECT_THROW(out.attribute("late", "x"), DomException);
    XmlStream control;
    control.startElement("a");
    EXPECT_THROW(control.attribute("v", std::string("a\x01")), DomException);
    // U+FFFE and U+FFFF are no XML characters either; their neighbours are.
    EXPECT_THROW(control.attribute("v", "a\xEF\xBF\xBE"), DomException);
    EXPECT_THROW(control.attribute("v", "\xEF\xBF\xBFz"), DomException);
    XmlStream edges;
    edges.startElement("a");
    const std::string allowed = "\xEF\xBF\xBD\xEF\xBF\x80\xEF\xBE\xBF\xF0\x90\x80\x80";
    edges.attribute("v", allowed);
    edges.endElement();
    EXPECT_EQ(parser.parseString(edges.str()).attrs().at("v"), allowed);
}

// A stream that cannot grow hands out no document cut short: with each of
// its allocations failing, alone or with every one after it, it throws
// std::bad_alloc or gives the whole document.
TEST(XmlStream, GivesTheWholeDocumentOrThrowsWhenMemoryRunsOut) {
    namespace Failing = Quillomark::Testing::FailingAllocations;
    const std::string value(2000, 'v');
    const std::string whole = "<a v=\"" + value + "\"/>";
    for (const bool once : {true, false}) {
        Failing::failOnce = once;
        for (long allocation = 0;; ++allocation) {
            const long failedBefore = Failing::failed;
            std::string written = "threw";
            Failing::failAfter = allocation;
            try {
                XmlStream out;
                out.startElement("a");
                out.attribute("v", value);
                out.endElement();
                written = out.str();
            } catch (const std::bad_alloc&) {
            }
            Failing::failAfter = -1;
            if (Failing::failed == failedBefore) break;
            EXPECT_TRUE(written == "threw" || written == whole)
                << (once ? "only" : "from") << " allocation " << allocation << ": "
                << written.size() << " bytes";
        }
    }
}

}  // namespace
