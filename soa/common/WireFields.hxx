#pragma once

// The members of a wire type are generated from one table of its fields, so
// that the accessors, the XML reading and the XML writing always agree. A
// table is a macro taking a macro X and calling X(kind, Stem, Element) once
// per field, in declaration order:
//   STRING, OPT_STRING   std::string
//   INT, OPT_INT         int
//   BOOL, OPT_BOOL       bool
//   LIST                 std::vector<Element> of wire values
//   VALUE                one wire value of type Element
// An OPT_ field carries a set flag beside its value; its setter also sets
// the flag. Element is empty for the scalar kinds. The accessors are named
// from the stem: getStem / setStem, isStemSet / setIsStemSet, and for a list
// getStemArray / setStemArray / addStem. The XML form is described in
// soa/schemas/XML-FORM.md.

#include <soa/common/BaseObject.hxx>
#include <soa/common/Export.hxx>
#include <soa/common/Handle.hxx>

#include <string>
#include <vector>

namespace Quillomark::Soa::Common::Xml {
class XMLNode;
class XmlStream;
}  // namespace Quillomark::Soa::Common::Xml

// Fields of the implementation class.
#define QMSOA_WIRE_FIELD(kind, Stem, Element) QMSOA_WIRE_FIELD_##kind(Stem, Element)
#define QMSOA_WIRE_FIELD_STRING(Stem, Element) std::string m##Stem;
#define QMSOA_WIRE_FIELD_OPT_STRING(Stem, Element) \
    std::string m##Stem;                           \
    bool m##Stem##Set = false;
#define QMSOA_WIRE_FIELD_INT(Stem, Element) int m##Stem = 0;
#define QMSOA_WIRE_FIELD_OPT_INT(Stem, Element) \
    int m##Stem = 0;                            \
    bool m##Stem##Set = false;
#define QMSOA_WIRE_FIELD_BOOL(Stem, Element) bool m##Stem = false;
#define QMSOA_WIRE_FIELD_OPT_BOOL(Stem, Element) \
    bool m##Stem = false;                        \
    bool m##Stem##Set = false;
#define QMSOA_WIRE_FIELD_LIST(Stem, Element) std::vector<Element> m##Stem;
#define QMSOA_WIRE_FIELD_VALUE(Stem, Element) Element m##Stem;

// Accessors of the implementation class.
#define QMSOA_WIRE_IMPL_ACCESSORS(kind, Stem, Element) \
    QMSOA_WIRE_IMPL_ACCESSORS_##kind(Stem, Element)
#define QMSOA_WIRE_IMPL_FLAG(Stem)                                \
    bool is##Stem##Set() const { return m##Stem##Set; }           \
    void setIs##Stem##Set(bool value) { m##Stem##Set = value; }
#define QMSOA_WIRE_IMPL_ACCESSORS_STRING(Stem, Element) \
    std::string& get##Stem() { return m##Stem; }        \
    void set##Stem(const std::string& value) { m##Stem = value; }
#define QMSOA_WIRE_IMPL_ACCESSORS_OPT_STRING(Stem, Element) \
    std::string& get##Stem() { return m##Stem; }            \
    void set##Stem(const std::string& value) {              \
        m##Stem = value;                                    \
        m##Stem##Set = true;                                \
    }                                                       \
    QMSOA_WIRE_IMPL_FLAG(Stem)
#define QMSOA_WIRE_IMPL_ACCESSORS_SCALAR(Stem, Type)   \
    Type get##Stem() const { return m##Stem; }         \
    void set##Stem(Type value) { m##Stem = value; }
#define QMSOA_WIRE_IMPL_ACCESSORS_OPT_SCALAR(Stem, Type) \
    Type get##Stem() const { return m##Stem; }           \
    void set##Stem(Type value) {                         \
        m##Stem = value;                                 \
        m##Stem##Set = true;                             \
    }                                                    \
    QMSOA_WIRE_IMPL_FLAG(Stem)
#define QMSOA_WIRE_IMPL_ACCESSORS_INT(Stem, Element) QMSOA_WIRE_IMPL_ACCESSORS_SCALAR(Stem, int)
#define QMSOA_WIRE_IMPL_ACCESSORS_OPT_INT(Stem, Element) \
    QMSOA_WIRE_IMPL_ACCESSORS_OPT_SCALAR(Stem, int)
#define QMSOA_WIRE_IMPL_ACCESSORS_BOOL(Stem, Element) QMSOA_WIRE_IMPL_ACCESSORS_SCALAR(Stem, bool)
#define QMSOA_WIRE_IMPL_ACCESSORS_OPT_BOOL(Stem, Element) \
    QMSOA_WIRE_IMPL_ACCESSORS_OPT_SCALAR(Stem, bool)
#define QMSOA_WIRE_IMPL_ACCESSORS_LIST(Stem, Element)                                 \
    const std::vector<Element>& get##Stem##Array() const { return m##Stem; }         \
    void set##Stem##Array(const std::vector<Element>& values) { m##Stem = values; }  \
    void add##Stem(const Element& value) { m##Stem.push_back(value); }
#define QMSOA_WIRE_IMPL_ACCESSORS_VALUE(Stem, Element) \
    Element& get##Stem() { return m##Stem; }           \
    void set##Stem(const Element& value) { m##Stem = value; }

// Accessors of the value class: each passes on to the shared object.
#define QMSOA_WIRE_VALUE_ACCESSORS(kind, Stem, Element) \
    QMSOA_WIRE_VALUE_ACCESSORS_##kind(Stem, Element)
#define QMSOA_WIRE_VALUE_FLAG(Stem)                                                  \
    bool is##Stem##Set() const { return getHandleObject().is##Stem##Set(); }         \
    void setIs##Stem##Set(bool value) { getHandleObject().setIs##Stem##Set(value); }
#define QMSOA_WIRE_VALUE_ACCESSORS_STRING(Stem, Element)                          \
    std::string& get##Stem() { return getHandleObject().get##Stem(); }             \
    const std::string& get##Stem() const { return getHandleObject().get##Stem(); } \
    void set##Stem(const std::string& value) { getHandleObject().set##Stem(value); }
#define QMSOA_WIRE_VALUE_ACCESSORS_OPT_STRING(Stem, Element) \
    QMSOA_WIRE_VALUE_ACCESSORS_STRING(Stem, Element)         \
    QMSOA_WIRE_VALUE_FLAG(Stem)
#define QMSOA_WIRE_VALUE_ACCESSORS_SCALAR(Stem, Type)                  \
    Type get##Stem() const { return getHandleObject().get##Stem(); }   \
    void set##Stem(Type value) { getHandleObject().set##Stem(value); }
#define QMSOA_WIRE_VALUE_ACCESSORS_INT(Stem, Element) QMSOA_WIRE_VALUE_ACCESSORS_SCALAR(Stem, int)
#define QMSOA_WIRE_VALUE_ACCESSORS_OPT_INT(Stem, Element) \
    QMSOA_WIRE_VALUE_ACCESSORS_SCALAR(Stem, int)          \
    QMSOA_WIRE_VALUE_FLAG(Stem)
#define QMSOA_WIRE_VALUE_ACCESSORS_BOOL(Stem, Element) QMSOA_WIRE_VALUE_ACCESSORS_SCALAR(Stem, bool)
#define QMSOA_WIRE_VALUE_ACCESSORS_OPT_BOOL(Stem, Element) \
    QMSOA_WIRE_VALUE_ACCESSORS_SCALAR(Stem, bool)          \
    QMSOA_WIRE_VALUE_FLAG(Stem)
#define QMSOA_WIRE_VALUE_ACCESSORS_LIST(Stem, Element)                                     \
    const std::vector<Element>& get##Stem##Array() const {                                 \
        return getHandleObject().get##Stem##Array();                                       \
    }                                                                                      \
    void set##Stem##Array(const std::vector<Element>& values) {                            \
        getHandleObject().set##Stem##Array(values);                                        \
    }                                                                                      \
    void add##Stem(const Element& value) { getHandleObject().add##Stem(value); }
#define QMSOA_WIRE_VALUE_ACCESSORS_VALUE(Stem, Element)                      \
    Element& get##Stem() { return getHandleObject().get##Stem(); }           \
    const Element& get##Stem() const { return getHandleObject().get##Stem(); } \
    void set##Stem(const Element& value) { getHandleObject().set##Stem(value); }

// The body of an implementation class `Impl` with the fields of `FIELDS`.
#define QMSOA_WIRE_IMPL_BODY(Impl, FIELDS)                                       \
public:                                                                          \
    Impl();                                                                      \
    Impl(const Impl& other);                                                     \
    Impl& operator=(const Impl&) = delete;                                       \
    ~Impl() override;                                                            \
    Impl* reallyClone() const override;                                          \
    /* Fills every field from `node`; a field that the node lacks gets its    \
       default (and an optional one its flag cleared). */                        \
    void parse(const Quillomark::Soa::Common::Xml::XMLNode& node);               \
    /* Writes the value as one element named `elementName`. */                  \
    void outputXML(Quillomark::Soa::Common::Xml::XmlStream& out,                 \
                   const std::string& elementName) const;                        \
    FIELDS(QMSOA_WIRE_IMPL_ACCESSORS)                                            \
                                                                                 \
private:                                                                         \
    FIELDS(QMSOA_WIRE_FIELD)

// The body of the value class `Value` over `Impl`. A default-made value
// holds a new object of its own; `Value(Impl*)` binds a value to an existing
// object (null throws TryingToCreateNullHandle).
#define QMSOA_WIRE_VALUE_BODY(Value, Impl, FIELDS)                                         \
public:                                                                                    \
    Value();                                                                               \
    explicit Value(Impl* object);                                                          \
    Value(const Value& other);                                                             \
    Value& operator=(const Value& other);                                                  \
    ~Value() override;                                                                     \
    void parse(const Quillomark::Soa::Common::Xml::XMLNode& node) {                        \
        getHandleObject().parse(node);                                                     \
    }                                                                                      \
    void outputXML(Quillomark::Soa::Common::Xml::XmlStream& out,                           \
                   const std::string& elementName) const {                                 \
        getHandleObject().outputXML(out, elementName);                                     \
    }                                                                                      \
    FIELDS(QMSOA_WIRE_VALUE_ACCESSORS)

// Copying, assignment and destruction of a value class and its
// implementation class: a copied implementation object copies its fields in
// table order (lists element by element, each element shared) and starts
// with a count of its own.
#define QMSOA_WIRE_DEFINE_COPYING(Value, Impl)          \
    Value::Value(const Value& other) = default;         \
    Value& Value::operator=(const Value& other) = default; \
    Value::~Value() = default;                          \
    Impl::Impl(const Impl& other) = default;            \
    Impl::~Impl() = default;
