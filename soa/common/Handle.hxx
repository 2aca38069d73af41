#pragma once

#include <soa/common/BaseObject.hxx>
#include <soa/common/TryingToCreateNullHandle.hxx>

namespace Quillomark::Soa::Common::Xml {

// A reference to a shared, reference-counted implementation object. Copies
// share the object; the last handle to let go deletes it. Every handle that
// the library makes refers to an object.
template <typename T>
class Handle {
public:
    Handle(const Handle& other) : object(other.object) { object->addRef(); }

    virtual ~Handle() {
        if (object != nullptr) object->removeRef();
    }

    Handle& operator=(const Handle& other) {
        if (this == &other || object == other.object) return *this;
        // Take the new reference before dropping the old one: the old object
        // may hold the last reference to the new one.
        T* previous = object;
        object = other.object;
        init();
        if (previous != nullptr) previous->removeRef();
        return *this;
    }

protected:
    // Binds a handle to `bound` and takes one reference to it.
    explicit Handle(T* bound) : object(bound) {
        if (object == nullptr) throw TryingToCreateNullHandle();
        init();
    }

    T& getHandleObject() const { return *object; }

private:
    void init() { object->addRef(); }

    T* object;
};

}  // namespace Quillomark::Soa::Common::Xml
