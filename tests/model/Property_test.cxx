#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/PropertyDescriptionImpl.hxx>
#include <soa/client/PropertyImpl.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/common/BadLexicalCast.hxx>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace Quillomark::Soa::Client;
using Quillomark::Soa::Common::DateTime;
using Quillomark::Soa::Common::Exceptions::BadLexicalCast;
using Kind = PropertyDescription::ValueType;

// Owns the descriptions and properties of one test.
class PropertyTest : public ::testing::Test {
protected:
    ModelManagerImpl manager{nullptr};
    std::vector<std::unique_ptr<PropertyDescriptionImpl>> descriptions;
    std::vector<std::unique_ptr<PropertyImpl>> properties;

    PropertyImpl& make(Kind kind, bool isArray, std::vector<std::string> raw,
                       const std::string& display = "shown") {
        descriptions.push_back(std::make_unique<PropertyDescriptionImpl>(kind, "p", isArray, true));
        return makeWith(descriptions.back().get(), std::move(raw), display);
    }
    PropertyImpl& makeWith(PropertyDescription* d, std::vector<std::string> raw,
                           const std::string& display = "shown") {
        properties.push_back(std::make_unique<PropertyImpl>(display, d, &manager));
        for (const std::string& r : raw) properties.back()->addValue(r);
        return *properties.back();
    }
};

template <class F>
RuntimeException thrownBy(F f) {
    try {
        f();
    } catch (const RuntimeException& e) {
        return e;
    }
    ADD_FAILURE() << "no RuntimeException";
    return RuntimeException();
}

void expectMismatch(RuntimeException e) {
    EXPECT_EQ(e.getType(), RuntimeException::TYPE_MISMATCH);
    EXPECT_EQ(e.getMessage(), "Type mismatch asking for property");
}

TEST_F(PropertyTest, KindIsCheckedOnEveryCallBeforeAndAfterConversion) {
    PropertyImpl& p = make(Kind::VALUE_INT, false, {"42"});
    expectMismatch(thrownBy([&] { p.getStringValue(); }));
    EXPECT_EQ(p.getIntValue(), 42);
    EXPECT_EQ(p.getIntValue(), 42);
    expectMismatch(thrownBy([&] { p.getStringValue(); }));
    expectMismatch(thrownBy([&] { p.getShortValue(); }));
    expectMismatch(thrownBy([&] { p.getStringArrayValue(); }));
    expectMismatch(thrownBy([&] { p.getModelObjectValue(); }));
    EXPECT_EQ(p.getDisplayValue(), "shown");
}

TEST_F(PropertyTest, ScalarKindsConvertFromTheirText) {
    EXPECT_EQ(make(Kind::VALUE_CHAR, false, {"65"}).getCharValue(), 'A');
    EXPECT_EQ(make(Kind::VALUE_CHAR, false, {"321"}).getCharValue(), 'A');
    EXPECT_EQ(make(Kind::VALUE_SHORT, false, {"70000"}).getShortValue(), 4464);
    EXPECT_EQ(make(Kind::VALUE_SHORT, false, {"-2"}).getShortValue(), -2);
    EXPECT_DOUBLE_EQ(make(Kind::VALUE_DOUBLE, false, {"2.5e3"}).getDoubleValue(), 2500.0);
    EXPECT_FLOAT_EQ(make(Kind::VALUE_FLOAT, false, {"0.25"}).getFloatValue(), 0.25f);
    EXPECT_TRUE(make(Kind::VALUE_BOOLEAN, false, {"true"}).getBooleanValue());
    EXPECT_FALSE(make(Kind::VALUE_BOOLEAN, false, {"0"}).getBooleanValue());
    EXPECT_EQ(make(Kind::VALUE_STRING, false, {"  two  words  "}).getStringValue(),
              "  two  words  ");
    const std::string longText(300, 'x');
    PropertyImpl& longOne = make(Kind::VALUE_STRING, false, {longText}, longText + "!");
    EXPECT_EQ(longOne.getStringValue(), longText);
    EXPECT_EQ(longOne.getDisplayValue(), longText + "!");
    EXPECT_EQ(make(Kind::VALUE_STRING, false, {""}, "").getStringValue(), "");

    const DateTime& d = make(Kind::VALUE_DATE, false, {"2008-03-12T14:20:05"}).getDateValue();
    EXPECT_EQ(d, DateTime(2008, 3, 12, 14, 20, 5));

    // The text forms agree with the getters.
    EXPECT_EQ(Property::toCharString('A'), "65");
    EXPECT_EQ(Property::parseChar("321"), 'A');
    EXPECT_EQ(Property::parseShort("70000"), 4464);
    EXPECT_EQ(Property::toShortString(-7), "-7");
    EXPECT_EQ(Property::parseInt(Property::toIntString(-123456)), -123456);
    EXPECT_EQ(Property::parseDate(Property::toDateString(d)), d);
    EXPECT_EQ(Property::parseBoolean(Property::toBooleanString(true)), true);
    EXPECT_DOUBLE_EQ(Property::parseDouble(Property::toDoubleString(0.1)), 0.1);
    EXPECT_FLOAT_EQ(Property::parseFloat(Property::toFloatString(1.5f)), 1.5f);
    ModelObject* o = manager.constructObject("QaBcAAAAAAAAAA");
    EXPECT_EQ(Property::toModelObjectString(*o), "QaBcAAAAAAAAAA");
}

TEST_F(PropertyTest, SingleValuedPropertyNeedsExactlyOneRawValueOnEveryCall) {
    for (std::vector<std::string> raw : {std::vector<std::string>{}, {"1", "2"}}) {
        PropertyImpl& p = make(Kind::VALUE_INT, false, raw);
        for (int call = 0; call < 2; ++call) {
            RuntimeException e = thrownBy([&] { p.getIntValue(); });
            EXPECT_EQ(e.getType(), RuntimeException::GENERAL_ERROR);
            EXPECT_EQ(e.getMessage(), "Single valued property must have single xml value");
        }
        // The list form of a single-valued property converts the scalar too.
        EXPECT_EQ(thrownBy([&] { p.getIntArrayValue(); }).getMessage(),
                  "Single valued property must have single xml value");
    }
}

TEST_F(PropertyTest, TheArrayFlagAloneChoosesTheFormThatIsFilled) {
    PropertyImpl& list = make(Kind::VALUE_INT, true, {"1", "-2", "3"});
    EXPECT_EQ(list.getIntValue(), 0);
    EXPECT_EQ(list.getIntArrayValue(), (std::vector<int>{1, -2, 3}));
    const std::vector<int>* held = &list.getIntArrayValue();
    EXPECT_EQ(&list.getIntArrayValue(), held);  // a reference to the kept list

    PropertyImpl& single = make(Kind::VALUE_INT, false, {"7"});
    EXPECT_TRUE(single.getIntArrayValue().empty());
    EXPECT_EQ(single.getIntValue(), 7);

    EXPECT_TRUE(make(Kind::VALUE_STRING, true, {}).getStringArrayValue().empty());
    EXPECT_EQ(make(Kind::VALUE_STRING, true, {}).getStringValue(), "");
    EXPECT_EQ(make(Kind::VALUE_DATE, true, {"2001-02-03T04:05:06"}).getDateValue(), DateTime());
    EXPECT_EQ(make(Kind::VALUE_BOOLEAN, true, {"true", "false", "1"}).getBooleanArrayValue(),
              (std::vector<bool>{true, false, true}));
    EXPECT_EQ(make(Kind::VALUE_CHAR, true, {"65", "66"}).getCharArrayValue(),
              (std::vector<char>{'A', 'B'}));
    EXPECT_EQ(make(Kind::VALUE_SHORT, true, {"70000"}).getShortArrayValue(),
              std::vector<short>{4464});
    EXPECT_EQ(make(Kind::VALUE_DOUBLE, true, {"1.5"}).getDoubleArrayValue(),
              std::vector<double>{1.5});
    EXPECT_EQ(make(Kind::VALUE_FLOAT, true, {"2"}).getFloatArrayValue(), std::vector<float>{2.0f});
    EXPECT_EQ(make(Kind::VALUE_DATE, true, {"2001-02-03T04:05:06"}).getDateArrayValue(),
              std::vector<DateTime>{DateTime(2001, 2, 3, 4, 5, 6)});

    // Many values, long and short, keep their order and content.
    std::vector<std::string> raw;
    for (int i = 0; i < 1000; ++i) raw.push_back(std::string(i % 40, 'a' + i % 26));
    EXPECT_EQ(make(Kind::VALUE_STRING, true, raw).getStringArrayValue(), raw);
}

TEST_F(PropertyTest, WithoutDescriptionEveryGetterReturnsItsDefaultAndNeverThrows) {
    PropertyImpl& p = makeWith(nullptr, {"x", "y"});
    EXPECT_EQ(p.getPropertyDescription(), nullptr);
    EXPECT_EQ(p.getCharValue(), 0);
    EXPECT_EQ(p.getDateValue(), DateTime());
    EXPECT_EQ(p.getDoubleValue(), 0.0);
    EXPECT_EQ(p.getFloatValue(), 0.0f);
    EXPECT_EQ(p.getIntValue(), 0);
    EXPECT_FALSE(p.getBooleanValue());
    EXPECT_EQ(p.getShortValue(), 0);
    EXPECT_EQ(p.getStringValue(), "");
    EXPECT_EQ(p.getModelObjectValue(), nullptr);
    EXPECT_TRUE(p.getCharArrayValue().empty());
    EXPECT_TRUE(p.getDateArrayValue().empty());
    EXPECT_TRUE(p.getDoubleArrayValue().empty());
    EXPECT_TRUE(p.getFloatArrayValue().empty());
    EXPECT_TRUE(p.getIntArrayValue().empty());
    EXPECT_TRUE(p.getBooleanArrayValue().empty());
    EXPECT_TRUE(p.getShortArrayValue().empty());
    EXPECT_TRUE(p.getStringArrayValue().empty());
    EXPECT_TRUE(p.getModelObjectArrayValue().empty());
    EXPECT_EQ(p.getDisplayValue(), "shown");
}

TEST_F(PropertyTest, FailedConversionLeavesThePropertyUnconvertedAndTheNextCallTriesAgain) {
    PropertyImpl& bad = make(Kind::VALUE_INT, false, {"4x"}, "4x shown");
    EXPECT_EQ(bad.getDisplayValue(), "4x shown");  // the display value converts nothing
    EXPECT_THROW(bad.getIntValue(), BadLexicalCast);
    EXPECT_THROW(bad.getIntValue(), BadLexicalCast);

    PropertyImpl& badList = make(Kind::VALUE_DOUBLE, true, {"1", "one"});
    EXPECT_THROW(badList.getDoubleArrayValue(), BadLexicalCast);
    EXPECT_THROW(badList.getDoubleArrayValue(), BadLexicalCast);
}

TEST_F(PropertyTest, ReferencesResolveOnFirstReadAndRetryUntilTheObjectIsLoaded) {
    const std::string a = "QaBcAAAAAAAAAA", b = "QaBdAAAAAAAAAA";
    ModelObject* objectA = manager.constructObject(a);
    EXPECT_EQ(make(Kind::VALUE_MODEL_OBJECT, false, {""}).getModelObjectValue(), nullptr);
    EXPECT_EQ(make(Kind::VALUE_MODEL_OBJECT, false, {a}).getModelObjectValue(), objectA);

    PropertyImpl& single = make(Kind::VALUE_MODEL_OBJECT, false, {b});
    PropertyImpl& list = make(Kind::VALUE_MODEL_OBJECT, true, {a, "", b});
    PropertyImpl& nullUid = make(Kind::VALUE_MODEL_OBJECT, false, {"AAAAAAAAAAAAAA"});
    for (int call = 0; call < 2; ++call) {
        RuntimeException e = thrownBy([&] { single.getModelObjectValue(); });
        EXPECT_EQ(e.getType(), RuntimeException::NOT_LOADED);
        EXPECT_EQ(e.getMessage(), "Asked for unloaded object");
        EXPECT_EQ(thrownBy([&] { list.getModelObjectArrayValue(); }).getType(),
                  RuntimeException::NOT_LOADED);
    }
    EXPECT_EQ(thrownBy([&] { nullUid.getModelObjectValue(); }).getType(),
              RuntimeException::NOT_LOADED);

    ModelObject* objectB = manager.constructObject(b);
    EXPECT_EQ(single.getModelObjectValue(), objectB);
    // A retried list starts again from nothing: one element per raw value.
    EXPECT_EQ(list.getModelObjectArrayValue(), (std::vector<ModelObject*>{objectA, nullptr, objectB}));
}

TEST_F(PropertyTest, ConvertedReferencesNeverHandOutAnObjectThatLeftTheStore) {
    const std::string a = "QaBcAAAAAAAAAA", b = "QaBdAAAAAAAAAA";
    manager.constructObject(a);
    ModelObject* objectB = manager.constructObject(b);
    PropertyImpl& single = make(Kind::VALUE_MODEL_OBJECT, false, {a});
    PropertyImpl& list = make(Kind::VALUE_MODEL_OBJECT, true, {b, a});
    ASSERT_NE(single.getModelObjectValue(), nullptr);
    ASSERT_EQ(list.getModelObjectArrayValue().size(), 2u);

    manager.removeObjectsFromStore(std::vector<std::string>{a});
    EXPECT_EQ(thrownBy([&] { single.getModelObjectValue(); }).getMessage(),
              "Asked for unloaded object");
    EXPECT_EQ(thrownBy([&] { list.getModelObjectArrayValue(); }).getMessage(),
              "Asked for unloaded object");

    ModelObject* again = manager.constructObject(a);
    EXPECT_EQ(single.getModelObjectValue(), again);
    EXPECT_EQ(list.getModelObjectArrayValue(), (std::vector<ModelObject*>{objectB, again}));

    manager.removeAllObjectsFromStore();
    EXPECT_THROW(single.getModelObjectValue(), RuntimeException);
}

TEST_F(PropertyTest, ValuesAddedAfterTheConversionAreNotSeen) {
    PropertyImpl& p = make(Kind::VALUE_STRING, true, {"a"});
    EXPECT_EQ(p.getStringArrayValue(), std::vector<std::string>{"a"});
    p.addValue("b");
    EXPECT_EQ(p.getStringArrayValue(), std::vector<std::string>{"a"});
}

}  // namespace
