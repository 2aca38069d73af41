#pragma once

#include <soa/common/DateTime.hxx>
#include <soa/common/Export.hxx>

#include <string>
#include <vector>

namespace Quillomark::Soa::Client {

class ModelObject;
class ModelObjectImpl;
class PropertyDescription;

// The value of one property of a client object. The typed getters convert the
// raw texts the server sent into the kind the property's description names,
// on first use, and keep the result. Asking for another kind throws
// RuntimeException (TYPE_MISMATCH); the description's array flag decides
// whether the single value or the list is filled, the other form keeps its
// empty default. A property without a description converts nothing and
// returns defaults. A raw text that is not of its kind's form (a number
// that is none, a date out of the calendar) throws
// Quillomark::Soa::Common::Exceptions::BadLexicalCast, which derives from
// std::exception, unlike the client's other exceptions.
//
// How long what a property hands out lasts. The property itself lasts until
// its object leaves the store (a removal, a reply that deletes it,
// removeAllObjectsFromStore, the end of the manager) or a load sends that
// property of its object again, which replaces it. What a getter returns by
// reference (a text, a date, a list) is the property's own: it stays where
// it is, with the same contents, as long as the property, and a load that
// removes nothing (one that adds objects or properties, refines a
// placeholder, loads a schema, or fails part-way) ends none of it. A list of
// references stays too, with its storage and its iterators, until one of
// its objects leaves the store: a read after a change of the store looks its
// entries up again in place, each then the object stored under its UID (the
// one of the loaded type's class where a load refined a placeholder); while
// one of them is not stored, the read throws RuntimeException (NOT_LOADED).
// The defaults are shared by all properties, made with the first of them,
// and last as long as the process: a getter that returns one needs no
// memory.
class QMSOA_API Property {
public:
    using DateTime = Quillomark::Soa::Common::DateTime;

    virtual std::string getDisplayValue() const = 0;
    virtual PropertyDescription* getPropertyDescription() const = 0;

    virtual char getCharValue() = 0;
    virtual const DateTime& getDateValue() = 0;
    virtual double getDoubleValue() = 0;
    virtual float getFloatValue() = 0;
    virtual int getIntValue() = 0;
    virtual bool getBooleanValue() = 0;
    virtual short getShortValue() = 0;
    virtual const std::string& getStringValue() = 0;
    virtual ModelObject* getModelObjectValue() = 0;

    virtual const std::vector<char>& getCharArrayValue() = 0;
    virtual const std::vector<DateTime>& getDateArrayValue() = 0;
    virtual const std::vector<double>& getDoubleArrayValue() = 0;
    virtual const std::vector<float>& getFloatArrayValue() = 0;
    virtual const std::vector<int>& getIntArrayValue() = 0;
    virtual const std::vector<bool>& getBooleanArrayValue() = 0;
    virtual const std::vector<short>& getShortArrayValue() = 0;
    virtual const std::vector<std::string>& getStringArrayValue() = 0;
    virtual const std::vector<ModelObject*>& getModelObjectArrayValue() = 0;

    // Text forms of the value kinds, the same conversions the getters use.
    static bool parseBoolean(const std::string& text);
    static std::string toBooleanString(bool value);
    // The text is read as an int and narrowed to its low eight bits.
    static char parseChar(const std::string& text);
    // A character is written as its decimal code: 'A' gives "65".
    static std::string toCharString(char value);
    static DateTime parseDate(const std::string& text);
    // Throws BadLexicalCast for a date that the text form cannot carry.
    static std::string toDateString(const DateTime& value);
    static double parseDouble(const std::string& text);
    static std::string toDoubleString(double value);
    static float parseFloat(const std::string& text);
    static std::string toFloatString(float value);
    static int parseInt(const std::string& text);
    static std::string toIntString(int value);
    // The text is read as an int and narrowed to its low sixteen bits.
    static short parseShort(const std::string& text);
    static std::string toShortString(short value);
    // The object's UID.
    static std::string toModelObjectString(const ModelObject& object);

protected:
    friend class ModelObjectImpl;

    Property() = default;
    Property(const Property&) = default;
    Property& operator=(const Property&) = default;
    virtual ~Property() = 0;
};

}  // namespace Quillomark::Soa::Client
