#include <soa/common/DomException.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/common/TryingToCreateNullHandle.hxx>
#include <soa/common/XmlStream.hxx>
#include <soa/schemas/base/Attrib.hxx>
#include <soa/schemas/base/ErrorStack.hxx>
#include <soa/schemas/base/ModelSchema.hxx>
#include <soa/schemas/base/Preferences.hxx>
#include <soa/schemas/base/ServiceData.hxx>
#include <soa/schemas/core/LoginInput.hxx>
#include <soa/schemas/core/LoginResponse.hxx>
#include <soa/schemas/core/LoginSSOInput.hxx>
#include <soa/schemas/core/SetObjectPropertyPolicyInput.hxx>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using Quillomark::Soa::Common::Exceptions::DomException;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;
using Quillomark::Soa::Common::Xml::TryingToCreateNullHandle;
using Quillomark::Soa::Common::Xml::XmlStream;
namespace Base = Quillomark::Schemas::Soa::_2006_03::Base;
namespace Session06 = Quillomark::Schemas::Core::_2006_03::Session;
namespace Session07 = Quillomark::Schemas::Core::_2007_01::Session;

// Every type with its field table, as (type, table).
#define FOR_EACH_WIRE_TYPE(T)                                       \
    T(Base::PropertyValue, QMSOA_BASE_FIELDS_PropertyValue)         \
    T(Base::Property, QMSOA_BASE_FIELDS_Property)                   \
    T(Base::ModelObject, QMSOA_BASE_FIELDS_ModelObject)             \
    T(Base::RefId, QMSOA_BASE_FIELDS_RefId)                         \
    T(Base::ErrorValue, QMSOA_BASE_FIELDS_ErrorValue)               \
    T(Base::ErrorStack, QMSOA_BASE_FIELDS_ErrorStack)               \
    T(Base::ServiceData, QMSOA_BASE_FIELDS_ServiceData)             \
    T(Base::PreferenceValue, QMSOA_BASE_FIELDS_PreferenceValue)     \
    T(Base::Preference, QMSOA_BASE_FIELDS_Preference)               \
    T(Base::Preferences, QMSOA_BASE_FIELDS_Preferences)             \
    T(Base::PropDependant, QMSOA_BASE_FIELDS_PropDependant)         \
    T(Base::PropDescriptor, QMSOA_BASE_FIELDS_PropDescriptor)       \
    T(Base::ModelType, QMSOA_BASE_FIELDS_ModelType)                 \
    T(Base::Attrib, QMSOA_BASE_FIELDS_Attrib)                       \
    T(Base::ModelClass, QMSOA_BASE_FIELDS_ModelClass)               \
    T(Base::ModelSchema, QMSOA_BASE_FIELDS_ModelSchema)             \
    T(Session06::LoginInput, QMSOA_SESSION_FIELDS_LoginInput)       \
    T(Session06::LoginSSOInput, QMSOA_SESSION_FIELDS_LoginSSOInput) \
    T(Session06::LoginResponse, QMSOA_SESSION_FIELDS_LoginResponse) \
    T(Session07::SetObjectPropertyPolicyInput, QMSOA_SESSION_FIELDS_SetObjectPropertyPolicyInput)

// Distinct sample values; text with markup characters, line breaks, tabs
// and non-ASCII letters.
struct Filler {
    int counter = 1;
    bool setOptionals = true;
    int depth = 2;
    std::string text(const char* stem) {
        return std::string(stem) + " <a&b> \"q\" 'x'\t\n\r\n caf\xC3\xA9 \xE2\x82\xAC" +
               std::to_string(counter++);
    }
    int number() { return -1000 * counter++ - 7; }
    bool flag() { return counter++ % 2 == 0; }
};

#define FILL(kind, Stem, Element) FILL_##kind(Stem, Element)
#define FILL_STRING(Stem, Element) v.set##Stem(f.text(#Stem));
#define FILL_INT(Stem, Element) v.set##Stem(f.number());
#define FILL_BOOL(Stem, Element) v.set##Stem(f.flag());
#define FILL_OPT_STRING(Stem, Element) \
    if (f.setOptionals) FILL_STRING(Stem, Element)
#define FILL_OPT_INT(Stem, Element) \
    if (f.setOptionals) FILL_INT(Stem, Element)
#define FILL_OPT_BOOL(Stem, Element) \
    if (f.setOptionals) FILL_BOOL(Stem, Element)
#define FILL_LIST(Stem, Element)                 \
    for (int i = 0; f.depth > 0 && i < 2; ++i) { \
        Element element;                         \
        --f.depth;                               \
        fill(element, f);                        \
        ++f.depth;                               \
        v.add##Stem(element);                    \
    }
#define FILL_VALUE(Stem, Element) \
    {                             \
        Element element;          \
        fill(element, f);         \
        v.set##Stem(element);     \
    }

#define EQUAL(kind, Stem, Element) EQUAL_##kind(Stem, Element)
#define EQUAL_STRING(Stem, Element) EXPECT_EQ(a.get##Stem(), b.get##Stem()) << #Stem;
#define EQUAL_INT(Stem, Element) EQUAL_STRING(Stem, Element)
#define EQUAL_BOOL(Stem, Element) EQUAL_STRING(Stem, Element)
#define EQUAL_OPT_STRING(Stem, Element) \
    EQUAL_STRING(Stem, Element)         \
    EXPECT_EQ(a.is##Stem##Set(), b.is##Stem##Set()) << #Stem;
#define EQUAL_OPT_INT(Stem, Element) EQUAL_OPT_STRING(Stem, Element)
#define EQUAL_OPT_BOOL(Stem, Element) EQUAL_OPT_STRING(Stem, Element)
#define EQUAL_LIST(Stem, Element)                                                 \
    ASSERT_EQ(a.get##Stem##Array().size(), b.get##Stem##Array().size()) << #Stem; \
    for (std::size_t i = 0; i < a.get##Stem##Array().size(); ++i) {               \
        expectEqual(a.get##Stem##Array()[i], b.get##Stem##Array()[i]);            \
    }
#define EQUAL_VALUE(Stem, Element) expectEqual(a.get##Stem(), b.get##Stem());

#define DECLARE(Type, FIELDS)      \
    void fill(Type& v, Filler& f); \
    void expectEqual(const Type& a, const Type& b);
FOR_EACH_WIRE_TYPE(DECLARE)

#define DEFINE(Type, FIELDS)        \
    void fill(Type& v, Filler& f) { \
        (void)f;                    \
        FIELDS(FILL)                \
    }                               \
    void expectEqual(const Type& a, const Type& b) { FIELDS(EQUAL) }
FOR_EACH_WIRE_TYPE(DEFINE)

template <typename T>
class WireRoundTrip : public ::testing::Test {};

#define LIST_TYPE(Type, FIELDS) Type,
using WireTypes = ::testing::Types<FOR_EACH_WIRE_TYPE(LIST_TYPE) void>;

class TypeNames {
public:
    template <typename T>
    static std::string GetName(int index) {
        return std::to_string(index);
    }
};
TYPED_TEST_SUITE(WireRoundTrip, WireTypes, TypeNames);

template <typename T>
void roundTrip(bool setOptionals) {
    T original;
    Filler filler;
    filler.setOptionals = setOptionals;
    fill(original, filler);
    XmlStream out;
    original.outputXML(out, "value");

    SAXToNodeParser parser;
    T back;
    back.parse(parser.parseString(out.str()));
    expectEqual(original, back);

    XmlStream again;
    back.outputXML(again, "value");
    EXPECT_EQ(out.str(), again.str());

    // Parsing again replaces everything, the set flags included.
    back.parse(parser.parseString("<other unknown='1'><stranger/></other>"));
    expectEqual(back, T());
}

TYPED_TEST(WireRoundTrip, AllFieldsListsAndFlagsSurvive) {
    if constexpr (!std::is_void_v<TypeParam>) {
        roundTrip<TypeParam>(true);
        roundTrip<TypeParam>(false);
    }
}

TEST(WireXml, ServiceDataHasTheDocumentedForm) {
    Base::ServiceData data;
    Base::RefId ref;
    ref.setUid("QaBcAAAAAAAAAA");
    data.addUpdatedObj(ref);
    Base::ModelObject object;
    object.setUid("QaBcAAAAAAAAAA");
    object.setType("Item");
    Base::Property property;
    property.setName("item_id");
    property.setUiValue("000123");
    Base::PropertyValue value;
    value.setValue("000123");
    property.addValue(value);
    object.addPropertie(property);
    data.addDataObject(object);
    Base::ErrorStack stack;
    stack.setClientId("row-7");
    stack.setClientIndex(7);
    Base::ErrorValue error;
    error.setMessage("The object is locked.");
    error.setCode(215033);
    error.setLevel(3);
    stack.addErrorValue(error);
    data.addPartialError(stack);

    XmlStream out;
    data.outputXML(out, "serviceData");
    EXPECT_EQ(out.str(),
              "<serviceData><updatedObjs uid=\"QaBcAAAAAAAAAA\"/>"
              "<dataObjects uid=\"QaBcAAAAAAAAAA\" type=\"Item\">"
              "<properties modifiable=\"false\" name=\"item_id\" uiValue=\"000123\">"
              "<values value=\"000123\"/></properties></dataObjects>"
              "<partialErrors clientId=\"row-7\" clientIndex=\"7\">"
              "<errorValues message=\"The object is locked.\" code=\"215033\" level=\"3\"/>"
              "</partialErrors></serviceData>");
}

TEST(WireXml, SessionDocumentsAndIrregularNames) {
    SAXToNodeParser parser;
    Session06::LoginInput login;
    login.parse(parser.parseString(
        "<loginInput username='u' password='p w' group='g' role='r' sessionDiscriminator='d'/>"));
    EXPECT_EQ(login.getPassword(), "p w");
    EXPECT_EQ(login.getSessionDiscriminator(), "d");
    Session06::LoginSSOInput sso;
    sso.parse(parser.parseString("<x ssoCredentials='token' username='u'/>"));
    EXPECT_EQ(sso.getSsoCredentials(), "token");
    Session07::SetObjectPropertyPolicyInput policy;
    policy.parse(parser.parseString("<p policyName='Light'/>"));
    EXPECT_EQ(policy.getPolicyName(), "Light");

    Session06::LoginResponse response;
    response.parse(
        parser.parseString("<loginResponse><user uid='U1'/><groupMember uid='G1'/>"
                           "<serviceData><plainObjs uid='U1'/></serviceData></loginResponse>"));
    EXPECT_EQ(response.getUser().getUid(), "U1");
    EXPECT_EQ(response.getGroupMember().getUid(), "G1");
    EXPECT_EQ(response.getServiceData().getPlainObjArray().at(0).getUid(), "U1");

    Base::ModelSchema schema;
    schema.parse(parser.parseString(
        "<modelSchema><types name='Item' parentTypeName='WorkspaceObject'>"
        "<propDescriptors name='item_id' type='8' anArray='1' uiname='ID'/></types>"
        "<classes name='C'><attributes name='a' uiName='A' maxLength='32'/></classes>"
        "</modelSchema>"));
    const Base::ModelType& type = schema.getTypeArray().at(0);
    EXPECT_TRUE(type.isParentTypeNameSet());
    EXPECT_FALSE(type.isUifNameSet());
    EXPECT_EQ(type.getUifName(), "");
    const Base::PropDescriptor& descriptor = type.getPropDescriptorArray().at(0);
    EXPECT_EQ(descriptor.getUiname(), "ID");
    EXPECT_EQ(descriptor.getType(), 8);
    EXPECT_TRUE(descriptor.getAnArray());
    EXPECT_FALSE(descriptor.isMaxLengthSet());
    const Base::Attrib& attribute = schema.getClasseArray().at(0).getAttributeArray().at(0);
    EXPECT_EQ(attribute.getUiName(), "A");
    EXPECT_EQ(attribute.getMaxLength(), 32);
    EXPECT_TRUE(attribute.isMaxLengthSet());

    Base::Preferences preferences;
    preferences.parse(parser.parseString(
        "<preferences><prefs name='p' scope='site'><values value='1'/><values value='2'/>"
        "</prefs></preferences>"));
    EXPECT_EQ(preferences.getPrefArray().at(0).getValueArray().at(1).getValue(), "2");
}

TEST(WireXml, MalformedValuesAreDomExceptions) {
    SAXToNodeParser parser;
    Base::ErrorValue error;
    try {
        error.parse(parser.parseString("<errorValue\n code='12a'/>"));
        ADD_FAILURE();
    } catch (const DomException& e) {
        EXPECT_NE(e.getMessage().find("code"), std::string::npos) << e.getMessage();
        EXPECT_NE(e.getMessage().find("12a"), std::string::npos) << e.getMessage();
    }
    Base::PropDescriptor descriptor;
    EXPECT_THROW(descriptor.parse(parser.parseString("<d anArray='yes'/>")), DomException);

    Base::PropertyValue value;
    value.setValue(std::string("bell\x07"));
    XmlStream out;
    EXPECT_THROW(value.outputXML(out, "v"), DomException);
}

// Exposes the reference count of a value's shared object.
template <typename Value>
int references(const Value& value) {
    struct Probe : Value {
        explicit Probe(const Value& v) : Value(v) {}
        int count() const { return this->getHandleObject().askRefCount(); }
    };
    return Probe(value).count() - 1;
}

TEST(WireSharing, CopiesSeeChangesMadeThroughEachOther) {
    Base::ModelObject first;
    Base::ModelObject copy(first);
    Base::Property property;
    first.addPropertie(property);
    ASSERT_EQ(copy.getPropertieArray().size(), 1u);

    const std::string& name = copy.getPropertieArray()[0].getName();
    property.setName("object_name");
    EXPECT_EQ(name, "object_name");
    first.getUid() = "changed in place";
    EXPECT_EQ(copy.getUid(), "changed in place");

    Session06::LoginInput login;
    Session06::LoginInput loginCopy = login;
    loginCopy.setGroup("engineering");
    EXPECT_EQ(login.getGroup(), "engineering");
    EXPECT_EQ(references(login), 2);

    std::vector<Base::ErrorValue> errors(1);
    Base::ErrorStack stack;
    stack.setErrorValueArray(errors);
    errors[0].setCode(99);
    EXPECT_EQ(stack.getErrorValueArray()[0].getCode(), 99);
    EXPECT_EQ(references(errors[0]), 2);
}

TEST(WireSharing, OptionalSettersSetTheFlag) {
    Base::ErrorStack stack;
    EXPECT_FALSE(stack.isClientIdSet());
    stack.setClientId("");
    stack.setClientIndex(0);
    EXPECT_TRUE(stack.isClientIdSet());
    EXPECT_TRUE(stack.isClientIndexSet());
    stack.setIsClientIdSet(false);
    EXPECT_FALSE(stack.isClientIdSet());
}

TEST(WireSharing, ClonesAndCopiedImplsHoldTheirOwnReferences) {
    auto* impl = new Session06::LoginResponseImpl;
    Session06::LoginResponse response(impl);
    Session06::LoginResponse sameObject(response);
    Base::ModelObject user;
    Base::ServiceData data;
    response.setUser(user);
    response.setServiceData(data);
    EXPECT_EQ(references(user), 2);
    EXPECT_EQ(impl->askRefCount(), 2);

    Session06::LoginResponseImpl* clone = impl->reallyClone();
    EXPECT_EQ(clone->askRefCount(), 0);
    EXPECT_EQ(references(user), 3);
    EXPECT_EQ(references(data), 3);
    {
        Session06::LoginResponse bound(clone);
        EXPECT_EQ(clone->askRefCount(), 1);
        bound.setUser(Base::ModelObject());
        EXPECT_EQ(references(user), 2);
    }
    EXPECT_EQ(references(data), 2);

    auto* spare = new Base::RefIdImpl;
    spare->setUid("x");
    Base::RefIdImpl* spareClone = spare->reallyClone();
    EXPECT_EQ(spareClone->getUid(), "x");
    delete spare;
    delete spareClone;

    EXPECT_THROW(Base::RefId(nullptr), TryingToCreateNullHandle);
}

// A reply of `objects` objects, each with properties of one and of several
// values, long enough that their texts live on the heap.
std::string replyOf(int objects) {
    std::string xml = "<serviceData>";
    for (int i = 0; i < objects; ++i) {
        const std::string uid = "uid-of-a-rather-long-object-" + std::to_string(i);
        xml += "<dataObjects uid='" + uid + "' type='Item'>";
        xml +=
            "<properties name='object_name' uiValue='a name long enough for the heap'>"
            "<values value='" +
            uid + "'/></properties>";
        xml +=
            "<properties name='release_statuses' uiValue=''>"
            "<values value='first status of the object'/>"
            "<values value='second status of the object'/></properties>";
        xml += "</dataObjects>";
    }
    return xml + "</serviceData>";
}

// The objects of one reply share heap blocks: whatever part of it is kept
// stays whole after the rest, the parser and the reply are gone, and goes
// in any order (the sanitized build sees a block freed too early or never).
TEST(WireBlocks, PartsOfOneReplyOutliveTheRestInAnyOrder) {
    std::vector<Base::ModelObject> kept;
    Base::PropertyValue lastValue;
    {
        SAXToNodeParser parser;
        Base::ServiceData data;
        data.parse(parser.parseString(replyOf(200)));
        ASSERT_EQ(data.getDataObjectArray().size(), 200u);
        for (std::size_t i = 0; i < 200; i += 37) kept.push_back(data.getDataObjectArray()[i]);
        lastValue = data.getDataObjectArray().back().getPropertieArray()[1].getValueArray()[1];
    }
    EXPECT_EQ(lastValue.getValue(), "second status of the object");
    for (std::size_t k = kept.size(); k-- > 0;) {
        const Base::ModelObject& object = kept[k];
        EXPECT_EQ(object.getUid(), "uid-of-a-rather-long-object-" + std::to_string(k * 37));
        EXPECT_EQ(object.getPropertieArray()[0].getValueArray()[0].getValue(), object.getUid());
        kept.pop_back();
    }
    // A value made outside a reply is a block of its own, and a copy taken
    // while reading is no different from one taken after.
    Base::PropertyValue own;
    own.setValue(std::string(100, 'x'));
    Base::PropertyValue copy = own;
    EXPECT_EQ(copy.getValue().size(), 100u);
}

// The parts of one reply may be handed to other threads, each the only
// holder of its part, and let go there (the thread-sanitized build sees a
// race on the count of a block that parts of several threads share).
TEST(WireBlocks, PartsOfOneReplyGoOnOtherThreads) {
    SAXToNodeParser parser;
    std::vector<std::vector<Base::ModelObject>> shares(4);
    {
        Base::ServiceData data;
        data.parse(parser.parseString(replyOf(400)));
        const std::vector<Base::ModelObject>& objects = data.getDataObjectArray();
        for (std::size_t i = 0; i < objects.size(); ++i) shares[i % 4].push_back(objects[i]);
    }
    std::vector<std::thread> threads;
    for (std::vector<Base::ModelObject>& share : shares) {
        threads.emplace_back([&share] {
            while (!share.empty()) share.pop_back();
        });
    }
    for (std::thread& thread : threads) thread.join();
}

// A reply that fails half way leaves no block held, and the next reply of
// the thread is read as if it had not happened.
TEST(WireBlocks, AFailedReplyLeavesNothingBehind) {
    SAXToNodeParser parser;
    Base::ErrorStack stack;
    EXPECT_THROW(stack.parse(parser.parseString("<s><errorValues code='1'/>"
                                                "<errorValues code='x'/></s>")),
                 DomException);
    Base::ServiceData data;
    data.parse(parser.parseString(replyOf(3)));
    EXPECT_EQ(data.getDataObjectArray()[2].getPropertieArray()[1].getValueArray().size(), 2u);
}

}  // namespace
