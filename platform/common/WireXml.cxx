#include <platform/common/internal/WireXml.hxx>

#include <soa/common/BadLexicalCast.hxx>
#include <soa/common/DomException.hxx>
#include <soa/common/LexicalCast.hxx>

#include <atomic>
#include <cstring>
#include <new>

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

namespace {

// Every object stands behind a prefix that names the block it was made in,
// or null for a heap block of its own. A shared block starts with the count
// of what holds it: the arena while it makes objects in it, and each object.
constexpr std::size_t PREFIX = alignof(std::max_align_t);
constexpr std::size_t BLOCK = 16384;

struct Shared {
    std::atomic<std::size_t> holders;
};
static_assert(sizeof(Shared) <= PREFIX, "the count must fit before the first object");
static_assert(sizeof(unsigned char*) <= PREFIX, "the prefix must fit its room");

struct Arena {
    bool open = false;
    unsigned char* block = nullptr;
    std::size_t used = 0;
};

thread_local Arena arena;

void release(unsigned char* block) noexcept {
    auto* shared = reinterpret_cast<Shared*>(block);
    if (shared->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        shared->~Shared();
        ::operator delete(block);
    }
}

unsigned char* prefixed(unsigned char* at, unsigned char* block) {
    std::memcpy(at, &block, sizeof block);
    return at + PREFIX;
}

}  // namespace

ArenaScope::ArenaScope() : outermost(!arena.open) { arena.open = true; }

ArenaScope::~ArenaScope() {
    if (!outermost) return;
    arena.open = false;
    if (arena.block != nullptr) release(arena.block);
    arena.block = nullptr;
}

void* newWireObject(std::size_t size) {
    const std::size_t unit = PREFIX + (size + PREFIX - 1) / PREFIX * PREFIX;
    if (!arena.open || size > BLOCK / 4) {
        return prefixed(static_cast<unsigned char*>(::operator new(PREFIX + size)), nullptr);
    }
    if (arena.block == nullptr || arena.used + unit > BLOCK) {
        auto* fresh = static_cast<unsigned char*>(::operator new(BLOCK));
        ::new (fresh) Shared{{1}};
        if (arena.block != nullptr) release(arena.block);
        arena.block = fresh;
        arena.used = PREFIX;
    }
    reinterpret_cast<Shared*>(arena.block)->holders.fetch_add(1, std::memory_order_relaxed);
    unsigned char* at = arena.block + arena.used;
    arena.used += unit;
    return prefixed(at, arena.block);
}

void deleteWireObject(void* memory) noexcept {
    if (memory == nullptr) return;
    unsigned char* at = static_cast<unsigned char*>(memory) - PREFIX;
    unsigned char* block;
    std::memcpy(&block, at, sizeof block);
    if (block != nullptr) {
        release(block);
    } else {
        ::operator delete(at);
    }
}

void writeAttribute(XmlStream& out, const std::string& name, int value) {
    out.attribute(name, lexical_cast<std::string>(value));
}

void writeAttribute(XmlStream& out, const std::string& name, bool value) {
    out.attribute(name, value ? "true" : "false");
}

}  // namespace Quillomark::Soa::Common::Xml::Internal
