#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/PropertyDescriptionImpl.hxx>
#include <soa/client/PropertyImpl.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/common/BadLexicalCast.hxx>

#include "tests/model/LoadingSupport.hxx"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace Quillomark::Soa::Client;
using Quillomark::Soa::Common::DateTime;
using Quillomark::Soa::Common::Exceptions::BadLexicalCast;
using Quillomark::Testing::Model::thrownBy;
using Kind = PropertyDescription::ValueType;
using Strings = std::vector<std::string>;

const std::string A = "QaBcAAAAAAAAAA", B = "QaBdAAAAAAAAAA";

// Owns the descriptions and properties of one test.
class PropertyTest : public ::testing::Test {
protected:
    ModelManagerImpl manager{nullptr};
    std::vector<std::unique_ptr<PropertyDescriptionImpl>> descriptions;
    std::vector<std::unique_ptr<PropertyImpl>> properties;

    PropertyImpl& make(Kind kind, bool isArray, Strings raw, const std::string& display = "") {
        descriptions.push_back(std::make_unique<PropertyDescriptionImpl>(kind, "p", isArray, true));
        return makeWith(descriptions.back().get(), std::move(raw), display);
    }
    PropertyImpl& makeWith(PropertyDescription* d, Strings raw, const std::string& display = "") {
        properties.push_back(std::make_unique<PropertyImpl>(display, d, &manager));
        for (const std::string& r : raw) properties.back()->addValue(r);
        return *properties.back();
    }
};

// A loader announces the values it is about to add; texts read back whole
// whether it announced too few, exactly enough or too many.
TEST_F(PropertyTest, AnnouncedRoomForValuesHoldsAnyNumberOfTexts) {
    descriptions.push_back(
        std::make_unique<PropertyDescriptionImpl>(Kind::VALUE_STRING, "p", true, true));
    const Strings raw{"first", "", std::string(300, 'x'), "\xC3\xA9"};
    for (std::size_t announced : {0u, 1u, 4u, 9u}) {
        PropertyImpl property("shown", descriptions.back().get(), &manager, announced,
                              announced * 8);
        for (const std::string& r : raw) property.addValue(r);
        EXPECT_EQ(property.getStringArrayValue(), raw);
        EXPECT_EQ(property.getDisplayValue(), "shown");
    }
}

// Properties made together share a block, which goes with the last of
// them, whichever order they and their pool go in (the sanitized build sees
// a block freed too early or never); texts that outgrow their room, and a
// property past the plan, live apart.
TEST_F(PropertyTest, PropertiesOfOnePoolGoInAnyOrder) {
    descriptions.push_back(
        std::make_unique<PropertyDescriptionImpl>(Kind::VALUE_STRING, "p", true, true));
    PropertyDescription* strings = descriptions.back().get();
    const Strings raw{"one", std::string(100, 'x')};
    for (int order = 0; order < 3; ++order) {
        std::vector<std::unique_ptr<PropertyImpl>> made;
        {
            PropertyImpl::Pool pool;
            for (int i = 0; i < 3; ++i) pool.plan("shown", raw.size(), 103);
            for (int i = 0; i < 4; ++i) {
                made.push_back(pool.make("shown", strings, &manager, raw.size(), 103));
                for (const std::string& r : raw) made.back()->addValue(r);
            }
            made[1]->addValue(std::string(500, 'y'));  // past its room
            if (order == 0) made.clear();
        }
        if (order == 2) std::swap(made.front(), made.back());
        while (!made.empty()) {
            EXPECT_EQ(made.back()->getDisplayValue(), "shown");
            EXPECT_EQ(made.back()->getStringArrayValue().at(1), raw[1]);
            made.pop_back();
        }
    }
}

TEST_F(PropertyTest, KindIsCheckedOnEveryCallBeforeAndAfterConversion) {
    PropertyImpl& p = make(Kind::VALUE_INT, false, {"42"}, "forty-two");
    for (int pass = 0; pass < 2; ++pass) {
        RuntimeException e = thrownBy([&] { p.getStringValue(); });
        EXPECT_EQ(e.getType(), RuntimeException::TYPE_MISMATCH);
        EXPECT_EQ(e.getMessage(), "Type mismatch asking for property");
        EXPECT_THROW(p.getShortArrayValue(), RuntimeException);
        EXPECT_EQ(p.getIntValue(), 42);
    }
    EXPECT_EQ(p.getDisplayValue(), "forty-two");
}

TEST_F(PropertyTest, EachKindConvertsLikeItsTextForm) {
    EXPECT_EQ(make(Kind::VALUE_CHAR, false, {"321"}).getCharValue(), 'A');  // low eight bits
    EXPECT_EQ(make(Kind::VALUE_SHORT, false, {"70000"}).getShortValue(), 4464);
    EXPECT_DOUBLE_EQ(make(Kind::VALUE_DOUBLE, false, {"2.5e3"}).getDoubleValue(), 2500.0);
    EXPECT_FLOAT_EQ(make(Kind::VALUE_FLOAT, false, {"0.25"}).getFloatValue(), 0.25f);
    EXPECT_FALSE(make(Kind::VALUE_BOOLEAN, false, {"0"}).getBooleanValue());
    EXPECT_EQ(make(Kind::VALUE_STRING, false, {"  two  words "}).getStringValue(), "  two  words ");
    const std::string longText(300, 'x');
    EXPECT_EQ(make(Kind::VALUE_STRING, false, {longText}).getStringValue(), longText);
    const DateTime& d = make(Kind::VALUE_DATE, false, {"2008-03-12T14:20:05"}).getDateValue();
    EXPECT_EQ(d, DateTime(2008, 3, 12, 14, 20, 5));

    EXPECT_EQ(Property::toCharString('A'), "65");
    EXPECT_EQ(Property::toCharString(static_cast<char>(0xC8)), "-56");  // signed on every platform
    EXPECT_EQ(Property::parseChar("321"), 'A');
    EXPECT_EQ(Property::parseShort("70000"), 4464);
    EXPECT_EQ(Property::toShortString(-7), "-7");
    EXPECT_EQ(Property::parseDate(Property::toDateString(d)), d);
    EXPECT_THROW(Property::toDateString(DateTime(2023, 2, 29, 0, 0, 0)), BadLexicalCast);
    EXPECT_EQ(Property::toModelObjectString(*manager.constructObject(A)), A);
}

TEST_F(PropertyTest, SingleValuedPropertyNeedsExactlyOneRawValueOnEveryCall) {
    for (Strings raw : {Strings{}, Strings{"1", "2"}}) {
        PropertyImpl& p = make(Kind::VALUE_INT, false, raw);
        for (int pass = 0; pass < 2; ++pass) {
            RuntimeException e = thrownBy([&] { p.getIntValue(); });
            EXPECT_EQ(e.getType(), RuntimeException::GENERAL_ERROR);
            EXPECT_EQ(e.getMessage(), "Single valued property must have single xml value");
        }
        // The list form of a single-valued property converts the scalar too.
        EXPECT_THROW(p.getIntArrayValue(), RuntimeException);
    }
}

TEST_F(PropertyTest, TheArrayFlagAloneChoosesTheFormThatIsFilled) {
    PropertyImpl& list = make(Kind::VALUE_INT, true, {"1", "-2", "3"});
    EXPECT_EQ(list.getIntValue(), 0);
    EXPECT_EQ(list.getIntArrayValue(), (std::vector<int>{1, -2, 3}));
    EXPECT_EQ(&list.getIntArrayValue(), &list.getIntArrayValue());  // the kept list itself
    PropertyImpl& single = make(Kind::VALUE_INT, false, {"7"});
    EXPECT_TRUE(single.getIntArrayValue().empty());
    EXPECT_EQ(single.getIntValue(), 7);

    EXPECT_TRUE(make(Kind::VALUE_STRING, true, {}).getStringArrayValue().empty());
    EXPECT_EQ(make(Kind::VALUE_DATE, true, {"2001-02-03T04:05:06"}).getDateValue(), DateTime());
    EXPECT_EQ(make(Kind::VALUE_BOOLEAN, true, {"true", "false"}).getBooleanArrayValue(),
              (std::vector<bool>{true, false}));
    EXPECT_EQ(make(Kind::VALUE_CHAR, true, {"65", "66"}).getCharArrayValue(),
              (std::vector<char>{'A', 'B'}));
    Strings many;
    for (int i = 0; i < 1000; ++i) many.push_back(std::string(i % 40, 'a' + i % 26));
    EXPECT_EQ(make(Kind::VALUE_STRING, true, many).getStringArrayValue(), many);
}

TEST_F(PropertyTest, WithoutDescriptionEveryGetterReturnsItsDefaultAndNeverThrows) {
    PropertyImpl& p = makeWith(nullptr, {"x", "y"}, "shown");
    EXPECT_EQ(p.getCharValue(), 0);
    EXPECT_EQ(p.getDateValue(), DateTime());
    EXPECT_EQ(p.getDoubleValue() + p.getFloatValue() + p.getIntValue() + p.getShortValue(), 0);
    EXPECT_FALSE(p.getBooleanValue());
    EXPECT_EQ(p.getStringValue(), "");
    EXPECT_EQ(p.getModelObjectValue(), nullptr);
    EXPECT_TRUE(p.getCharArrayValue().empty() && p.getDateArrayValue().empty() &&
                p.getDoubleArrayValue().empty() && p.getFloatArrayValue().empty() &&
                p.getIntArrayValue().empty() && p.getBooleanArrayValue().empty() &&
                p.getShortArrayValue().empty() && p.getStringArrayValue().empty() &&
                p.getModelObjectArrayValue().empty());
    EXPECT_EQ(p.getDisplayValue(), "shown");
}

TEST_F(PropertyTest, FailedConversionsLeaveThePropertyUnconvertedAndAreTriedAgain) {
    PropertyImpl& bad = make(Kind::VALUE_INT, false, {"4x"});
    EXPECT_THROW(bad.getIntValue(), BadLexicalCast);
    EXPECT_THROW(bad.getIntValue(), BadLexicalCast);

    ModelObject* a = manager.constructObject(A);
    EXPECT_EQ(make(Kind::VALUE_MODEL_OBJECT, false, {""}).getModelObjectValue(), nullptr);
    PropertyImpl& single = make(Kind::VALUE_MODEL_OBJECT, false, {B});
    PropertyImpl& list = make(Kind::VALUE_MODEL_OBJECT, true, {A, "", B});
    PropertyImpl& nullUid = make(Kind::VALUE_MODEL_OBJECT, false, {"AAAAAAAAAAAAAA"});
    for (int pass = 0; pass < 2; ++pass) {
        RuntimeException e = thrownBy([&] { single.getModelObjectValue(); });
        EXPECT_EQ(e.getType(), RuntimeException::NOT_LOADED);
        EXPECT_EQ(e.getMessage(), "Asked for unloaded object");
        EXPECT_THROW(list.getModelObjectArrayValue(), RuntimeException);
    }
    EXPECT_THROW(nullUid.getModelObjectValue(), RuntimeException);
    ModelObject* b = manager.constructObject(B);
    EXPECT_EQ(single.getModelObjectValue(), b);
    // A list tried again starts from nothing: one element per raw value.
    EXPECT_EQ(list.getModelObjectArrayValue(), (std::vector<ModelObject*>{a, nullptr, b}));
}

TEST_F(PropertyTest, ConvertedReferencesNeverHandOutAnObjectThatLeftTheStore) {
    manager.constructObject(A);
    ModelObject* b = manager.constructObject(B);
    PropertyImpl& single = make(Kind::VALUE_MODEL_OBJECT, false, {A});
    PropertyImpl& list = make(Kind::VALUE_MODEL_OBJECT, true, {B, A});
    ASSERT_NE(single.getModelObjectValue(), nullptr);
    ASSERT_EQ(list.getModelObjectArrayValue().size(), 2u);

    manager.removeObjectsFromStore(Strings{A});
    // The form that holds no value keeps its default and looks nothing up.
    EXPECT_EQ(list.getModelObjectValue(), nullptr);
    EXPECT_TRUE(single.getModelObjectArrayValue().empty());
    EXPECT_EQ(thrownBy([&] { single.getModelObjectValue(); }).getMessage(),
              "Asked for unloaded object");
    EXPECT_THROW(list.getModelObjectArrayValue(), RuntimeException);
    ModelObject* again = manager.constructObject(A);
    EXPECT_EQ(single.getModelObjectValue(), again);
    EXPECT_EQ(list.getModelObjectArrayValue(), (std::vector<ModelObject*>{b, again}));
    manager.removeAllObjectsFromStore();
    EXPECT_THROW(single.getModelObjectValue(), RuntimeException);
}

}  // namespace
