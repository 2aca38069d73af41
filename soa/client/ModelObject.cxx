#include <soa/client/ModelObject.hxx>

#include <soa/client/ModelObjectImpl.hxx>
#include <soa/client/NotLoadedException.hxx>
#include <soa/client/Property.hxx>
#include <soa/client/PropertyDescription.hxx>
#include <soa/client/Type.hxx>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

namespace Quillomark::Soa::Client {

namespace {

// The length and the first and last eight bytes, mixed: cheap for the
// short names of properties, and names that share a prefix (object_name,
// object_desc) or a suffix (release_status_list, project_list) still differ.
char digest(std::string_view name) {
    const std::size_t size = name.size();
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    if (size >= 8) {
        std::memcpy(&head, name.data(), 8);
        std::memcpy(&tail, name.data() + size - 8, 8);
    } else {
        for (std::size_t i = 0; i < size; ++i) {
            head |= std::uint64_t{static_cast<unsigned char>(name[i])} << (8 * i);
        }
    }
    const std::uint64_t mixed =
        (head * 0x9E3779B97F4A7C15ull) ^ ((tail + size) * 0xC2B2AE3D27D4EB4Full);
    return static_cast<char>(mixed >> 56);
}

// The first eight bytes of a name, padded with zeros, as a number that
// orders as the bytes do.
std::uint64_t prefix(const std::string& name) {
    std::uint64_t number = 0;
    const std::size_t size = std::min<std::size_t>(name.size(), 8);
    for (std::size_t i = 0; i < size; ++i) {
        number |= std::uint64_t{static_cast<unsigned char>(name[i])} << (56 - 8 * i);
    }
    return number;
}

// Bit i set where digests[i] is `wanted`, for the first `held` of 32.
std::uint32_t matching(const char (&digests)[32], std::size_t held, char wanted) noexcept {
    constexpr std::uint64_t ONES = 0x0101010101010101ull;
    constexpr std::uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
    // Multiplying by this moves the bit at 8k to 56 + k, and nothing else
    // into the top byte.
    constexpr std::uint64_t GATHER = 0x0102040810204080ull;
    const std::uint64_t spread = ONES * static_cast<unsigned char>(wanted);
    std::uint32_t mask = 0;
    for (std::size_t word = 0; word < 4; ++word) {
        std::uint64_t bytes;
        std::memcpy(&bytes, digests + 8 * word, 8);
        // Digest k of the word in bits 8k to 8k + 7, whatever the byte order.
        if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) bytes = __builtin_bswap64(bytes);
        const std::uint64_t differ = bytes ^ spread;
        // The top bit of each byte that is zero in `differ`, exactly: no
        // carry crosses from one byte into the next.
        const std::uint64_t zero = ~(((differ & LOW7) + LOW7) | differ | LOW7);
        mask |= static_cast<std::uint32_t>(((zero >> 7) * GATHER) >> 56) << (8 * word);
    }
    return held >= 32 ? mask : mask & ((std::uint32_t{1} << held) - 1);
}

}  // namespace

ModelObject::ModelObject() = default;

ModelObject::~ModelObject() { delete impl; }

void ModelObject::setModelObjectImpl(ModelObjectImpl* record) { impl = record; }

const std::string& ModelObject::getUid() const { return impl->getUid(); }

const std::vector<std::string> ModelObject::getPropertyNames() const {
    return impl->getPropertyNames();
}

Property* ModelObject::getProperty(const std::string& name) {
    // An object made by its public constructor has no record, and a record
    // may hold a null entry: both count as not loaded, so no accessor reads
    // through a null pointer.
    Property* property = impl == nullptr ? nullptr : impl->getProperty(name);
    if (property == nullptr) {
        throw NotLoadedException("The " + name + " property is not loaded in the client model.");
    }
    return property;
}

Type* ModelObject::getType() { return impl->getType(); }

static_assert(alignof(std::string) > 1, "a name's lowest address bit must be free");

ModelObjectImpl::Name ModelObjectImpl::Name::borrow(const std::string& text) {
    Name name;
    name.bits = reinterpret_cast<std::uintptr_t>(&text);
    return name;
}

ModelObjectImpl::Name ModelObjectImpl::Name::copy(const std::string& text) {
    Name name;
    name.bits = reinterpret_cast<std::uintptr_t>(new std::string(text)) | 1u;
    return name;
}

auto ModelObjectImpl::Name::operator=(Name&& other) noexcept -> Name& {
    // `other` takes this name's string along and frees it when it goes.
    std::swap(bits, other.bits);
    return *this;
}

ModelObjectImpl::Name::~Name() {
    if ((bits & 1u) != 0) delete reinterpret_cast<std::string*>(bits & ~std::uintptr_t{1});
}

ModelObjectImpl::ModelObjectImpl(const std::string& uid, Type* type) : uid(uid), type(type) {}

ModelObjectImpl::~ModelObjectImpl() {
    for (Entry& entry : properties) {
        delete entry.property;
        entry.property = nullptr;
    }
    properties.clear();
    type = nullptr;
}

auto ModelObjectImpl::find(std::string_view name) const -> std::vector<Entry>::const_iterator {
    return std::lower_bound(properties.begin(), properties.end(), name,
                            [](const Entry& e, std::string_view n) { return e.name.get() < n; });
}

std::vector<std::string> ModelObjectImpl::getPropertyNames() const {
    std::vector<std::string> names;
    names.reserve(properties.size());
    for (const Entry& entry : properties) names.push_back(entry.name.get());
    return names;
}

void ModelObjectImpl::redigest() noexcept {
    if (properties.size() > DIGESTED) return;
    for (std::size_t i = 0; i < properties.size(); ++i) {
        digests[i] = digest(properties[i].name.get());
    }
}

Property* ModelObjectImpl::getProperty(std::string_view name) const {
    if (properties.size() > DIGESTED) {
        auto it = find(name);
        return it != properties.end() && it->name.get() == name ? it->property : nullptr;
    }
    // Usually one candidate: the names are compared there only, and no
    // branch waits on each digest in turn.
    for (std::uint32_t candidates = matching(digests, properties.size(), digest(name));
         candidates != 0; candidates &= candidates - 1) {
        const Entry& entry = properties[static_cast<std::size_t>(__builtin_ctz(candidates))];
        if (entry.name.get() == name) return entry.property;
    }
    return nullptr;
}

auto ModelObjectImpl::nameFor(const std::string& name, Property* property) -> Name {
    PropertyDescription* description =
        property != nullptr ? property->getPropertyDescription() : nullptr;
    if (description != nullptr && description->getName() == name) {
        return Name::borrow(description->getName());
    }
    return Name::copy(name);
}

void ModelObjectImpl::replace(Entry& entry, Name name, Property* property) noexcept {
    if (entry.property != property) delete entry.property;
    entry.property = property;
    entry.name = std::move(name);
}

void ModelObjectImpl::addProperty(const std::string& name, Property* property) {
    Name key;
    try {
        key = nameFor(name, property);
        auto at = properties.begin() + (find(name) - properties.cbegin());
        if (at != properties.end() && at->name.get() == name) {
            replace(*at, std::move(key), property);
        } else {
            properties.insert(at, Entry{std::move(key), property});
        }
    } catch (...) {
        delete property;
        throw;
    }
    redigest();
}

void ModelObjectImpl::addProperties(std::vector<NamedProperty>& added) {
    // The added properties sorted by name, the last of each name, ready to
    // be merged with the held ones in one pass.
    std::vector<Entry> incoming;
    std::vector<Entry> merged;
    try {
        // Sorted by name, keeping the order of equal names. The few
        // properties of most objects are sorted by insertion, which asks the
        // heap for nothing.
        auto before = [](const NamedProperty& a, const NamedProperty& b) {
            return *a.name < *b.name;
        };
        constexpr std::size_t BY_INSERTION = 64;
        if (added.size() <= BY_INSERTION) {
            // Each name's first bytes, compared as one number, decide most
            // comparisons without reading the names again.
            std::uint64_t prefixes[BY_INSERTION];
            for (std::size_t i = 0; i < added.size(); ++i) prefixes[i] = prefix(*added[i].name);
            for (std::size_t i = 1; i < added.size(); ++i) {
                for (std::size_t j = i; j > 0; --j) {
                    const bool earlier = prefixes[j] != prefixes[j - 1]
                                             ? prefixes[j] < prefixes[j - 1]
                                             : before(added[j], added[j - 1]);
                    if (!earlier) break;
                    std::swap(added[j], added[j - 1]);
                    std::swap(prefixes[j], prefixes[j - 1]);
                }
            }
        } else {
            std::stable_sort(added.begin(), added.end(), before);
        }
        incoming.reserve(added.size());
        for (std::size_t i = 0; i < added.size(); ++i) {
            NamedProperty& next = added[i];
            if (i + 1 < added.size() && *added[i + 1].name == *next.name) {
                if (next.property != added[i + 1].property) delete next.property;
                next.property = nullptr;
                continue;
            }
            incoming.push_back(Entry{nameFor(*next.name, next.property), next.property});
            next.property = nullptr;
        }
        if (!properties.empty()) merged.reserve(properties.size() + incoming.size());
    } catch (...) {
        for (NamedProperty& left : added) delete left.property;
        for (Entry& entry : incoming) delete entry.property;
        added.clear();
        throw;
    }
    added.clear();
    if (properties.empty()) {
        properties.swap(incoming);
        redigest();
        return;
    }
    auto held = properties.begin();
    for (Entry& entry : incoming) {
        while (held != properties.end() && held->name.get() < entry.name.get()) {
            merged.push_back(std::move(*held++));
        }
        if (held != properties.end() && held->name.get() == entry.name.get()) {
            replace(*held, std::move(entry.name), entry.property);
            merged.push_back(std::move(*held++));
        } else {
            merged.push_back(std::move(entry));
        }
    }
    std::move(held, properties.end(), std::back_inserter(merged));
    properties.swap(merged);
    redigest();
}

bool ModelObjectImpl::setType(Type* newType) {
    if (!isTypeOf(newType)) return false;
    type = newType;
    return true;
}

bool ModelObjectImpl::isTypeOf(Type* candidate) const {
    // Walks up from `candidate`; the manager refuses schemas whose parent
    // links form a cycle, so the walk ends at a root.
    for (Type* t = candidate; t != nullptr; t = t->getParent()) {
        if (t->getName() == type->getName()) return true;
    }
    return false;
}

}  // namespace Quillomark::Soa::Client
