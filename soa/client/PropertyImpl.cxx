#include <soa/client/PropertyImpl.hxx>

#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/PropertyDescription.hxx>
#include <soa/client/RuntimeException.hxx>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <algorithm>

namespace Quillomark::Soa::Client {

namespace {

using Quillomark::Soa::Common::DateTime;

constexpr int NO_KIND = -1;

template <class T>
const std::vector<T>& emptyList() {
    static const std::vector<T> empty;
    return empty;
}

const std::string& emptyString() {
    static const std::string empty;
    return empty;
}

const DateTime& defaultDate() {
    static const DateTime date;
    return date;
}

// Layout of the texts block: three 32-bit words (value count, bytes used,
// bytes reserved), then each text as a 32-bit length and its bytes, the
// display text first.
constexpr std::uint32_t HEADER = 3 * sizeof(std::uint32_t);

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

PropertyImpl::Texts::Texts(std::string_view display, std::size_t valueCount,
                           std::size_t valueBytes) {
    const std::uint32_t size = HEADER + entrySize(display);
    // Room for the values as announced, within what the block can address.
    const std::uint64_t room = std::min<std::uint64_t>(
        static_cast<std::uint64_t>(size) + valueCount * sizeof(std::uint32_t) + valueBytes,
        std::numeric_limits<std::uint32_t>::max());
    block = static_cast<unsigned char*>(std::malloc(room));
    if (block == nullptr) throw std::bad_alloc();
    setWord(block, 0, 0);
    setWord(block, 4, size);
    setWord(block, 8, static_cast<std::uint32_t>(room));
    putEntry(block, HEADER, display);
}

PropertyImpl::Texts::~Texts() { std::free(block); }

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
        std::uint64_t grown = count == 0 ? needed : std::max<std::uint64_t>(needed, 2ull * reserved);
        grown = std::min<std::uint64_t>(grown, std::numeric_limits<std::uint32_t>::max());
        auto* larger = static_cast<unsigned char*>(std::realloc(block, grown));
        if (larger == nullptr) throw std::bad_alloc();
        block = larger;
        setWord(block, 8, static_cast<std::uint32_t>(grown));
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
    : texts(displayValue, valueCount, valueBytes),
      description(description),
      manager(manager),
      kind(description != nullptr ? static_cast<int>(description->getValueType()) : NO_KIND),
      array(description != nullptr && description->isArray()) {}

PropertyImpl::~PropertyImpl() { destroyValue(); }

void PropertyImpl::addValue(const std::string& text) {
    if (!converted) texts.append(text);
}

std::string PropertyImpl::getDisplayValue() const { return std::string(texts.display()); }

PropertyDescription* PropertyImpl::getPropertyDescription() const { return description; }

// Runs at the start of every typed getter: checks the kind asked for,
// converts on first use (or again when a reference read in the form that
// holds the value went stale), and tells whether the form asked for is the
// one that holds the value. The other form returns its default once
// converted, whatever became of the referenced objects.
inline bool PropertyImpl::ready(int code) {
    if (kind == NO_KIND) return false;
    if ((code & 0x0F) != kind) {
        throw RuntimeException(RuntimeException::TYPE_MISMATCH, "Type mismatch asking for property");
    }
    const bool holdsForm = array == ((code & PropertyDescription::VALUE_ARRAY) != 0);
    if (!converted ||
        (holdsForm && kind == PropertyDescription::VALUE_MODEL_OBJECT && stale())) {
        convert();
    }
    return holdsForm;
}

bool PropertyImpl::stale() const {
    if (array) {
        return value.references.removals != nullptr &&
               *value.references.removals != value.references.stamp;
    }
    return value.reference.removals != nullptr && *value.reference.removals != value.reference.stamp;
}

const std::uint64_t* PropertyImpl::removalCounter() const {
    auto* impl = dynamic_cast<ModelManagerImpl*>(manager);
    return impl != nullptr ? &impl->removalCount() : nullptr;
}

void PropertyImpl::destroyValue() {
    if (!converted) return;
    converted = false;
    using std::string;
    using std::vector;
    if (!array) {
        if (kind == PropertyDescription::VALUE_DATE) value.date.~DateTime();
        if (kind == PropertyDescription::VALUE_STRING) value.string.~string();
        return;
    }
    switch (kind) {
        case PropertyDescription::VALUE_CHAR: value.chars.~vector(); break;
        case PropertyDescription::VALUE_DATE: value.dates.~vector(); break;
        case PropertyDescription::VALUE_DOUBLE: value.doubles.~vector(); break;
        case PropertyDescription::VALUE_FLOAT: value.floats.~vector(); break;
        case PropertyDescription::VALUE_INT: value.ints.~vector(); break;
        case PropertyDescription::VALUE_BOOLEAN: value.bools.~vector(); break;
        case PropertyDescription::VALUE_SHORT: value.shorts.~vector(); break;
        case PropertyDescription::VALUE_STRING: value.strings.~vector(); break;
        case PropertyDescription::VALUE_MODEL_OBJECT: value.references.~References(); break;
        default: break;
    }
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

// Converts every raw value with `cast` into a new list at `list`; the list
// is destroyed again when a value fails, so nothing of a failed attempt
// stays.
template <class T, class Texts, class Cast>
void fillList(std::vector<T>* list, const Texts& texts, Cast cast) {
    new (list) std::vector<T>();
    try {
        std::uint32_t count = texts.valueCount();
        list->reserve(count);
        std::uint32_t at = texts.firstValue();
        for (std::uint32_t n = 0; n < count; ++n) list->push_back(cast(texts.next(at)));
    } catch (...) {
        list->~vector();
        throw;
    }
}

}  // namespace

void PropertyImpl::convert() {
    destroyValue();
    if (array) {
        convertAll();
    } else {
        if (texts.valueCount() != 1) {
            throw RuntimeException(RuntimeException::GENERAL_ERROR,
                                   "Single valued property must have single xml value");
        }
        std::uint32_t at = texts.firstValue();
        convertOne(texts.next(at));
    }
    converted = true;
}

void PropertyImpl::convertOne(std::string_view raw) {
    switch (kind) {
        case PropertyDescription::VALUE_CHAR: value.c = toChar(raw); break;
        case PropertyDescription::VALUE_DATE: new (&value.date) DateTime(toDate(raw)); break;
        case PropertyDescription::VALUE_DOUBLE: value.d = toDouble(raw); break;
        case PropertyDescription::VALUE_FLOAT: value.f = toFloat(raw); break;
        case PropertyDescription::VALUE_INT: value.i = toInt(raw); break;
        case PropertyDescription::VALUE_BOOLEAN: value.b = toBool(raw); break;
        case PropertyDescription::VALUE_SHORT: value.s = toShort(raw); break;
        case PropertyDescription::VALUE_STRING: new (&value.string) std::string(raw); break;
        case PropertyDescription::VALUE_MODEL_OBJECT: {
            const std::uint64_t* removals = removalCounter();
            value.reference.stamp = removals != nullptr ? *removals : 0;
            value.reference.object = manager->getObject(std::string(raw));
            value.reference.removals = removals;
            break;
        }
        default:
            throw RuntimeException(RuntimeException::UNKNOWN_ERROR,
                                   "Unknown property during conversion");
    }
}

void PropertyImpl::convertAll() {
    switch (kind) {
        case PropertyDescription::VALUE_CHAR: fillList(&value.chars, texts, toChar); break;
        case PropertyDescription::VALUE_DATE: fillList(&value.dates, texts, toDate); break;
        case PropertyDescription::VALUE_DOUBLE: fillList(&value.doubles, texts, toDouble); break;
        case PropertyDescription::VALUE_FLOAT: fillList(&value.floats, texts, toFloat); break;
        case PropertyDescription::VALUE_INT: fillList(&value.ints, texts, toInt); break;
        case PropertyDescription::VALUE_BOOLEAN: fillList(&value.bools, texts, toBool); break;
        case PropertyDescription::VALUE_SHORT: fillList(&value.shorts, texts, toShort); break;
        case PropertyDescription::VALUE_STRING: fillList(&value.strings, texts, toString); break;
        case PropertyDescription::VALUE_MODEL_OBJECT: {
            const std::uint64_t* removals = removalCounter();
            std::uint64_t stamp = removals != nullptr ? *removals : 0;
            ModelManager* resolver = manager;
            fillList(&value.references.objects, texts,
                     [resolver](std::string_view r) { return resolver->getObject(std::string(r)); });
            value.references.removals = removals;
            value.references.stamp = stamp;
            break;
        }
        default:
            throw RuntimeException(RuntimeException::UNKNOWN_ERROR,
                                   "Unknown property during conversion");
    }
}

char PropertyImpl::getCharValue() { return ready(PropertyDescription::VALUE_CHAR) ? value.c : 0; }
const DateTime& PropertyImpl::getDateValue() {
    return ready(PropertyDescription::VALUE_DATE) ? value.date : defaultDate();
}
double PropertyImpl::getDoubleValue() {
    return ready(PropertyDescription::VALUE_DOUBLE) ? value.d : 0.0;
}
float PropertyImpl::getFloatValue() {
    return ready(PropertyDescription::VALUE_FLOAT) ? value.f : 0.0f;
}
int PropertyImpl::getIntValue() { return ready(PropertyDescription::VALUE_INT) ? value.i : 0; }
bool PropertyImpl::getBooleanValue() {
    return ready(PropertyDescription::VALUE_BOOLEAN) ? value.b : false;
}
short PropertyImpl::getShortValue() { return ready(PropertyDescription::VALUE_SHORT) ? value.s : 0; }
const std::string& PropertyImpl::getStringValue() {
    return ready(PropertyDescription::VALUE_STRING) ? value.string : emptyString();
}
ModelObject* PropertyImpl::getModelObjectValue() {
    return ready(PropertyDescription::VALUE_MODEL_OBJECT) ? value.reference.object : nullptr;
}

namespace {
constexpr int list(PropertyDescription::ValueType kind) {
    return PropertyDescription::VALUE_ARRAY + kind;
}
}  // namespace

const std::vector<char>& PropertyImpl::getCharArrayValue() {
    return ready(list(PropertyDescription::VALUE_CHAR)) ? value.chars : emptyList<char>();
}
const std::vector<DateTime>& PropertyImpl::getDateArrayValue() {
    return ready(list(PropertyDescription::VALUE_DATE)) ? value.dates : emptyList<DateTime>();
}
const std::vector<double>& PropertyImpl::getDoubleArrayValue() {
    return ready(list(PropertyDescription::VALUE_DOUBLE)) ? value.doubles : emptyList<double>();
}
const std::vector<float>& PropertyImpl::getFloatArrayValue() {
    return ready(list(PropertyDescription::VALUE_FLOAT)) ? value.floats : emptyList<float>();
}
const std::vector<int>& PropertyImpl::getIntArrayValue() {
    return ready(list(PropertyDescription::VALUE_INT)) ? value.ints : emptyList<int>();
}
const std::vector<bool>& PropertyImpl::getBooleanArrayValue() {
    return ready(list(PropertyDescription::VALUE_BOOLEAN)) ? value.bools : emptyList<bool>();
}
const std::vector<short>& PropertyImpl::getShortArrayValue() {
    return ready(list(PropertyDescription::VALUE_SHORT)) ? value.shorts : emptyList<short>();
}
const std::vector<std::string>& PropertyImpl::getStringArrayValue() {
    return ready(list(PropertyDescription::VALUE_STRING)) ? value.strings
                                                          : emptyList<std::string>();
}
const std::vector<ModelObject*>& PropertyImpl::getModelObjectArrayValue() {
    return ready(list(PropertyDescription::VALUE_MODEL_OBJECT)) ? value.references.objects
                                                                : emptyList<ModelObject*>();
}

}  // namespace Quillomark::Soa::Client
