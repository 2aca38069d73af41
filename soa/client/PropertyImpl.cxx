#include <soa/client/PropertyImpl.hxx>

#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/PropertyDescription.hxx>
#include <soa/client/RuntimeException.hxx>

#include <platform/os/internal/Forks.hxx>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <utility>

namespace Quillomark::Soa::Client {

namespace {

using Quillomark::Soa::Common::DateTime;

constexpr int NO_KIND = -1;

// What a getter returns when the property holds no value of its form: one
// value of each type the variant `Value` may hold. Made with the first
// property, so that a getter meets no allocation that could fail; never
// destroyed, as the application may read them while the process exits.
template <class Value>
struct Defaults;
template <class... T>
struct Defaults<std::variant<std::monostate, T...>> {
    std::tuple<T...> values;
};
template <class Value>
Quillomark::Platform::Os::ProcessObject<const Defaults<Value>> defaults;

// Layout of the texts block: four 32-bit words (value count, bytes used,
// bytes reserved, and 1 when the block is a heap block of its own rather
// than room behind the property), then each text as a 32-bit length and
// its bytes, the display text first.
constexpr std::uint32_t HEADER = 4 * sizeof(std::uint32_t);
constexpr std::uint32_t OWN = 12;

std::uint32_t word(const unsigned char* block, std::uint32_t at) {
    std::uint32_t w;
    std::memcpy(&w, block + at, sizeof w);
    return w;
}

void setWord(unsigned char* block, std::uint32_t at, std::uint32_t w) {
    std::memcpy(block + at, &w, sizeof w);
}

std::uint32_t entrySize(std::string_view text) {
    if (text.size() > std::numeric_limits<std::uint32_t>::max() - HEADER - sizeof(std::uint32_t)) {
        throw std::length_error("property text too long");
    }
    return static_cast<std::uint32_t>(sizeof(std::uint32_t) + text.size());
}

void putEntry(unsigned char* block, std::uint32_t at, std::string_view text) {
    setWord(block, at, static_cast<std::uint32_t>(text.size()));
    if (!text.empty()) std::memcpy(block + at + sizeof(std::uint32_t), text.data(), text.size());
}

}  // namespace

std::size_t PropertyImpl::Texts::room(std::string_view display, std::size_t valueCount,
                                      std::size_t valueBytes) {
    // Room for the values as announced, within what the block can address.
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(HEADER) + entrySize(display) +
                                    valueCount * sizeof(std::uint32_t) + valueBytes,
                                std::numeric_limits<std::uint32_t>::max()));
}

PropertyImpl::Texts::Texts(std::string_view display, std::size_t valueCount, std::size_t valueBytes,
                           unsigned char* area) {
    const std::size_t reserved = room(display, valueCount, valueBytes);
    block = area;
    if (block == nullptr) {
        block = static_cast<unsigned char*>(std::malloc(reserved));
        if (block == nullptr) throw std::bad_alloc();
    }
    setWord(block, 0, 0);
    setWord(block, 4, HEADER + entrySize(display));
    setWord(block, 8, static_cast<std::uint32_t>(reserved));
    setWord(block, OWN, area == nullptr ? 1 : 0);
    putEntry(block, HEADER, display);
}

PropertyImpl::Texts::~Texts() {
    if (word(block, OWN) != 0) std::free(block);
}

void PropertyImpl::Texts::append(std::string_view text) {
    std::uint32_t count = word(block, 0), used = word(block, 4), reserved = word(block, 8);
    std::uint32_t entry = entrySize(text);
    if (entry > std::numeric_limits<std::uint32_t>::max() - used) {
        throw std::length_error("property texts too long");
    }
    std::uint32_t needed = used + entry;
    if (needed > reserved) {
        // Most properties have one value: the first one gets an exact fit,
        // further ones grow the block geometrically.
        std::uint64_t grown =
            count == 0 ? needed : std::max<std::uint64_t>(needed, 2ull * reserved);
        grown = std::min<std::uint64_t>(grown, std::numeric_limits<std::uint32_t>::max());
        const bool own = word(block, OWN) != 0;
        auto* larger =
            static_cast<unsigned char*>(own ? std::realloc(block, grown) : std::malloc(grown));
        if (larger == nullptr) throw std::bad_alloc();
        if (!own) std::memcpy(larger, block, used);
        block = larger;
        setWord(block, 8, static_cast<std::uint32_t>(grown));
        setWord(block, OWN, 1);
    }
    putEntry(block, used, text);
    setWord(block, 0, count + 1);
    setWord(block, 4, needed);
}

std::uint32_t PropertyImpl::Texts::valueCount() const { return word(block, 0); }

std::string_view PropertyImpl::Texts::display() const {
    return std::string_view(reinterpret_cast<const char*>(block + HEADER + sizeof(std::uint32_t)),
                            word(block, HEADER));
}

std::uint32_t PropertyImpl::Texts::firstValue() const {
    return HEADER + sizeof(std::uint32_t) + word(block, HEADER);
}

std::string_view PropertyImpl::Texts::next(std::uint32_t& offset) const {
    std::uint32_t length = word(block, offset);
    std::string_view text(reinterpret_cast<const char*>(block + offset + sizeof(std::uint32_t)),
                          length);
    offset += sizeof(std::uint32_t) + length;
    return text;
}

PropertyImpl::PropertyImpl(const std::string& displayValue, PropertyDescription* description,
                           ModelManager* manager)
    : PropertyImpl(displayValue, description, manager, 0, 0) {}

PropertyImpl::PropertyImpl(const std::string& displayValue, PropertyDescription* description,
                           ModelManager* manager, std::size_t valueCount, std::size_t valueBytes)
    : PropertyImpl(displayValue, description, manager, valueCount, valueBytes, nullptr) {}

PropertyImpl::PropertyImpl(const std::string& displayValue, PropertyDescription* description,
                           ModelManager* manager, std::size_t valueCount, std::size_t valueBytes,
                           unsigned char* textArea)
    : kind(description != nullptr ? static_cast<int>(description->getValueType()) : NO_KIND),
      array(description != nullptr && description->isArray()),
      texts(displayValue, valueCount, valueBytes, textArea),
      description(description),
      manager(manager) {
    defaults<Value>.get();
}

PropertyImpl::~PropertyImpl() = default;

namespace {

// What stands before every property: the pool block it was made in, or null
// for a heap block of its own.
struct Prefix {
    unsigned char* pool;
};
static_assert(sizeof(Prefix) % alignof(PropertyImpl) == 0, "a property must stay aligned");

// A pool block starts with the count of what holds it (the pool while it
// lives, and each property made in it), then the properties.
constexpr std::size_t POOL_HEADER = alignof(std::max_align_t);

std::size_t unitSize(std::size_t textRoom) {
    const std::size_t size = sizeof(Prefix) + sizeof(PropertyImpl) + textRoom;
    return (size + alignof(PropertyImpl) - 1) / alignof(PropertyImpl) * alignof(PropertyImpl);
}

void releasePool(unsigned char* block) {
    std::size_t holders;
    std::memcpy(&holders, block, sizeof holders);
    if (--holders == 0) {
        ::operator delete(block);
    } else {
        std::memcpy(block, &holders, sizeof holders);
    }
}

}  // namespace

void* PropertyImpl::operator new(std::size_t size) {
    void* memory = ::operator new(sizeof(Prefix) + size);
    ::new (memory) Prefix{nullptr};
    return static_cast<unsigned char*>(memory) + sizeof(Prefix);
}

void PropertyImpl::operator delete(void* memory) {
    auto* prefix = reinterpret_cast<Prefix*>(static_cast<unsigned char*>(memory) - sizeof(Prefix));
    if (prefix->pool != nullptr) {
        releasePool(prefix->pool);
    } else {
        ::operator delete(prefix);
    }
}

PropertyImpl::Pool::~Pool() {
    if (block != nullptr) releasePool(block);
}

void PropertyImpl::Pool::plan(const std::string& displayValue, std::size_t valueCount,
                              std::size_t valueBytes) {
    planned += unitSize(Texts::room(displayValue, valueCount, valueBytes));
}

std::unique_ptr<PropertyImpl> PropertyImpl::Pool::make(const std::string& displayValue,
                                                       PropertyDescription* description,
                                                       ModelManager* manager,
                                                       std::size_t valueCount,
                                                       std::size_t valueBytes) {
    const std::size_t room = Texts::room(displayValue, valueCount, valueBytes);
    const std::size_t unit = unitSize(room);
    if (used + unit > planned) {
        void* memory = PropertyImpl::operator new(sizeof(PropertyImpl) + room);
        try {
            auto* area = static_cast<unsigned char*>(memory) + sizeof(PropertyImpl);
            return std::unique_ptr<PropertyImpl>(::new (memory) PropertyImpl(
                displayValue, description, manager, valueCount, valueBytes, area));
        } catch (...) {
            PropertyImpl::operator delete(memory);
            throw;
        }
    }
    if (block == nullptr) {
        block = static_cast<unsigned char*>(::operator new(POOL_HEADER + planned));
        const std::size_t holders = 1;
        std::memcpy(block, &holders, sizeof holders);
    }
    unsigned char* at = block + POOL_HEADER + used;
    ::new (at) Prefix{block};
    unsigned char* memory = at + sizeof(Prefix);
    auto property = std::unique_ptr<PropertyImpl>(::new (memory) PropertyImpl(
        displayValue, description, manager, valueCount, valueBytes, memory + sizeof(PropertyImpl)));
    used += unit;
    std::size_t holders;
    std::memcpy(&holders, block, sizeof holders);
    ++holders;
    std::memcpy(block, &holders, sizeof holders);
    return property;
}

void PropertyImpl::addValue(const std::string& text) {
    if (std::holds_alternative<std::monostate>(value)) texts.append(text);
}

std::string PropertyImpl::getDisplayValue() const { return std::string(texts.display()); }

PropertyDescription* PropertyImpl::getPropertyDescription() const { return description; }

// Runs at the start of every typed getter: checks the kind asked for,
// converts on first use (or looks a reference read in the form that holds
// the value up again when it went stale), and tells whether the form asked
// for is the one that holds the value. The other form returns its default
// once converted, whatever became of the referenced objects.
inline bool PropertyImpl::ready(int code) {
    if (kind == NO_KIND) return false;
    if ((code & 0x0F) != kind) {
        throw RuntimeException(RuntimeException::TYPE_MISMATCH,
                               "Type mismatch asking for property");
    }
    const bool holdsForm = array == ((code & PropertyDescription::VALUE_ARRAY) != 0);
    if (std::holds_alternative<std::monostate>(value) ||
        (holdsForm && kind == PropertyDescription::VALUE_MODEL_OBJECT && stale())) {
        convert();
    }
    return holdsForm;
}

template <class T>
inline const T& PropertyImpl::read(int code) {
    return ready(code) ? std::get<T>(value) : std::get<T>(defaults<Value>.get()->values);
}

bool PropertyImpl::stale() const {
    auto moved = [](const auto* held) {
        return held != nullptr && held->removals != nullptr && *held->removals != held->stamp;
    };
    return moved(std::get_if<Stamped<ModelObject*>>(&value)) ||
           moved(std::get_if<Stamped<std::vector<ModelObject*>>>(&value));
}

const std::uint64_t* PropertyImpl::removalCounter() const {
    auto* impl = dynamic_cast<ModelManagerImpl*>(manager);
    return impl != nullptr ? &impl->removalCount() : nullptr;
}

namespace {

// The raw texts go through the same conversions as the text forms of Property.
char toChar(std::string_view raw) { return Property::parseChar(std::string(raw)); }
DateTime toDate(std::string_view raw) { return Property::parseDate(std::string(raw)); }
double toDouble(std::string_view raw) { return Property::parseDouble(std::string(raw)); }
float toFloat(std::string_view raw) { return Property::parseFloat(std::string(raw)); }
int toInt(std::string_view raw) { return Property::parseInt(std::string(raw)); }
bool toBool(std::string_view raw) { return Property::parseBoolean(std::string(raw)); }
short toShort(std::string_view raw) { return Property::parseShort(std::string(raw)); }
std::string toString(std::string_view raw) { return std::string(raw); }

}  // namespace

template <class T>
void PropertyImpl::keep(T converted, const std::uint64_t* removals, std::uint64_t stamp) {
    if constexpr (std::is_same_v<T, ModelObject*> || std::is_same_v<T, std::vector<ModelObject*>>) {
        value.emplace<Stamped<T>>(Stamped<T>{std::move(converted), removals, stamp});
    } else {
        (void)removals;
        (void)stamp;
        value.emplace<T>(std::move(converted));
    }
}

// The one place that knows, for each value kind, the type that holds a
// value and how a raw text becomes one; the variant builds, copies and
// destroys whichever it holds. A failed conversion leaves nothing held.
//
// A converted reference whose objects may have left the store, or given way
// to others, is looked up again where it stands: a list the application
// was handed keeps its storage, and each entry becomes the object stored
// under its UID now. A UID that has left the store throws and leaves the
// value to be looked up again by the next read.
void PropertyImpl::convert() {
    const auto lookUpAgain = [this](auto& held) {
        const std::uint64_t stamp = *held.removals;
        std::uint32_t at = texts.firstValue();
        const auto current = [&] { return manager->getObject(std::string(texts.next(at))); };
        if constexpr (std::is_same_v<decltype(held.value), ModelObject*>) {
            held.value = current();
        } else {
            for (ModelObject*& entry : held.value) entry = current();
        }
        held.stamp = stamp;
    };
    if (auto* list = std::get_if<Stamped<std::vector<ModelObject*>>>(&value)) {
        return lookUpAgain(*list);
    }
    if (auto* one = std::get_if<Stamped<ModelObject*>>(&value)) return lookUpAgain(*one);
    if (!array && texts.valueCount() != 1) {
        throw RuntimeException(RuntimeException::GENERAL_ERROR,
                               "Single valued property must have single xml value");
    }
    // References are stamped with the count of removals before the lookups.
    const std::uint64_t* removals =
        kind == PropertyDescription::VALUE_MODEL_OBJECT ? removalCounter() : nullptr;
    const std::uint64_t stamp = removals != nullptr ? *removals : 0;
    auto hold = [&](auto cast) {
        std::uint32_t at = texts.firstValue();
        if (!array) return keep(cast(texts.next(at)), removals, stamp);
        std::vector<decltype(cast(std::string_view()))> list;
        const std::uint32_t count = texts.valueCount();
        list.reserve(count);
        for (std::uint32_t n = 0; n < count; ++n) list.push_back(cast(texts.next(at)));
        keep(std::move(list), removals, stamp);
    };
    switch (kind) {
        case PropertyDescription::VALUE_CHAR: return hold(toChar);
        case PropertyDescription::VALUE_DATE: return hold(toDate);
        case PropertyDescription::VALUE_DOUBLE: return hold(toDouble);
        case PropertyDescription::VALUE_FLOAT: return hold(toFloat);
        case PropertyDescription::VALUE_INT: return hold(toInt);
        case PropertyDescription::VALUE_BOOLEAN: return hold(toBool);
        case PropertyDescription::VALUE_SHORT: return hold(toShort);
        case PropertyDescription::VALUE_STRING: return hold(toString);
        case PropertyDescription::VALUE_MODEL_OBJECT:
            return hold(
                [this](std::string_view raw) { return manager->getObject(std::string(raw)); });
        default:
            throw RuntimeException(RuntimeException::UNKNOWN_ERROR,
                                   "Unknown property during conversion");
    }
}

char PropertyImpl::getCharValue() { return read<char>(PropertyDescription::VALUE_CHAR); }
const DateTime& PropertyImpl::getDateValue() {
    return read<DateTime>(PropertyDescription::VALUE_DATE);
}
double PropertyImpl::getDoubleValue() { return read<double>(PropertyDescription::VALUE_DOUBLE); }
float PropertyImpl::getFloatValue() { return read<float>(PropertyDescription::VALUE_FLOAT); }
int PropertyImpl::getIntValue() { return read<int>(PropertyDescription::VALUE_INT); }
bool PropertyImpl::getBooleanValue() { return read<bool>(PropertyDescription::VALUE_BOOLEAN); }
short PropertyImpl::getShortValue() { return read<short>(PropertyDescription::VALUE_SHORT); }
const std::string& PropertyImpl::getStringValue() {
    return read<std::string>(PropertyDescription::VALUE_STRING);
}
ModelObject* PropertyImpl::getModelObjectValue() {
    return read<Stamped<ModelObject*>>(PropertyDescription::VALUE_MODEL_OBJECT).value;
}

namespace {
constexpr int list(PropertyDescription::ValueType kind) {
    return PropertyDescription::VALUE_ARRAY + kind;
}
}  // namespace

const std::vector<char>& PropertyImpl::getCharArrayValue() {
    return read<std::vector<char>>(list(PropertyDescription::VALUE_CHAR));
}
const std::vector<DateTime>& PropertyImpl::getDateArrayValue() {
    return read<std::vector<DateTime>>(list(PropertyDescription::VALUE_DATE));
}
const std::vector<double>& PropertyImpl::getDoubleArrayValue() {
    return read<std::vector<double>>(list(PropertyDescription::VALUE_DOUBLE));
}
const std::vector<float>& PropertyImpl::getFloatArrayValue() {
    return read<std::vector<float>>(list(PropertyDescription::VALUE_FLOAT));
}
const std::vector<int>& PropertyImpl::getIntArrayValue() {
    return read<std::vector<int>>(list(PropertyDescription::VALUE_INT));
}
const std::vector<bool>& PropertyImpl::getBooleanArrayValue() {
    return read<std::vector<bool>>(list(PropertyDescription::VALUE_BOOLEAN));
}
const std::vector<short>& PropertyImpl::getShortArrayValue() {
    return read<std::vector<short>>(list(PropertyDescription::VALUE_SHORT));
}
const std::vector<std::string>& PropertyImpl::getStringArrayValue() {
    return read<std::vector<std::string>>(list(PropertyDescription::VALUE_STRING));
}
const std::vector<ModelObject*>& PropertyImpl::getModelObjectArrayValue() {
    return read<Stamped<std::vector<ModelObject*>>>(list(PropertyDescription::VALUE_MODEL_OBJECT))
        .value;
}

}  // namespace Quillomark::Soa::Client
