#pragma once

#include <soa/common/Export.hxx>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Quillomark::Soa::Client {

class ModelManagerImpl;
class Property;
class Type;

// The data of one client object: its UID, its properties by name (owned)
// and its type (not owned).
//
// The properties are kept sorted by name in one array, and a property's name
// is, where it can be, the name held by its description, which all objects of
// a type share. For the few properties of most objects the record also
// holds one byte per property that digests its name: a lookup scans these
// bytes and compares only the names whose byte matches, touching one entry
// of the array where a binary search would wait for four or five. Objects
// with more properties are searched in the array. A property's description
// must outlive the record.
class QMSOA_API ModelObjectImpl {
public:
    // A property and the name to add it under.
    struct NamedProperty {
        const std::string* name;
        Property* property;
    };

    ModelObjectImpl(const std::string& uid, Type* type);
    ModelObjectImpl(const ModelObjectImpl&) = delete;
    ModelObjectImpl& operator=(const ModelObjectImpl&) = delete;
    ~ModelObjectImpl();

    const std::string& getUid() const { return uid; }
    std::vector<std::string> getPropertyNames() const;
    // Null when no property of that name is loaded.
    Property* getProperty(std::string_view name) const;
    // Takes ownership; a property of the same name is destroyed.
    void addProperty(const std::string& name, Property* property);
    // The same as addProperty of each in turn, so that of two properties of
    // one name the later stays, in time n log n in the properties added and
    // linear in those held. Each property is passed once. Takes ownership of
    // them all, also when it throws, and leaves `added` empty.
    void addProperties(std::vector<NamedProperty>& added);
    Type* getType() const { return type; }

    // Replaces the type when `type` is the current type or a descendant of it
    // (compared by name); returns whether it did.
    bool setType(Type* type);
    bool isTypeOf(Type* type) const;

private:
    // The manager refines a placeholder type with what its chains tell it.
    friend class ModelManagerImpl;

    // The name of a property: the string of its description, borrowed, or
    // a copy of its own.
    class Name {
    public:
        Name() = default;
        static Name borrow(const std::string& text);
        static Name copy(const std::string& text);
        Name(Name&& other) noexcept : bits(other.bits) { other.bits = 0; }
        Name& operator=(Name&& other) noexcept;
        Name(const Name&) = delete;
        Name& operator=(const Name&) = delete;
        ~Name();

        const std::string& get() const {
            return *reinterpret_cast<const std::string*>(bits & ~std::uintptr_t{1});
        }

    private:
        // The string's address, with the lowest bit set when the string is
        // this name's own: a string's alignment leaves that bit free, and
        // an entry stays two words.
        std::uintptr_t bits = 0;
    };

    struct Entry {
        Name name;
        Property* property;
    };

    std::vector<Entry>::const_iterator find(std::string_view name) const;
    // Rewrites the digests after `properties` changed.
    void redigest() noexcept;
    static Name nameFor(const std::string& name, Property* property);
    // Puts `property` and `name` in the entry, destroying the property it
    // held unless that is the same one.
    static void replace(Entry& entry, Name name, Property* property) noexcept;

    // What a lookup reads first: the properties and, while there are no
    // more than DIGESTED, the digests of their names in the same order.
    static constexpr std::size_t DIGESTED = 32;
    std::vector<Entry> properties;
    char digests[DIGESTED] = {};
    std::string uid;
    Type* type;
};

}  // namespace Quillomark::Soa::Client
