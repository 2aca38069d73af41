#pragma once

#include <cstddef>

namespace Quillomark::Fcc {

// Owns one array made with array new, value-initialised, and deletes it on
// every path out of the scope.
template <typename T>
class ScopedArray {
public:
    explicit ScopedArray(std::size_t size) : array(new T[size]()) {}
    virtual ~ScopedArray() {
        delete[] array;
        array = nullptr;
    }
    ScopedArray(const ScopedArray&) = delete;
    ScopedArray& operator=(const ScopedArray&) = delete;

    T* get() const { return array; }
    T& operator[](std::size_t index) const { return array[index]; }

private:
    T* array;
};

}  // namespace Quillomark::Fcc
