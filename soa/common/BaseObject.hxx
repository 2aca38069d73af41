#pragma once

#include <soa/common/Export.hxx>

#include <cstdint>

namespace Quillomark::Soa::Common::Xml {

template <typename T>
class Handle;

// Base of the implementation object behind every wire value: a plain
// (not atomic) reference count that only the handles change. A wire value
// and its copies belong to one thread at a time.
class QMSOA_API BaseObject {
public:
    std::int32_t askRefCount() const { return refCount; }

    // A new object of the same class with the same fields and a count of
    // its own (0 until a handle binds it).
    virtual BaseObject* reallyClone() const = 0;

protected:
    BaseObject() = default;
    // A copy is a new object: no handle refers to it yet, so its count
    // starts at 0 instead of taking over the original's.
    BaseObject(const BaseObject&) : refCount(0) {}
    // The count belongs to the object, not to its fields.
    BaseObject& operator=(const BaseObject&) { return *this; }
    virtual ~BaseObject();

private:
    template <typename T>
    friend class Handle;

    void addRef() { ++refCount; }
    void removeRef() {
        if (--refCount == 0) delete this;
    }

    std::int32_t refCount = 0;
};

}  // namespace Quillomark::Soa::Common::Xml
