// The four kinds of typed accessor, each through a few real classes, over
// real properties of the client data model.

#include "ModelTestSupport.hxx"

#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/NotLoadedException.hxx>
#include <soa/client/PropertyDescriptionImpl.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/TypeImpl.hxx>
#include <soa/client/model/BOMLine.hxx>
#include <soa/client/model/EPMTaskTemplate.hxx>
#include <soa/client/model/HRN_WireLength.hxx>
#include <soa/client/model/Item.hxx>
#include <soa/client/model/Item_Master.hxx>
#include <soa/client/model/ListOfValuesChar.hxx>
#include <soa/client/model/ListOfValuesDate.hxx>
#include <soa/client/model/ListOfValuesDouble.hxx>
#include <soa/client/model/ListOfValuesFilter.hxx>
#include <soa/client/model/ListOfValuesInteger.hxx>
#include <soa/client/model/ListOfValuesString.hxx>
#include <soa/client/model/ListOfValuesTag.hxx>
#include <soa/client/model/SingleFileRecovery.hxx>
#include <soa/common/DateTime.hxx>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using Quillomark::Soa::Client::ModelManagerImpl;
using Quillomark::Soa::Client::ModelObject;
using Quillomark::Soa::Client::ModelObjectImpl;
using Quillomark::Soa::Client::NotLoadedException;
using Quillomark::Soa::Client::PropertyDescription;
using Quillomark::Soa::Client::PropertyDescriptionImpl;
using Quillomark::Soa::Client::PropertyImpl;
using Quillomark::Soa::Client::RuntimeException;
using Quillomark::Soa::Client::TypeImpl;
using Quillomark::Soa::Common::DateTime;
using Quillomark::Testing::RecordAccess;
namespace Model = Quillomark::Soa::Client::Model;

constexpr bool single = false;
constexpr bool list = true;

// Objects of typed classes with properties that the test sets, beside a
// model manager whose store holds the objects they refer to.
class Accessors : public ::testing::Test {
protected:
    ~Accessors() override {
        for (auto& destroy : made) {
            destroy();
        }
    }

    // A new object of the class of serverType, with an empty record.
    template <class T>
    T* make(const std::string& serverType) {
        types.push_back(std::make_unique<TypeImpl>("TYPE::" + serverType, serverType));
        ModelObject* object = ModelManagerImpl::constructObjectOfType(types.back().get());
        T* typed = dynamic_cast<T*>(object);
        made.push_back([typed] { delete typed; });
        auto* record =
            new ModelObjectImpl("Owner" + std::to_string(made.size()), types.back().get());
        RecordAccess::attach(object, record);
        records[object] = record;
        return typed;
    }

    // Gives object the property name (replacing one it had), of the kind and
    // form given, with these raw values.
    void set(ModelObject* object, const std::string& name, PropertyDescription::ValueType kind,
             bool array, const std::vector<std::string>& values) {
        descriptions.emplace_back(kind, name, array, false);
        auto property = std::make_unique<PropertyImpl>("", &descriptions.back(), &manager);
        for (const std::string& value : values) {
            property->addValue(value);
        }
        records.at(object)->addProperty(name, property.release());
    }

    // An object in the store, which references can name.
    std::string stored(const std::string& serverType, const std::string& uid) {
        manager.constructObject(serverType, uid);
        return uid;
    }

    ModelManagerImpl manager{nullptr};

private:
    std::deque<PropertyDescriptionImpl> descriptions;
    std::vector<std::unique_ptr<TypeImpl>> types;
    std::map<ModelObject*, ModelObjectImpl*> records;
    std::vector<std::function<void()>> made;
};

template <class Call>
void expectRuntimeException(Call call, RuntimeException::ErrorType type,
                            const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const RuntimeException& e) {
        EXPECT_EQ(type, e.getType());
        EXPECT_EQ(message, e.getMessage());
    }
}

template <class Call>
void expectNotLoaded(Call call, const std::string& property) {
    try {
        call();
        ADD_FAILURE() << "no exception, expected " << property << " not loaded";
    } catch (const NotLoadedException& e) {
        EXPECT_EQ("The " + property + " property is not loaded in the client model.",
                  e.getMessage());
    }
}

void expectWrongType(const std::function<void()>& call) {
    expectRuntimeException(call, RuntimeException::TYPE_MISMATCH, "Wrong type of object stored");
}

TEST_F(Accessors, PlainAccessorsReturnEveryKindOfValue) {
    auto* chars = make<Model::ListOfValuesChar>("ListOfValuesChar");
    set(chars, "lov_upper_limit", PropertyDescription::VALUE_CHAR, single, {"90"});
    set(chars, "lov_values", PropertyDescription::VALUE_CHAR, list, {"65", "66"});
    EXPECT_EQ('Z', chars->get_lov_upper_limit());
    EXPECT_EQ((std::vector<char>{'A', 'B'}), chars->get_lov_values());

    auto* dates = make<Model::ListOfValuesDate>("ListOfValuesDate");
    set(dates, "lov_upper_limit", PropertyDescription::VALUE_DATE, single, {"2024-05-06T07:08:09"});
    set(dates, "lov_values", PropertyDescription::VALUE_DATE, list, {"2001-02-03T04:05:06"});
    EXPECT_EQ(DateTime(2024, 5, 6, 7, 8, 9), dates->get_lov_upper_limit());
    EXPECT_EQ((std::vector<DateTime>{DateTime(2001, 2, 3, 4, 5, 6)}), dates->get_lov_values());

    auto* doubles = make<Model::ListOfValuesDouble>("ListOfValuesDouble");
    set(doubles, "lov_upper_limit", PropertyDescription::VALUE_DOUBLE, single, {"2.5"});
    set(doubles, "lov_values", PropertyDescription::VALUE_DOUBLE, list, {"1.5", "-3"});
    EXPECT_EQ(2.5, doubles->get_lov_upper_limit());
    EXPECT_EQ((std::vector<double>{1.5, -3}), doubles->get_lov_values());

    auto* ints = make<Model::ListOfValuesInteger>("ListOfValuesInteger");
    set(ints, "lov_upper_limit", PropertyDescription::VALUE_INT, single, {"42"});
    set(ints, "lov_values", PropertyDescription::VALUE_INT, list, {"7", "-8"});
    set(ints, "lov_value_descriptions", PropertyDescription::VALUE_STRING, list,
        {"seven", "minus eight"});
    EXPECT_EQ(42, ints->get_lov_upper_limit());
    EXPECT_EQ((std::vector<int>{7, -8}), ints->get_lov_values());
    EXPECT_EQ((std::vector<std::string>{"seven", "minus eight"}),
              ints->get_lov_value_descriptions());

    // Strings are handed out by reference into the property, the same one
    // on every call; an inherited accessor reads the derived object.
    auto* strings = make<Model::ListOfValuesString>("ListOfValuesString");
    set(strings, "lov_upper_limit", PropertyDescription::VALUE_STRING, single, {" zz "});
    set(strings, "lov_name", PropertyDescription::VALUE_STRING, single, {"Colours"});
    EXPECT_EQ(" zz ", strings->get_lov_upper_limit());
    EXPECT_EQ(&strings->get_lov_upper_limit(), &strings->get_lov_upper_limit());
    EXPECT_EQ("Colours", strings->get_lov_name());

    auto* length = make<Model::HRN_WireLength>("HRN_WireLength");
    set(length, "length_value", PropertyDescription::VALUE_FLOAT, single, {"1.25"});
    EXPECT_EQ(1.25f, length->get_length_value());

    auto* filter = make<Model::ListOfValuesFilter>("ListOfValuesFilter");
    set(filter, "shown_base_all", PropertyDescription::VALUE_BOOLEAN, single, {"true"});
    EXPECT_TRUE(filter->get_shown_base_all());

    auto* tmpl = make<Model::EPMTaskTemplate>("EPMTaskTemplate");
    set(tmpl, "flowline_conditions", PropertyDescription::VALUE_BOOLEAN, list, {"true", "false"});
    EXPECT_EQ((std::vector<bool>{true, false}), tmpl->get_flowline_conditions());

    // Plain references: no class test, and an empty one is null.
    auto* tags = make<Model::ListOfValuesTag>("ListOfValuesTag");
    const std::string first = stored("ItemRevision", "RevisionAAAAAA");
    const std::string second = stored("ModelObject", "PlainAAAAAAAAA");
    set(tags, "lov_values", PropertyDescription::VALUE_MODEL_OBJECT, list, {first, "", second});
    EXPECT_EQ(
        (std::vector<ModelObject*>{manager.getObject(first), nullptr, manager.getObject(second)}),
        tags->get_lov_values());

    auto* item = make<Model::Item>("Item");
    set(item, "change", PropertyDescription::VALUE_MODEL_OBJECT, single, {second});
    EXPECT_EQ(manager.getObject(second), item->get_change());
    set(item, "change", PropertyDescription::VALUE_MODEL_OBJECT, single, {""});
    EXPECT_EQ(nullptr, item->get_change());
}

TEST_F(Accessors, ATypedReferenceIsReturnedForItsClassAndDerivedClassesAndRefusedOtherwise) {
    auto* item = make<Model::Item>("Item");
    const std::string master = stored("Item Master", "MasterAAAAAAAA");
    set(item, "item_master_tag", PropertyDescription::VALUE_MODEL_OBJECT, single, {master});
    Model::Form* form = item->get_item_master_tag();
    EXPECT_EQ(manager.getObject(master), form);
    EXPECT_NE(nullptr, dynamic_cast<Model::Item_Master*>(form));

    // An ancestor of Form, an unrelated class, a plain object and null.
    for (const std::string& uid :
         {stored("WorkspaceObject", "WorkspaceAAAAA"), stored("ItemRevision", "RevisionAAAAAA"),
          stored("ModelObject", "PlainAAAAAAAAA"), std::string()}) {
        set(item, "item_master_tag", PropertyDescription::VALUE_MODEL_OBJECT, single, {uid});
        expectWrongType([&] { item->get_item_master_tag(); });
    }
}

TEST_F(Accessors, CountAndElementReadTheListAndRefuseAnIndexBeyondIt) {
    auto* lov = make<Model::ListOfValuesString>("ListOfValuesString");
    const std::string filter = stored("ListOfValuesFilter", "FilterAAAAAAAA");
    const std::string item = stored("Item", "ItemAAAAAAAAAA");
    set(lov, "value_filters", PropertyDescription::VALUE_MODEL_OBJECT, list, {filter, "", item});

    EXPECT_EQ(3u, lov->count_value_filters());
    EXPECT_EQ(manager.getObject(filter), lov->get_value_filters_at(0));
    expectWrongType([&] { lov->get_value_filters_at(1); });  // null
    expectWrongType([&] { lov->get_value_filters_at(2); });  // not a ListOfValues
    expectRuntimeException(
        [&] { lov->get_value_filters_at(3); }, RuntimeException::GENERAL_ERROR,
        "Index 3 is out of range for the value_filters property, which holds 3 elements.");
    expectRuntimeException(
        [&] { lov->get_value_filters_at(4000000000u); }, RuntimeException::GENERAL_ERROR,
        "Index 4000000000 is out of range for the value_filters property, which holds 3 elements.");

    set(lov, "value_filters", PropertyDescription::VALUE_MODEL_OBJECT, list, {});
    EXPECT_EQ(0u, lov->count_value_filters());
    expectRuntimeException(
        [&] { lov->get_value_filters_at(0); }, RuntimeException::GENERAL_ERROR,
        "Index 0 is out of range for the value_filters property, which holds 0 elements.");
}

TEST_F(Accessors, APropertyThatIsNotLoadedIsReportedByItsServerName) {
    auto* line = make<Model::BOMLine>("BOMLine");
    expectNotLoaded([&] { line->get_TEMPLATE_ACTION(); }, "TEMPLATE ACTION");

    auto* recovery = make<Model::SingleFileRecovery>("SingleFileRecovery");
    expectNotLoaded([&] { recovery->get_sfr_info_backup_label(); }, "sfr_info.backup_label");

    auto* lov = make<Model::ListOfValuesTag>("ListOfValuesTag");
    expectNotLoaded([&] { lov->count_value_filters(); }, "value_filters");
    expectNotLoaded([&] { lov->get_value_filters_at(0); }, "value_filters");

    // A null entry in the record counts as not loaded.
    Model::ListOfValuesTag withNullEntry;
    auto* record = new ModelObjectImpl("RecordAAAAAAAA", nullptr);
    record->addProperty("lov_name", nullptr);
    RecordAccess::attach(&withNullEntry, record);
    expectNotLoaded([&] { withNullEntry.get_lov_name(); }, "lov_name");

    // So does every property of an object made by its public constructor,
    // which has no record at all.
    Model::ListOfValuesString unfilled;
    expectNotLoaded([&] { unfilled.get_lov_upper_limit(); }, "lov_upper_limit");
    EXPECT_THROW(unfilled.getProperty("lov_name"), NotLoadedException);
}

TEST_F(Accessors, AnAccessorOfAnotherKindThanThePropertyFailsOnEveryCall) {
    auto* ints = make<Model::ListOfValuesInteger>("ListOfValuesInteger");
    set(ints, "lov_upper_limit", PropertyDescription::VALUE_STRING, single, {"42"});
    const std::string mismatch = "Type mismatch asking for property";
    expectRuntimeException([&] { ints->get_lov_upper_limit(); }, RuntimeException::TYPE_MISMATCH,
                           mismatch);
    EXPECT_EQ("42", ints->getProperty("lov_upper_limit")->getStringValue());
    expectRuntimeException([&] { ints->get_lov_upper_limit(); }, RuntimeException::TYPE_MISMATCH,
                           mismatch);
}

TEST_F(Accessors, AReferenceToAnObjectNotInTheStoreResolvesOnceItIsLoaded) {
    auto* item = make<Model::Item>("Item");
    set(item, "item_master_tag", PropertyDescription::VALUE_MODEL_OBJECT, single,
        {"LaterAAAAAAAAA"});
    expectRuntimeException([&] { item->get_item_master_tag(); }, RuntimeException::NOT_LOADED,
                           "Asked for unloaded object");

    stored("Item Master", "LaterAAAAAAAAA");
    EXPECT_EQ(manager.getObject("LaterAAAAAAAAA"), item->get_item_master_tag());
}

}  // namespace
