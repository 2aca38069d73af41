#include <soa/common/DomException.hxx>
#include <soa/common/QmStrX.hxx>
#include <soa/common/SAXToNodeParser.hxx>

#include <platform/common/internal/Utf16.hxx>
#include <platform/common/internal/Utf8.hxx>
#include <platform/os/internal/Forks.hxx>
#include <soa/common/internal/XmlPlatform.hxx>

#include <xercesc/framework/MemoryManager.hpp>
#include <xercesc/framework/XMLDocumentHandler.hpp>
#include <xercesc/framework/XMLErrorReporter.hpp>
#include <xercesc/framework/XMLRecognizer.hpp>
#include <xercesc/internal/WFXMLScanner.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/util/BinInputStream.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/StringPool.hpp>
#include <xercesc/validators/common/GrammarResolver.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_map>

namespace Quillomark::Soa::Common::Xml {

using Quillomark::Soa::Common::Exceptions::DomException;
using xercesc::XMLUni;

namespace {

std::string position(XMLFileLoc line, XMLFileLoc column) {
    return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": ";
}

// How the bytes of a document make its characters, as the scanner reads
// them: UTF-8, one byte a character (ISO-8859-1, US-ASCII), or UTF-16 in
// either byte order.
enum class Form { Utf8, OneByte, Utf16LE, Utf16BE };

std::uint32_t unitAt(std::string_view document, std::size_t at, Form form) {
    const auto byte = [document](std::size_t i) -> std::uint32_t {
        return static_cast<unsigned char>(document[i]);
    };
    if (form == Form::Utf16LE) return byte(at) | byte(at + 1) << 8;
    if (form == Form::Utf16BE) return byte(at) << 8 | byte(at + 1);
    return byte(at);
}

// Where a byte of a document stands, counted as the scanner counts: lines
// end at LF, CR LF or CR; columns count characters from 1, after the byte
// order mark.
std::string positionOf(std::string_view document, std::size_t offset, Form form) {
    const bool utf16 = form == Form::Utf16LE || form == Form::Utf16BE;
    const std::size_t width = utf16 ? 2 : 1;
    const auto unit = [&](std::size_t at) { return unitAt(document, at, form); };
    std::size_t at = 0;
    if (utf16 && document.size() >= 2 && unit(0) == 0xFEFF) {
        at = 2;
    } else if (form == Form::Utf8 && document.substr(0, 3) == "\xEF\xBB\xBF") {
        at = 3;
    }
    XMLFileLoc line = 1;
    XMLFileLoc column = 1;
    for (; at + width <= offset; at += width) {
        const std::uint32_t c = unit(at);
        const bool crlf =
            c == '\r' && at + 2 * width <= document.size() && unit(at + width) == '\n';
        // Bytes that go on a UTF-8 sequence, and second surrogates, add no
        // character.
        const bool goesOn =
            form == Form::Utf8 ? (c & 0xC0) == 0x80 : utf16 && c >= 0xDC00 && c <= 0xDFFF;
        if (c == '\n' || (c == '\r' && !crlf)) {
            ++line;
            column = 1;
        } else if (!crlf && !goesOn) {
            ++column;
        }
    }
    return position(line, column);
}

// What the scanner reads past without a word, or drops: a U+0000, which
// it takes for the end of the input after the root and passes over in the
// XML declaration; in UTF-8 bytes that are not UTF-8 (a sequence beyond
// U+10FFFF past the first few dozen characters, one cut short at the
// end); in UTF-16 a last byte without its pair. The message, with where it
// stands, or nothing. One pass; UTF-8 is read eight ASCII bytes at a time,
// unless `utf8Flaw` holds what that pass found.
std::optional<std::string> flawOf(std::string_view document, Form form,
                                  std::optional<std::size_t> utf8Flaw) {
    std::size_t at = std::string_view::npos;
    switch (form) {
        case Form::Utf8: at = utf8Flaw ? *utf8Flaw : Internal::firstInvalidXmlUtf8(document); break;
        case Form::OneByte: at = document.find('\0'); break;
        case Form::Utf16LE:
        case Form::Utf16BE:
            for (std::size_t unit = 0; unit + 1 < document.size(); unit += 2) {
                if (document[unit] == '\0' && document[unit + 1] == '\0') {
                    at = unit;
                    break;
                }
            }
            if (at == std::string_view::npos && document.size() % 2 != 0) {
                return positionOf(document, document.size() - 1, form) +
                       "The document ends in the middle of a UTF-16 unit";
            }
            break;
    }
    if (at == std::string_view::npos) return std::nullopt;
    return positionOf(document, at, form) + (unitAt(document, at, form) == 0
                                                 ? "U+0000 is not a character of XML"
                                                 : "The bytes here are not UTF-8");
}

// The scanner takes the start of a document for an XML declaration, and
// decodes no more than it before it switches to the declared encoding, only
// when "<?xml" is followed by a blank; after a tab or a line break it
// decodes a whole first buffer in the encoding it guessed from the first
// bytes, and the declared one only from there on. Such a document is read
// as one with a blank there: a tab becomes one, and a line break gets one
// in front of it, so that lines and columns stay as they are. Only the head
// of the document changes: it is read from `head`, and from the document
// from `restAt` on.
struct ReadHead {
    std::string head;
    std::size_t restAt = 0;
};

// The XML declaration that a document begins with, in UTF-8 (and the
// one-byte encodings) or UTF-16 of either byte order, with or without a
// mark, read a character at a time.
struct Declaration {
    static std::optional<Declaration> of(std::string_view document) {
        static const Declaration layouts[] = {
            {"\xEF\xBB\xBF", 1, false, {}}, {"", 1, false, {}}, {"\xFF\xFE", 2, false, {}},
            {"\xFE\xFF", 2, true, {}},      {"", 2, false, {}}, {"", 2, true, {}}};
        for (Declaration layout : layouts) {
            if (document.substr(0, layout.mark.size()) != layout.mark) continue;
            layout.document = document;
            bool matches = true;
            for (std::size_t i = 0; i < 5 && matches; ++i)
                matches = layout.asciiAt(i) == "<?xml"[i];
            if (matches) return layout;
        }
        return std::nullopt;
    }

    // The character at index i of the text after the mark: its value when
    // it is one of ASCII, else -1.
    int asciiAt(std::size_t i) const {
        const std::size_t at = offsetOf(i);
        if (at + width > document.size()) return -1;
        if (width == 1) return static_cast<unsigned char>(document[at]);
        const char high = bigEndian ? document[at] : document[at + 1];
        const char low = bigEndian ? document[at + 1] : document[at];
        return high == '\0' && static_cast<unsigned char>(low) < 0x80 ? low : -1;
    }
    // Where the character at index i begins in the document.
    std::size_t offsetOf(std::size_t i) const { return mark.size() + i * width; }

    // The pseudo-attributes of the declaration, in their order, and the
    // index of the character after its end; none when they are not plainly
    // name, '=' and a quoted value of ASCII within its first few hundred
    // characters.
    struct Pseudo {
        std::vector<std::pair<std::string, std::string>> attributes;
        std::size_t end = 0;
    };
    std::optional<Pseudo> pseudoAttributes() const {
        static constexpr std::size_t LONGEST = 256;
        const auto blank = [](int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
        Pseudo pseudo;
        std::size_t i = 5;
        while (i < LONGEST) {
            const std::size_t blanks = i;
            while (blank(asciiAt(i))) ++i;
            if (asciiAt(i) == '?' && asciiAt(i + 1) == '>') {
                pseudo.end = i + 2;
                return pseudo;
            }
            if (i == blanks) return std::nullopt;
            std::string name;
            while (std::isalpha(asciiAt(i))) name += static_cast<char>(asciiAt(i++));
            if (name.empty()) return std::nullopt;
            while (blank(asciiAt(i))) ++i;
            if (asciiAt(i++) != '=') return std::nullopt;
            while (blank(asciiAt(i))) ++i;
            const int quote = asciiAt(i++);
            if (quote != '\'' && quote != '"') return std::nullopt;
            std::string value;
            for (int c = asciiAt(i); c != quote && i < LONGEST; c = asciiAt(++i)) {
                if (c <= 0) return std::nullopt;
                value += static_cast<char>(c);
            }
            ++i;
            pseudo.attributes.emplace_back(std::move(name), std::move(value));
        }
        return std::nullopt;
    }

    // The encoding that the declaration names: "" when it names none, none
    // when its pseudo-attributes are not plain.
    std::optional<std::string> encoding() const {
        const std::optional<Pseudo> pseudo = pseudoAttributes();
        if (!pseudo) return std::nullopt;
        std::string named;
        for (const auto& [name, value] : pseudo->attributes) {
            if (name == "encoding") named = value;
        }
        return named;
    }

    // The version that the declaration gives, and the index of the
    // character after the declaration, where the scanner reads the
    // declaration whole before it reports it: its pseudo-attributes are
    // version, then encoding and standalone if at all, their values are
    // printable ASCII, the version begins with "1.", the encoding is a name
    // and standalone is yes or no. None else.
    std::optional<std::pair<std::string, std::size_t>> plainVersion() const {
        const std::optional<Pseudo> pseudo = pseudoAttributes();
        if (!pseudo || pseudo->attributes.empty()) return std::nullopt;
        const auto& attributes = pseudo->attributes;
        const std::string& version = attributes[0].second;
        if (attributes[0].first != "version" || version.rfind("1.", 0) != 0) return std::nullopt;
        const char* const order[] = {"version", "encoding", "standalone"};
        std::size_t next = 1;  // the first of `order` that may come next
        for (std::size_t at = 0; at < attributes.size(); ++at) {
            const auto& [name, value] = attributes[at];
            if (!std::all_of(value.begin(), value.end(),
                             [](char c) { return c >= ' ' && c <= '~'; }))
                return std::nullopt;
            if (at == 0) continue;
            while (next < 3 && name != order[next]) ++next;
            if (next++ == 3) return std::nullopt;
            if (name == "standalone" && value != "yes" && value != "no") return std::nullopt;
            if (name == "encoding" && !encodingName(value)) return std::nullopt;
        }
        return std::make_pair(version, pseudo->end);
    }
    static bool encodingName(const std::string& name) {
        const auto nameCharacter = [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
        };
        return !name.empty() && std::isalpha(static_cast<unsigned char>(name[0])) &&
               std::all_of(name.begin(), name.end(), nameCharacter);
    }

    std::string_view mark;
    std::size_t width;
    bool bigEndian;
    std::string_view document;
};

// Why a document that declares XML version `version` is refused, if it
// is: replies are XML 1.0, and the scanner takes any text after "1." for a
// version.
std::optional<std::string> refusalOfVersion(const std::string& version) {
    if (version == "1.1") return "The document is XML 1.1; a reply is XML 1.0";
    bool number = version.size() > 2 && version.rfind("1.", 0) == 0;
    for (std::size_t at = 2; number && at < version.size(); ++at) {
        number = version[at] >= '0' && version[at] <= '9';
    }
    if (!number) return "The XML version '" + version + "' is not a version number";
    return std::nullopt;
}

// The refusal of the document for the version that its declaration gives,
// where the scanner reports it as it ends the declaration, with where it
// stands: known before the scanner begins, so that a reader need not stop
// part-way for it.
std::optional<std::string> refusalOfDeclaredVersion(std::string_view document) {
    const std::optional<Declaration> declaration = Declaration::of(document);
    if (!declaration) return std::nullopt;
    const auto version = declaration->plainVersion();
    if (!version) return std::nullopt;
    std::optional<std::string> refusal = refusalOfVersion(version->first);
    if (!refusal) return std::nullopt;
    const Form form = declaration->width == 1  ? Form::Utf8
                      : declaration->bigEndian ? Form::Utf16BE
                                               : Form::Utf16LE;
    return positionOf(document, declaration->offsetOf(version->second), form) + *refusal;
}

// How the document must be read.
ReadHead headToRead(std::string_view document) {
    const std::optional<Declaration> declaration = Declaration::of(document);
    if (!declaration) return {};
    const int blank = declaration->asciiAt(5);
    if (blank != '\t' && blank != '\n' && blank != '\r') return {};
    const std::size_t at = declaration->offsetOf(5), w = declaration->width;
    ReadHead read{std::string(document.substr(0, at)), at};
    read.head.append(w, '\0');
    read.head[at + (declaration->bigEndian ? w - 1 : 0)] = ' ';
    if (blank == '\t') read.restAt += w;
    return read;
}

// How the scanner will decode a document, told from its first bytes and
// its XML declaration: as UTF-8 or by another decoder of its own (UTF-16,
// ISO-8859-1, US-ASCII), or through a library beneath it. What it decodes
// through that library (any other encoding a document declares, UTF-8
// declared in UTF-16, EBCDIC, UCS-4), and what it refuses in UTF-8 for its
// bytes, with a text that it builds through the process's local code page
// transcoder, takes locks that every thread of the process shares; such a
// document is refused in any case, for its encoding or its bytes.
enum class Decoding { Utf8, Own, Beneath };

Decoding decodingOf(std::string_view document) {
    const auto bytes = reinterpret_cast<const XMLByte*>(document.data());
    const xercesc::XMLRecognizer::Encodings probed =
        xercesc::XMLRecognizer::basicEncodingProbe(bytes, document.size());
    std::string named;
    if (const std::optional<Declaration> declaration = Declaration::of(document)) {
        const std::optional<std::string> encoding = declaration->encoding();
        if (!encoding) return Decoding::Beneath;
        for (const char c : *encoding) named += static_cast<char>(std::toupper(c));
    }
    const std::u16string name(named.begin(), named.end());
    const xercesc::XMLRecognizer::Encodings declared =
        xercesc::XMLRecognizer::encodingForName(name.c_str());
    switch (probed) {
        case xercesc::XMLRecognizer::UTF_8:
            if (named.empty() || declared == xercesc::XMLRecognizer::UTF_8) return Decoding::Utf8;
            return declared == xercesc::XMLRecognizer::US_ASCII || named == "ISO-8859-1"
                       ? Decoding::Own
                       : Decoding::Beneath;
        case xercesc::XMLRecognizer::UTF_16B:
        case xercesc::XMLRecognizer::UTF_16L:
            return named.empty() || declared == xercesc::XMLRecognizer::UTF_16B ||
                           declared == xercesc::XMLRecognizer::UTF_16L
                       ? Decoding::Own
                       : Decoding::Beneath;
        default: return Decoding::Beneath;
    }
}

// The bytes of a document as the scanner reads them: a head of their own,
// then the document's own bytes from some offset on, read in place.
class SplicedStream final : public xercesc::BinInputStream {
public:
    SplicedStream(std::string_view head, std::string_view rest) : head(head), rest(rest) {}

    XMLFilePos curPos() const override { return position; }

    XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override {
        XMLSize_t done = 0;
        std::size_t offset = position;  // into the head, then into the rest
        for (const std::string_view part : {head, rest}) {
            if (offset >= part.size()) {
                offset -= part.size();
                continue;
            }
            const std::size_t n = std::min<std::size_t>(part.size() - offset, maxToRead - done);
            std::memcpy(toFill + done, part.data() + offset, n);
            done += n;
            offset = 0;
        }
        position += done;
        return done;
    }

    const XMLCh* getContentType() const override { return nullptr; }

private:
    std::string_view head;
    std::string_view rest;
    XMLSize_t position = 0;
};

// The stream is made on the scanner's heap (`streams`), which frees it
// with the scanner's other blocks where an allocation that failed lost it.
class SplicedSource final : public xercesc::InputSource {
public:
    SplicedSource(std::string_view head, std::string_view rest, xercesc::MemoryManager& streams)
        : xercesc::InputSource(u"reply"), head(head), rest(rest), streams(streams) {}

    xercesc::BinInputStream* makeStream() const override {
        return new (&streams) SplicedStream(head, rest);
    }

private:
    std::string_view head;
    std::string_view rest;
    xercesc::MemoryManager& streams;
};

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

// The heap that a scanner and its grammars allocate from, which counts
// the bytes they hold: what a scanner keeps between documents (pools of
// names, namespaces and prefixes, buffers as long as the longest text,
// value or name it met) is measured rather than guessed from the
// documents. An allocation that fails throws as the XML library's own heap
// does. The blocks are linked, so that those that the XML library lost
// when an allocation failed part-way through the making of an object (it
// cleans up after no such failure) are freed as the heap ends, after its
// scanner; what such an object held of the library beneath (the decoder
// of a document in another encoding, a few hundred bytes, for a document
// refused in any case) is not. Used by one thread at a time, as its
// scanner is.
class CountedMemory final : public xercesc::MemoryManager {
public:
    CountedMemory() = default;
    CountedMemory(const CountedMemory&) = delete;
    CountedMemory& operator=(const CountedMemory&) = delete;
    ~CountedMemory() override {
        while (first != nullptr) {
            Block* lost = first;
            first = lost->next;
            ::operator delete(lost);
        }
    }

    // What an exception copies its texts to may outlive the scanner.
    xercesc::MemoryManager* getExceptionMemoryManager() override {
        return xercesc::XMLPlatformUtils::fgMemoryManager;
    }
    void* allocate(XMLSize_t size) override {
        Block* block = nullptr;
        try {
            block = static_cast<Block*>(::operator new(size + HEADER));
        } catch (const std::bad_alloc&) {
            throw xercesc::OutOfMemoryException();
        }
        *block = Block{nullptr, first, size};
        if (first != nullptr) first->previous = block;
        first = block;
        bytes += size + HEADER + BOOKKEEPING;
        return reinterpret_cast<char*>(block) + HEADER;
    }
    void deallocate(void* p) override {
        if (p == nullptr) return;
        Block* block = reinterpret_cast<Block*>(static_cast<char*>(p) - HEADER);
        (block->previous != nullptr ? block->previous->next : first) = block->next;
        if (block->next != nullptr) block->next->previous = block->previous;
        bytes -= block->size + HEADER + BOOKKEEPING;
        ::operator delete(block);
    }

    // The bytes its blocks take on the heap, the heap's own bookkeeping
    // included.
    std::size_t held() const { return bytes; }

private:
    struct Block {
        Block* previous;
        Block* next;
        std::size_t size;
    };
    // Room for the links, that keeps what follows aligned as the heap's
    // own blocks are.
    static constexpr std::size_t HEADER = (sizeof(Block) + alignof(std::max_align_t) - 1) /
                                          alignof(std::max_align_t) * alignof(std::max_align_t);
    static constexpr std::size_t BOOKKEEPING = 16;
    Block* first = nullptr;
    std::size_t bytes = 0;
};

// The scanner that checks well-formedness only: a reply has no DTD or
// schema to validate against, and this one reads it in about 0.7 of the
// time. It reads no DTD and resolves nothing outside the document; a
// DOCTYPE, which it would skip without a word, is refused where it finds
// one, from the characters it decoded, whatever the document's encoding.
class Scanner : public xercesc::WFXMLScanner {
public:
    explicit Scanner(xercesc::GrammarResolver* grammars, xercesc::MemoryManager* memory)
        : WFXMLScanner(nullptr, nullptr, nullptr, nullptr, nullptr, grammars, memory) {
        setURIStringPool(grammars->getStringPool());
        setDoNamespaces(true);
        // A text is handed over in pieces of at most this many characters,
        // so that the buffer it is read into, which the scanner keeps,
        // stays as small whatever the texts. The scanner adds up to the 16 K
        // characters it decodes ahead to the buffer at once, and refuses
        // the document where a piece could not take them.
        setInputBufferSize(TEXT_PIECE);
    }
    static constexpr XMLSize_t TEXT_PIECE = 64 * 1024;

    // Gives back the namespace URIs that the documents before declared,
    // which the next reads without. Between documents only. (Of the rest
    // it keeps, the attributes of the element that had most go with lists
    // of the scanner's own that must stay as long: its check for an
    // attribute given twice reads one.)
    void trim() {
        fURIStringPool->flushAll();
        // The URIs that every document has, under the numbers they had.
        setURIStringPool(fURIStringPool);
    }

    // Reads as XML 1.0 again: the scanner carries the version a document
    // declared into the next, which it reads as one of that version where
    // it declares none, and a document of XML 1.0 sets it back. No handler
    // hears of that document. Between documents only.
    void readAsXml10(xercesc::MemoryManager& memory) {
        xercesc::XMLDocumentHandler* const handler = getDocHandler();
        xercesc::XMLErrorReporter* const reporter = getErrorReporter();
        setDocHandler(nullptr);
        setErrorReporter(nullptr);
        struct Handlers {
            Scanner& scanner;
            xercesc::XMLDocumentHandler* handler;
            xercesc::XMLErrorReporter* reporter;
            ~Handlers() {
                scanner.setDocHandler(handler);
                scanner.setErrorReporter(reporter);
            }
        } restored{*this, handler, reporter};
        scanDocument(SplicedSource("<?xml version='1.0'?><a/>", "", memory));
    }

private:
    void scanDocTypeDecl() override {
        const xercesc::Locator* at = getLocator();
        throw DomException(position(at->getLineNumber(), at->getColumnNumber()) +
                           "A DOCTYPE is not allowed in a reply");
    }
};

// A scanner and the grammars it reads with. Every new scanner of the
// process takes a lock of the XML library's for a moment, to number it,
// which a fork leaves held for good in the child when another thread was
// inside: parsers keep their readers for their next documents, and hand
// them on to the next parsers through `spareReaders`, rather than make one
// each. A reader is used again only after a document it read to its end,
// or one it was refused or stopped in (by a handler's exception) and put
// away whole, as the scanner does on every ending but an allocation that
// failed: after that, its pools and its reader of the document may be left
// half made, and the reader is ended.
struct Reader {
    Reader()
        : grammars(std::make_unique<xercesc::GrammarResolver>(nullptr, &memory)),
          scanner(std::make_unique<Scanner>(grammars.get(), &memory)) {}
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Whether the reader may read another document as a new one would, at
    // a cost that does not depend on the documents before, holding no more
    // than `most` bytes (trimmed first when it holds more than a new one
    // and a reply's few namespaces call for), once it reads XML 1.0 again.
    // A reader that an allocation failed in on the way is not: its pool of
    // namespaces or its version may be left half set.
    bool fitToKeep(std::size_t most) noexcept {
        try {
            if (scanner->getXMLVersion() != xercesc::XMLReader::XMLV1_0) {
                scanner->readAsXml10(memory);
            }
            if (memory.held() > TRIMMED_ABOVE) scanner->trim();
        } catch (...) {
            return false;
        }
        return scanner->getXMLVersion() == xercesc::XMLReader::XMLV1_0 &&
               scanner->getReaderMgr()->getCurrentReader() == nullptr && memory.held() <= most;
    }
    static constexpr std::size_t TRIMMED_ABOVE = 256 * 1024;
    // The most that a reader handed on to the next parser holds: a new one
    // takes about 30 KiB (160 KiB once it read a long text), and one that
    // read replies of hundreds of namespaces, element names or attributes,
    // or with values or comments of a hundred KB, several hundred KiB.
    static constexpr std::size_t MOST_HANDED_ON = 1024 * 1024;
    // The most that a parser's own reader keeps for its next document: no
    // less than a reader handed on, and what the last one called for, room
    // for its longest value, comment or name in UTF-16, twice over as
    // buffers grow.
    std::size_t mostForTheNext() const { return std::max(MOST_HANDED_ON, 4 * lastDocument); }
    std::size_t lastDocument = 0;
    // What it held as an ended parser left it in `spareReaders`.
    std::size_t heldAside = 0;

    // First: the scanner returns its blocks as it ends.
    CountedMemory memory;
    std::unique_ptr<xercesc::GrammarResolver> grammars;
    std::unique_ptr<Scanner> scanner;
};

// Readers that ended parsers left for the next ones: as many as parsers
// were alive at once, up to the room here. Plain storage, never destroyed,
// taken and filled a slot at a time without a lock: a child forked
// meanwhile finds each reader either here, whole, or with the parent's
// thread that had it.
constexpr std::size_t SPARE_READERS = 16;
std::atomic<Reader*> spareReaders[SPARE_READERS];
// What the readers there hold in all, at most MOST_SPARE: a reader that
// would hold more is ended.
constexpr std::size_t MOST_SPARE = 4 * 1024 * 1024;
std::atomic<std::size_t> spareBytes{0};

// Around the calls that take a lock of the XML library's or of the ones
// beneath it that the whole process shares: making a scanner, short, which
// a fork waits for; and reading a document that is decoded through one
// (`Decoding::Beneath`), as long as the document, which a fork does not.
Quillomark::Platform::Os::ForkRegion makingReaders{
    Quillomark::Platform::Os::ForkRegion::SHORT_STEP};
Quillomark::Platform::Os::ForkRegion decodingBeneath;

// Whether the lock that `region` is around can be held by a thread that
// this process does not have: a fork of its line came while a thread was
// inside, and left it held for good.
bool lostInAFork(const Quillomark::Platform::Os::ForkRegion& region) {
    return Quillomark::Platform::Os::forksSoFar() != 0 && !region.wholeSince(0);
}

// What a child that a fork left without one of those locks cannot read.
[[noreturn]] void refuseAfterTheFork(const char* parentThreadWas) {
    throw DomException(std::string("The reply cannot be read in a process forked while another "
                                   "thread of its parent was ") +
                       parentThreadWas +
                       ": the XML library's lock for that is held in the child for good. Run a "
                       "new program in the child to read it.");
}

std::unique_ptr<Reader> spareOrNewReader() {
    for (std::atomic<Reader*>& spare : spareReaders) {
        if (spare.load(std::memory_order_relaxed) == nullptr) continue;
        if (Reader* reader = spare.exchange(nullptr, std::memory_order_acquire)) {
            spareBytes.fetch_sub(reader->heldAside, std::memory_order_relaxed);
            return std::unique_ptr<Reader>(reader);
        }
    }
    if (lostInAFork(makingReaders)) refuseAfterTheFork("making an XML parser");
    const Quillomark::Platform::Os::ForkRegion::Scope making(makingReaders);
    return std::make_unique<Reader>();
}

// Keeps a reader for the next parser, or ends it when it holds much, the
// readers kept would hold too much with it, or there is no room.
void setAside(std::unique_ptr<Reader> reader) {
    if (!reader->fitToKeep(Reader::MOST_HANDED_ON)) return;
    reader->heldAside = reader->memory.held();
    if (spareBytes.fetch_add(reader->heldAside, std::memory_order_relaxed) + reader->heldAside >
        MOST_SPARE) {
        spareBytes.fetch_sub(reader->heldAside, std::memory_order_relaxed);
        return;
    }
    reader->scanner->setDocHandler(nullptr);
    reader->scanner->setErrorReporter(nullptr);
    for (std::atomic<Reader*>& spare : spareReaders) {
        Reader* empty = nullptr;
        if (spare.load(std::memory_order_relaxed) == nullptr &&
            spare.compare_exchange_strong(empty, reader.get(), std::memory_order_release,
                                          std::memory_order_relaxed)) {
            reader.release();
            return;
        }
    }
    spareBytes.fetch_sub(reader->heldAside, std::memory_order_relaxed);
}

}  // namespace

// Builds the tree from what the scanner reports. The scanner is driven
// directly, without a SAX2 reader in between: a reader would first copy
// each element's attributes into a list of its own and look up its
// namespace prefixes, which costs more than building the node.
struct SAXToNodeParser::Tree : xercesc::XMLDocumentHandler, xercesc::XMLErrorReporter {
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

    Tree() = default;
    ~Tree() {
        if (reader) setAside(std::move(reader));
    }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;

    // The reader for the next document: the one this tree read with
    // before, unless it holds too much, else a spare one or a new one.
    void takeReader() {
        if (reader && !reader->fitToKeep(reader->mostForTheNext())) reader.reset();
        if (reader) return;
        reader = spareOrNewReader();
        reader->scanner->setDocHandler(this);
        reader->scanner->setErrorReporter(this);
    }
    xercesc::XMLScanner& scanner() const { return *reader->scanner; }

    // Reads the document, from `head` and then from `rest`, with the
    // reader, which is ended where an allocation failed or the scanner
    // stopped without putting its reader of the document away.
    void scan(std::string_view head, std::string_view rest, std::size_t size) {
        try {
            reader->lastDocument = size;
            const SplicedSource source(head, rest, reader->memory);
            scanner().scanDocument(source);
        } catch (const xercesc::OutOfMemoryException&) {
            reader.reset();
            throw;
        } catch (const std::bad_alloc&) {
            reader.reset();
            throw;
        } catch (...) {
            // A refusal: the next document begins anew, as after one read
            // to its end, once the scanner has put this one away.
            if (scanner().getReaderMgr()->getCurrentReader() != nullptr) reader.reset();
            throw;
        }
    }

    void clear() {
        root = nullptr;
        open.clear();
        children.clear();
        nodes.clear();
        attributes.clear();
        texts.clear();
        names.clear();
        nameStore.clear();
        parted = 0;
        form = Form::Utf8;
        elements.clear();
        std::fill(std::begin(recentElements), std::end(recentElements), Recent{});
        uris.clear();
    }

    // Element, attribute and namespace names: a document uses few, so each
    // is encoded once and then found by its UTF-16 form.
    struct Name {
        std::u16string key;
        std::string name;
    };
    const Name& lookUp(const XMLCh* text) {
        const std::u16string_view key(text);
        const auto found = names.find(key);
        if (found != names.end()) return *found->second;
        Name& added = nameStore.emplace_back(Name{std::u16string(key), {}});
        if (!Internal::appendUtf8(added.name, text, key.size())) refuseLoneSurrogate();
        names.emplace(added.key, &added);
        return added;
    }
    // The one copy of a name in this tree.
    const std::string* intern(const XMLCh* text) {
        if (text == nullptr || *text == 0) return XMLNode::empty();
        return &lookUp(text).name;
    }

    // The scanner makes one declaration per element name of a document and
    // numbers its namespace URIs: both are found again without reading
    // their text. Elements of one name mostly carry the same attributes in
    // the same order: the name seen last at each place is tried first.
    struct Element {
        const std::string* name = nullptr;
        std::vector<const Name*> attributeNames;
    };
    static constexpr std::size_t MOST_REMEMBERED = 16;
    // The few element names of a reply are found again through a small
    // table on their declaration's address before the map is asked.
    Element& element(const xercesc::XMLElementDecl& declaration) {
        const auto address = reinterpret_cast<std::uintptr_t>(&declaration);
        Recent& recent = recentElements[(address >> 4 ^ address >> 10) % RECENT];
        if (recent.declaration == &declaration) return *recent.element;
        Element& known = elements[&declaration];
        if (known.name == nullptr) known.name = intern(declaration.getBaseName());
        recent = Recent{&declaration, &known};
        return known;
    }
    static constexpr std::size_t RECENT = 32;
    struct Recent {
        const xercesc::XMLElementDecl* declaration = nullptr;
        Element* element = nullptr;
    };
    Recent recentElements[RECENT];
    const std::string* attributeName(Element& element, std::size_t at, const XMLCh* qname) {
        if (qname == nullptr || *qname == 0) return XMLNode::empty();
        if (at < element.attributeNames.size()) {
            const Name*& last = element.attributeNames[at];
            if (!xercesc::XMLString::equals(last->key.c_str(), qname)) last = &lookUp(qname);
            return &last->name;
        }
        const Name& name = lookUp(qname);
        if (at == element.attributeNames.size() && at < MOST_REMEMBERED) {
            element.attributeNames.push_back(&name);
        }
        return &name.name;
    }
    const std::string* uri(unsigned int id) {
        if (id >= uris.size()) uris.resize(id + 1, nullptr);
        if (uris[id] == nullptr) uris[id] = intern(scanner().getURIText(id));
        return uris[id];
    }

    [[noreturn]] void refuse(const std::string& reason) const {
        const xercesc::Locator* at = scanner().getLocator();
        throw DomException(position(at->getLineNumber(), at->getColumnNumber()) + reason);
    }
    // The scanner lets a lone surrogate of UTF-16 through in some places (at
    // the end of an attribute value, before a reference, in a processing
    // instruction): the tree refuses it wherever it meets one.
    [[noreturn]] void refuseLoneSurrogate() const { refuse("A surrogate of UTF-16 stands alone"); }

    // An attribute that declares a namespace, xmlns or xmlns:prefix, is
    // not one of the element's.
    static bool declaresNamespace(const XMLCh* qname) {
        const XMLCh* xmlns = XMLUni::fgXMLNSString;
        std::size_t at = 0;
        while (xmlns[at] != 0 && qname[at] == xmlns[at]) ++at;
        return xmlns[at] == 0 && (qname[at] == 0 || qname[at] == xercesc::chColon);
    }

    // The namespace names of xml and xmlns are bound to their prefixes
    // alone: xml's may be declared for xml, xmlns's for nothing. (The
    // scanner itself refuses another name for either prefix, and either
    // name as the default namespace.)
    void checkReservedNamespace(const XMLCh* qname, const XMLCh* uri) const {
        if (xercesc::XMLString::equals(uri, XMLUni::fgXMLURIName) &&
            !xercesc::XMLString::equals(qname, u"xmlns:xml")) {
            refuse(
                "The namespace 'http://www.w3.org/XML/1998/namespace' is reserved for the "
                "prefix 'xml'");
        }
        if (xercesc::XMLString::equals(uri, XMLUni::fgXMLNSURIName)) {
            refuse("The namespace 'http://www.w3.org/2000/xmlns/' is bound to no prefix");
        }
    }

    void startElement(const xercesc::XMLElementDecl& declaration, const unsigned int uriId,
                      const XMLCh* const prefix,
                      const xercesc::RefVectorOf<xercesc::XMLAttr>& attributeList,
                      const XMLSize_t count, const bool isEmpty, const bool isRoot) override {
        (void)prefix;
        (void)isRoot;
        // The scanner walks its whole element stack at every start tag: deep
        // nesting would cost time quadratic in the document's size.
        if (open.size() >= MAX_DEPTH) {
            refuse("The elements nest deeper than " + std::to_string(MAX_DEPTH) + " levels");
        }
        if (parted != 0) refuseLoneSurrogate();
        XMLNode& node = *nodes.make(1);
        Element& known = element(declaration);
        node.line = static_cast<std::int32_t>(scanner().getLocator()->getLineNumber());
        node.name = known.name;
        node.namespaceUri = uri(uriId);
        if (count > 0) {
            // Room for every attribute; the few that declare a namespace
            // (mostly on the root) leave theirs empty at the end.
            XMLNode::Attribute* made = attributes.make(count);
            XMLNode::Attribute* next = made;
            for (XMLSize_t i = 0; i < count; ++i) {
                const xercesc::XMLAttr& attribute = *attributeList.elementAt(i);
                const XMLCh* qname = attribute.getQName();
                if (qname != nullptr && declaresNamespace(qname)) {
                    checkReservedNamespace(qname, attribute.getValue());
                    continue;
                }
                next->name = attributeName(known, static_cast<std::size_t>(next - made), qname);
                if (!Internal::appendUtf8(next->value, attribute.getValue())) {
                    refuseLoneSurrogate();
                }
                ++next;
            }
            if (next != made) node.attributes = made;
            node.attributeCount = static_cast<std::uint32_t>(next - made);
        }
        if (open.empty()) {
            root = &node;
            checkEncoding();
        } else {
            children.push_back(&node);
        }
        open.push_back(Open{&node, children.size()});
        if (isEmpty) close();
    }

    void endElement(const xercesc::XMLElementDecl& declaration, const unsigned int uriId,
                    const bool isRoot, const XMLCh* const prefix) override {
        (void)declaration;
        (void)uriId;
        (void)isRoot;
        (void)prefix;
        close();
    }

    // Hands the innermost open element its children.
    void close() {
        if (parted != 0) refuseLoneSurrogate();
        const Open& last = open.back();
        const auto first = children.begin() + static_cast<std::ptrdiff_t>(last.firstChild);
        last.node->children.assign(first, children.end());
        children.erase(first, children.end());
        open.pop_back();
    }

    // The scanner hands a long text over in pieces, which may part a
    // surrogate pair: a high surrogate that ends a piece waits for the next.
    void docCharacters(const XMLCh* const chars, const XMLSize_t length,
                       const bool cdataSection) override {
        (void)cdataSection;
        if (open.empty() || length == 0) return;
        XMLNode& node = *open.back().node;
        if (node.text == nullptr) node.text = texts.make(1);
        const XMLCh* from = chars;
        XMLSize_t count = length;
        if (parted != 0) {
            const XMLCh pair[2] = {parted, *from};
            parted = 0;
            if (!Internal::appendUtf8(*node.text, pair, 2)) refuseLoneSurrogate();
            ++from;
            --count;
        }
        if (count > 0 && from[count - 1] >= 0xD800 && from[count - 1] <= 0xDBFF) {
            parted = from[--count];
        }
        if (!Internal::appendUtf8(*node.text, from, count)) refuseLoneSurrogate();
    }

    // Errors that are not fatal (an unbound namespace prefix, say) still
    // make the document unreadable for us, and so do warnings: without a
    // DTD the only one left is an encoding declared against the bytes
    // (UTF-8 declared as UTF-16), which the scanner would read anyway.
    void error(const unsigned int, const XMLCh* const, const ErrTypes, const XMLCh* const text,
               const XMLCh* const, const XMLCh* const, const XMLFileLoc line,
               const XMLFileLoc column) override {
        throw DomException(position(line, column) + static_cast<const std::string&>(QmStrX(text)));
    }
    void resetErrors() override {}

    // Comments and processing instructions leave the tree as it is; a lone
    // surrogate in one is refused as anywhere else. The rest a reply does
    // not use.
    void docComment(const XMLCh* const text) override {
        if (!Internal::surrogatesPaired(text)) refuseLoneSurrogate();
    }
    void docPI(const XMLCh* const target, const XMLCh* const data) override {
        if (!Internal::surrogatesPaired(target) || !Internal::surrogatesPaired(data)) {
            refuseLoneSurrogate();
        }
    }
    void startDocument() override {}
    void endDocument() override {}
    void resetDocument() override {}
    void ignorableWhitespace(const XMLCh* const, const XMLSize_t, const bool) override {}
    void startEntityReference(const xercesc::XMLEntityDecl&) override {}
    void endEntityReference(const xercesc::XMLEntityDecl&) override {}

    // Replies are XML 1.0. The scanner would read the rest of a document
    // declared 1.1 by other rules (other line ends, spaces and characters).
    // The scanner takes any text after "1." for a version.
    void XMLDecl(const XMLCh* const version, const XMLCh* const, const XMLCh* const,
                 const XMLCh* const) override {
        if (std::optional<std::string> refusal = refusalOfVersion(QmStrX(version))) {
            refuse(*refusal);
        }
    }

    // Replies are UTF-8 or UTF-16; ISO-8859-1 and US-ASCII, which the
    // scanner decodes byte for byte, are read too. Other encodings are
    // refused: their converters put U+FFFD in place of bytes they cannot
    // read, or read what other readers would not (UTF-7, the ISO-2022
    // family). The scanner has decided by the time the root begins.
    void checkEncoding() {
        const XMLCh* encoding = scanner().getReaderMgr()->getCurrentEncodingStr();
        switch (xercesc::XMLRecognizer::encodingForName(encoding)) {
            case xercesc::XMLRecognizer::UTF_8: form = Form::Utf8; return;
            case xercesc::XMLRecognizer::UTF_16B: form = Form::Utf16BE; return;
            case xercesc::XMLRecognizer::UTF_16L: form = Form::Utf16LE; return;
            case xercesc::XMLRecognizer::US_ASCII: form = Form::OneByte; return;
            default:
                if (xercesc::XMLString::equals(encoding, u"ISO-8859-1")) {
                    form = Form::OneByte;
                    return;
                }
                refuse("The document is in " + static_cast<const std::string&>(QmStrX(encoding)) +
                       "; a reply is in UTF-8 or UTF-16");
        }
    }

    std::unique_ptr<Reader> reader;
    // How the scanner reads the document, as its root begins.
    Form form = Form::Utf8;
    // A high surrogate that ended the last piece of a text.
    XMLCh parted = 0;

    XMLNode* root = nullptr;
    Blocks<XMLNode, emptyNode> nodes{256};
    Blocks<XMLNode::Attribute, emptyAttribute> attributes{1024};
    Blocks<std::string, emptyText> texts{64};
    std::deque<Name> nameStore;
    std::unordered_map<std::u16string_view, const Name*> names;
    std::unordered_map<const xercesc::XMLElementDecl*, Element> elements;
    std::vector<const std::string*> uris;
    // The open elements, innermost last, each with the position in
    // `children` where its own children begin; an element's children are
    // handed to it in one piece when it ends.
    struct Open {
        XMLNode* node;
        std::size_t firstChild;
    };
    std::vector<Open> open;
    std::vector<XMLNode*> children;
};

SAXToNodeParser::SAXToNodeParser() {
    initializeXmlPlatform();
    tree = std::make_unique<Tree>();
}

SAXToNodeParser::~SAXToNodeParser() = default;

const XMLNode& SAXToNodeParser::parseString(const std::string& document) {
    tree->clear();
    try {
        // The document outlives the parse: the scanner reads it in place.
        const ReadHead read = headToRead(document);
        const Decoding decoding = decodingOf(document);
        std::optional<std::size_t> utf8Flaw;
        if (decoding == Decoding::Utf8) utf8Flaw = Internal::firstInvalidXmlUtf8(document);
        const bool beneath =
            decoding == Decoding::Beneath || (utf8Flaw && *utf8Flaw != std::string_view::npos);
        if (beneath && lostInAFork(decodingBeneath)) {
            refuseAfterTheFork(
                "decoding a document in another encoding than UTF-8, UTF-16, ISO-8859-1 and "
                "US-ASCII, or with bytes not of its encoding, as this one");
        }
        // Refused before the scanner begins, where it would be refused as
        // the scanner reports the declaration (which the scanner reads
        // whole first, unless it decodes it through a library beneath).
        if (decoding != Decoding::Beneath) {
            if (std::optional<std::string> refusal = refusalOfDeclaredVersion(document)) {
                throw DomException(*refusal);
            }
        }
        tree->takeReader();
        {
            std::optional<Quillomark::Platform::Os::ForkRegion::Scope> decodingThere;
            if (beneath) decodingThere.emplace(decodingBeneath);
            tree->scan(read.head, std::string_view(document).substr(read.restAt), document.size());
        }
        if (tree->root == nullptr) throw DomException("The document has no root element");
        if (std::optional<std::string> flaw = flawOf(document, tree->form, utf8Flaw)) {
            throw DomException(*flaw);
        }
        return *tree->root;
    } catch (const DomException&) {
        tree->clear();
        throw;
    } catch (const xercesc::OutOfMemoryException&) {
        tree->clear();
        throw DomException("Out of memory while parsing the document");
    } catch (const xercesc::XMLException& e) {
        tree->clear();
        throw DomException(static_cast<const std::string&>(QmStrX(e.getMessage())));
    } catch (...) {
        // Memory the tree could not have.
        tree->clear();
        throw;
    }
}

const XMLNode& SAXToNodeParser::getRoot() const {
    return tree->root != nullptr ? *tree->root : emptyRoot;
}

}  // namespace Quillomark::Soa::Common::Xml
