#pragma once

#include <soa/client/Property.hxx>
#include <soa/common/Export.hxx>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace Quillomark::Soa::Client {

class ModelManager;

// A property as loaded from a reply: its display text and raw value texts,
// converted on the first typed read into the form its description names.
//
// Most loaded properties are never read, so an unconverted property keeps
// only its texts, packed into one allocation, and the converted value lives
// in a variant sized for the largest form. A converted object reference is
// looked up again, in place, when its manager has removed objects or
// refined them into another class since, so it never hands out an object
// that left the store, and a list handed out keeps its storage.
class QMSOA_API PropertyImpl : public Property {
public:
    PropertyImpl(const std::string& displayValue, PropertyDescription* description,
                 ModelManager* manager);
    // The same, with room made for `valueCount` raw values of `valueBytes`
    // bytes in all, as a loader knows them before it adds them.
    PropertyImpl(const std::string& displayValue, PropertyDescription* description,
                 ModelManager* manager, std::size_t valueCount, std::size_t valueBytes);
    // Heap room for the properties of one load, taken in one block that is
    // freed with the last of them: a property that stays while the others
    // of its load are replaced keeps the whole block.
    class QMSOA_API Pool {
    public:
        Pool() = default;
        Pool(const Pool&) = delete;
        Pool& operator=(const Pool&) = delete;
        ~Pool();

        // Counts in room for a property of these texts; every property is
        // planned before the first is made.
        void plan(const std::string& displayValue, std::size_t valueCount, std::size_t valueBytes);
        // A property with room for its texts behind it, in the room planned,
        // or in a block of its own once the plan is used up.
        std::unique_ptr<PropertyImpl> make(const std::string& displayValue,
                                           PropertyDescription* description, ModelManager* manager,
                                           std::size_t valueCount, std::size_t valueBytes);

    private:
        unsigned char* block = nullptr;
        std::size_t planned = 0;
        std::size_t used = 0;
    };

    // Every property is told apart by what stands before it: made alone or
    // made in a pool, it frees what it was made in.
    static void* operator new(std::size_t size);
    static void operator delete(void* memory);
    PropertyImpl(const PropertyImpl&) = delete;
    PropertyImpl& operator=(const PropertyImpl&) = delete;
    ~PropertyImpl() override;

    // Appends one raw value text. Values added after the first conversion
    // are not seen by the getters.
    void addValue(const std::string& value);

    std::string getDisplayValue() const override;
    PropertyDescription* getPropertyDescription() const override;

    char getCharValue() override;
    const DateTime& getDateValue() override;
    double getDoubleValue() override;
    float getFloatValue() override;
    int getIntValue() override;
    bool getBooleanValue() override;
    short getShortValue() override;
    const std::string& getStringValue() override;
    ModelObject* getModelObjectValue() override;

    const std::vector<char>& getCharArrayValue() override;
    const std::vector<DateTime>& getDateArrayValue() override;
    const std::vector<double>& getDoubleArrayValue() override;
    const std::vector<float>& getFloatArrayValue() override;
    const std::vector<int>& getIntArrayValue() override;
    const std::vector<bool>& getBooleanArrayValue() override;
    const std::vector<short>& getShortArrayValue() override;
    const std::vector<std::string>& getStringArrayValue() override;
    const std::vector<ModelObject*>& getModelObjectArrayValue() override;

private:
    // The display text followed by the raw value texts, each stored as a
    // 32-bit length and its bytes, in one block that starts with the count
    // of raw values, the bytes used and reserved, and whether the block is
    // a heap block of its own.
    class Texts {
    public:
        // Room is made for `valueCount` values of `valueBytes` bytes in all:
        // in `area`, which holds room() bytes and outlives the texts, or in
        // a heap block of their own when `area` is null.
        Texts(std::string_view display, std::size_t valueCount, std::size_t valueBytes,
              unsigned char* area);
        static std::size_t room(std::string_view display, std::size_t valueCount,
                                std::size_t valueBytes);
        Texts(const Texts&) = delete;
        Texts& operator=(const Texts&) = delete;
        ~Texts();

        void append(std::string_view text);
        std::uint32_t valueCount() const;
        std::string_view display() const;
        // The raw value at `offset` (start with firstValue()); moves `offset`
        // past it.
        std::string_view next(std::uint32_t& offset) const;
        std::uint32_t firstValue() const;

    private:
        unsigned char* block;
    };

    // A converted reference or list of references, with the manager's count
    // of removals when its objects were looked up.
    template <class T>
    struct Stamped {
        T value;
        const std::uint64_t* removals;
        std::uint64_t stamp;
    };

    // Nothing before the first conversion and after one that failed; else
    // the value in the form (scalar or list) and of the kind that the
    // description names.
    using Value = std::variant<std::monostate, char, DateTime, double, float, int, bool, short,
                               std::string, Stamped<ModelObject*>, std::vector<char>,
                               std::vector<DateTime>, std::vector<double>, std::vector<float>,
                               std::vector<int>, std::vector<bool>, std::vector<short>,
                               std::vector<std::string>, Stamped<std::vector<ModelObject*>>>;

    PropertyImpl(const std::string& displayValue, PropertyDescription* description,
                 ModelManager* manager, std::size_t valueCount, std::size_t valueBytes,
                 unsigned char* textArea);

    bool ready(int code);
    // The value held as a T after ready(code), or T's default when the
    // property holds the other form or has no description.
    template <class T>
    const T& read(int code);
    bool stale() const;
    void convert();
    template <class T>
    void keep(T converted, const std::uint64_t* removals, std::uint64_t stamp);
    const std::uint64_t* removalCounter() const;

    // What a read of a converted value touches comes first, beside the
    // object's vtable pointer: mostly one cache line.
    Value value;
    int kind;  // the description's value kind, or -1 without a description
    bool array = false;
    Texts texts;
    PropertyDescription* description;
    ModelManager* manager;
};

}  // namespace Quillomark::Soa::Client
