#include <soa/client/ChangeListener.hxx>
#include <soa/client/Connection.hxx>
#include <soa/client/DeleteListener.hxx>
#include <soa/client/ErrorStack.hxx>
#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/PartialErrorListener.hxx>
#include <soa/client/Preferences.hxx>
#include <soa/client/Property.hxx>
#include <soa/client/PropertyDescription.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/ServiceData.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/Type.hxx>
#include <soa/client/TypeImpl.hxx>
#include <soa/client/model/DocumentRevision.hxx>
#include <soa/client/model/Folder.hxx>
#include <soa/client/model/Item.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/schemas/base/Preferences.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>
#include <soa/schemas/exceptions/ServiceException.hxx>

#include "tests/model/LoadingSupport.hxx"
#include "tests/support/Doubles.hxx"
#include "tests/support/FakeSessionServices.hxx"
#include "tests/support/LoopbackPlmService.hxx"
#include "tests/support/SmallStack.hxx"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <new>
#include <random>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

namespace {

using namespace Quillomark::Soa::Client;
using namespace Quillomark::Testing::Model;
using Quillomark::Soa::Common::DateTime;
using Quillomark::Testing::FakeInternalSessionService;
using Quillomark::Testing::LoopbackPlmService;
using Names = std::vector<std::string>;
using Objects = std::vector<ModelObject*>;

const std::string ITEM = "QaItemAAAAAAAA";
const std::string REV = "QaRevAAAAAAAAA";
const std::string DOC = "QaDocAAAAAAAAA";
const std::string FOLDER = "QaFldAAAAAAAAA";
const std::string NULL_UID = "AAAAAAAAAAAAAA";

// A connection whose internal session service answers type requests from
// a server schema, one requested level at a time, and records every request.
class ModelLoadTest : public ::testing::Test {
protected:
    Connection connection{"http://localhost:1/tc", nullptr, Connection::HTTP, Connection::REST,
                          false};
    ModelManagerImpl& manager = *static_cast<ModelManagerImpl*>(connection.getModelManager());
    FakeInternalSessionService* service = FakeInternalSessionService::install(connection);
    std::map<std::string, Base::ModelType> server{
        {"POM_object", type("POM_object", "")},
        {"WorkspaceObject", type("WorkspaceObject", "POM_object", {{"object_name", 8}})},
        {"Item", type("Item", "WorkspaceObject", {{"item_id", 8}, {"revision_list", 9, true}})},
        {"ItemRevision", type("ItemRevision", "WorkspaceObject", {{"item_id", 8}})},
        {"DocumentRevision", type("DocumentRevision", "ItemRevision", {{"item_id", 5}})},
        {"Folder", type("Folder", "WorkspaceObject")},
    };

    void SetUp() override {
        service->behaviour = [this](const Names& names) {
            std::vector<Base::ModelType> known;
            for (const std::string& name : names) {
                if (server.count(name) != 0) known.push_back(server.at(name));
            }
            manager.loadModelSchema(schema(known));
        };
    }
};

TEST_F(ModelLoadTest, MissingTypesAreFetchedInOneSortedRequestAndAncestorsLevelByLevel) {
    Objects loaded = manager.loadObjectData(
        {object(REV, "ItemRevision"), object(ITEM, "Item"), object(NULL_UID, "unknownType"),
         object(FOLDER, "Folder"), object("QaRe2AAAAAAAAA", "ItemRevision")});
    EXPECT_EQ(service->requests,
              (std::vector<Names>{
                  {"Folder", "Item", "ItemRevision"}, {"WorkspaceObject"}, {"POM_object"}}));
    ASSERT_EQ(loaded.size(), 5u);
    EXPECT_EQ(loaded[2], nullptr);  // the null UID, at its position, not stored
    EXPECT_THROW(manager.getObject(NULL_UID), RuntimeException);
    EXPECT_EQ(loaded[0]->getType()->getParent()->getParent()->getName(), "POM_object");
    EXPECT_EQ(loaded[1], manager.getObject(ITEM));

    service->requests.clear();
    manager.loadObjectData({object(ITEM, "Item"), object(DOC, "ItemRevision")});
    EXPECT_TRUE(service->requests.empty());

    // Names the server does not know fail the load; "" and "unknownType"
    // are never asked for.
    RuntimeException e = thrownBy([&] {
        manager.loadObjectData({object("QaNewAAAAAAAAA", "Item"), object(DOC, "Nonsense")});
    });
    EXPECT_EQ(e.getType(), RuntimeException::NOT_LOADED);
    EXPECT_EQ(e.getMessage(), "Type Nonsense");
    EXPECT_NE(manager.getObject("QaNewAAAAAAAAA"), nullptr);  // handled before: stays
    EXPECT_EQ(thrownBy([&] { manager.loadObjectData(object(DOC, "")); }).getMessage(), "Type ");
    EXPECT_EQ(thrownBy([&] { manager.loadObjectData(object(DOC, "unknownType")); }).getMessage(),
              "Type unknownType");
    EXPECT_EQ(service->requests, std::vector<Names>{{"Nonsense"}});
}

TEST_F(ModelLoadTest, PropertiesAreReplacedOneByOneByNameAndTheOthersStay) {
    ModelObject* item = manager.loadObjectData(object(
        ITEM, "Item", {property("item_id", {"000123"}), property("object_name", {"Bracket"})}));
    Property* id = item->getProperty("item_id");
    EXPECT_EQ(id->getStringValue(), "000123");
    // Descriptions belong to the type itself, not to its ancestors.
    EXPECT_EQ(item->getProperty("object_name")->getPropertyDescription(), nullptr);

    EXPECT_EQ(
        manager.loadObjectData(object(
            ITEM, "Item", {property("object_name", {"B2"}, "B2"), property("revision_list", {})})),
        item);
    EXPECT_EQ(item->getProperty("item_id"), id);  // not sent again: kept
    EXPECT_EQ(item->getProperty("object_name")->getDisplayValue(), "B2");
    EXPECT_TRUE(item->getProperty("revision_list")->getModelObjectArrayValue().empty());
    EXPECT_EQ(item->getPropertyNames(), (Names{"item_id", "object_name", "revision_list"}));
}

// Objects of one reply list their properties in any order and of any
// type: each property is described by its own name in its object's type.
TEST_F(ModelLoadTest, EachPropertyIsDescribedByItsNameInItsObjectsType) {
    const std::string second = "QaIt2AAAAAAAAA";
    const std::string third = "QaIt3AAAAAAAAA";
    const Objects loaded = manager.loadObjectData(
        {object(ITEM, "Item", {property("item_id", {"1"}), property("revision_list", {})}),
         object(second, "Item", {property("revision_list", {}), property("item_id", {"2"})}),
         object(third, "Item", {property("item_id", {"3"}), property("object_name", {"x"})}),
         object(DOC, "DocumentRevision", {property("item_id", {"4"})}),
         object(REV, "ItemRevision", {property("item_id", {"5"}), property("revision_list", {})})});
    ASSERT_EQ(loaded.size(), 5u);
    for (ModelObject* object : loaded) {
        for (const std::string& name : object->getPropertyNames()) {
            EXPECT_EQ(object->getProperty(name)->getPropertyDescription(),
                      object->getType()->getPropertyDescription(name))
                << object->getUid() << " " << name;
        }
    }
    EXPECT_EQ(loaded[3]->getProperty("item_id")->getIntValue(), 4);
    EXPECT_EQ(loaded[4]->getProperty("revision_list")->getPropertyDescription(), nullptr);
}

TEST_F(ModelLoadTest, APlaceholderIsRefinedByItsOwnTypeOrADescendantWithItsClass) {
    ModelObject* rev = manager.constructObject("ItemRevision", REV);
    ModelObject* doc = manager.constructObject("ItemRevision", DOC);
    ModelObject* other = manager.constructObject("NotYetKnown", FOLDER);
    ASSERT_EQ(doc->getType()->getUid(), "UNKNOWN_TYPE_UID");
    const std::type_info& otherClass = typeid(*other);
    manager.loadObjectData({object(REV, "ItemRevision"),
                            object(DOC, "DocumentRevision", {property("item_id", {"7"})}),
                            object(FOLDER, "DocumentRevision")});
    EXPECT_EQ(rev->getType(), manager.getType("ItemRevision"));
    EXPECT_EQ(doc->getType(), manager.getType("DocumentRevision"));
    EXPECT_EQ(doc->getProperty("item_id")->getIntValue(), 7);
    const ModelObject& stored = *manager.getObject(DOC);
    EXPECT_EQ(typeid(stored), typeid(Model::DocumentRevision));
    EXPECT_EQ(other->getType()->getUid(), "UNKNOWN_TYPE_UID");  // unrelated name: kept
    EXPECT_EQ(typeid(*other), otherClass);

    // A stored object with a real type keeps it, whatever the data says.
    manager.loadObjectData(object(REV, "DocumentRevision"));
    EXPECT_EQ(rev->getType(), manager.getType("ItemRevision"));
}

// What an application or a listener keeps of getType() stays a valid type
// of its name for as long as the manager lives: refining or removing the
// object that had it frees nothing, and no later placeholder takes its
// address.
TEST_F(ModelLoadTest, ATypeHandedOutStaysValidWhileTheManagerLives) {
    ModelObject* item = manager.constructObject("Item", ITEM);
    Type* kept = item->getType();
    ASSERT_EQ(kept->getUid(), "UNKNOWN_TYPE_UID");
    manager.loadObjectData(object(ITEM, "Item"));
    EXPECT_EQ(manager.getObject(ITEM), item);
    EXPECT_EQ(item->getType(), manager.getType("Item"));
    EXPECT_EQ(kept->getName(), "Item");

    // A listener keeps the type of an object that the same reply updates
    // and deletes.
    struct TypeKeeper : ChangeListener {
        std::vector<Type*> types;
        void modelObjectsChanged(const Objects& objects) override {
            for (ModelObject* o : objects) types.push_back(o->getType());
        }
    } keeper;
    manager.addChangeListener(&keeper);
    manager.constructObject("Dataset", DOC);
    Base::ServiceData data;
    data.addUpdatedObj(ref(DOC));
    data.addDeletedObj(ref(DOC));
    manager.loadServiceData(data);
    manager.removeChangeListener(&keeper);
    ASSERT_EQ(keeper.types.size(), 1u);
    EXPECT_EQ(keeper.types[0]->getName(), "Dataset");

    // Objects of other names get other placeholders, whatever was freed.
    manager.removeAllObjectsFromStore();
    std::map<Type*, std::string> names{{kept, "Item"}, {keeper.types[0], "Dataset"}};
    for (const char* name : {"Folder", "Form", "Dataset"}) {
        Type* type = manager.constructObject(name, FOLDER)->getType();
        auto [at, added] = names.emplace(type, name);
        EXPECT_EQ(at->second, name);
        EXPECT_EQ(type->getName(), name);
        manager.removeObjectsFromStore(std::vector<std::string>{FOLDER});
    }
    EXPECT_EQ(kept->getName(), "Item");
    EXPECT_EQ(keeper.types[0]->getName(), "Dataset");
}

TEST_F(ModelLoadTest, TheSchemaMapsServerValueTypesAndAFailedTypeIsAskedForAgain) {
    manager.loadModelSchema(
        schema({type("Kinds", "", {{"c", 1}, {"s", 8}, {"r", 9, true}, {"t", 12}, {"u", 14}})}));
    using K = PropertyDescription;
    TypeImpl* kinds = manager.getType("Kinds");
    EXPECT_EQ(kinds->getPropertyDescription("c")->getValueType(), K::VALUE_CHAR);
    EXPECT_EQ(kinds->getPropertyDescription("s")->getValueType(), K::VALUE_STRING);
    EXPECT_EQ(kinds->getPropertyDescription("r")->getValueType(), K::VALUE_MODEL_OBJECT);
    EXPECT_TRUE(kinds->getPropertyDescription("r")->isArray());
    EXPECT_EQ(kinds->getPropertyDescription("t")->getValueType(), K::VALUE_STRING);
    EXPECT_EQ(kinds->getPropertyDescription("u")->getValueType(), K::VALUE_MODEL_OBJECT);
    for (int bad : {0, 15}) {
        server["Broken"] = type("Broken", "", {{"fine", 8}, {"bad", bad}});
        service->requests.clear();
        for (int attempt = 0; attempt < 2; ++attempt) {
            RuntimeException e = thrownBy([&] { manager.loadObjectData(object(ITEM, "Broken")); });
            EXPECT_EQ(e.getType(), RuntimeException::GENERAL_ERROR);
            EXPECT_EQ(e.getMessage(), "Server returned invalid prop");
        }
        EXPECT_EQ(service->requests, (std::vector<Names>{{"Broken"}, {"Broken"}}));
    }

    // A parent that the client cannot read is one the server does not
    // describe: the load that met it fails, later ones make its descendants
    // without it, and the reply's other objects with them.
    server["OnBroken"] = type("OnBroken", "Broken");
    service->requests.clear();
    const std::vector<Base::ModelObject> reply{object(DOC, "OnBroken"), object(FOLDER, "Folder")};
    EXPECT_EQ(thrownBy([&] { manager.loadObjectData(reply); }).getMessage(),
              "Server returned invalid prop");
    const Objects loaded = manager.loadObjectData(reply);
    EXPECT_EQ(loaded[0]->getType()->getParent(), nullptr);
    EXPECT_EQ(loaded[1]->getType()->getParent(), manager.getType("WorkspaceObject"));
    EXPECT_EQ(service->requests,
              (std::vector<Names>{
                  {"Folder", "OnBroken"}, {"Broken", "WorkspaceObject"}, {"POM_object"}}));

    // A fetch of an ancestor that fails leaves the chain to the next load.
    server["QmRev"] = type("QmRev", "ItemRevision");
    const auto answer = service->behaviour;
    int resets = 1;
    service->behaviour = [&](const Names& names) {
        if (names == Names{"ItemRevision"} && resets-- > 0) {
            throw RuntimeException(RuntimeException::GENERAL_ERROR, "connection reset");
        }
        answer(names);
    };
    EXPECT_THROW(manager.loadObjectData(object(REV, "QmRev")), RuntimeException);
    Type* rev = manager.loadObjectData(object(REV, "QmRev"))->getType();
    EXPECT_EQ(rev->getParent(), manager.getType("ItemRevision"));

    // A type the client cannot read that the server describes unasked, and
    // that no chain of the reply needs, fails no load.
    server["Stray"] = type("Stray", "", {{"bad", 0}});
    service->behaviour = [&](Names names) {
        names.push_back("Stray");
        answer(names);
    };
    Type* doc = manager.loadObjectData(object("QaStrayAAAAAAA", "DocumentRevision"))->getType();
    EXPECT_EQ(doc->getParent(), manager.getType("ItemRevision"));
}

TEST_F(ModelLoadTest, SchemaParentsMustExistAndMustNotFormACycle) {
    // Every link that can be made is made before the load fails.
    server["Orphan"] = type("Orphan", "Vanished");
    server["ZzGood"] = type("ZzGood", "ItemRevision");
    EXPECT_EQ(thrownBy([&] {
                  manager.loadObjectData({object(ITEM, "Orphan"), object(REV, "ZzGood")});
              }).getMessage(),
              "Server gave me an parent type, Vanished, that it now denies exists!");
    EXPECT_EQ(manager.getType("ZzGood")->getParent(), manager.getType("ItemRevision"));

    RuntimeException self = thrownBy([&] {
        manager.loadModelSchema(schema({type("S", "S"), type("T", "S")}));
    });
    EXPECT_EQ(self.getType(), RuntimeException::GENERAL_ERROR);
    EXPECT_EQ(self.getMessage(),
              "Server gave me a parent type, S, that descends from its child type S!");
    EXPECT_EQ(manager.getType("T")->getParent(), manager.getType("S"));
    manager.loadModelSchema(schema({type("A", "B"), type("B", "")}));
    EXPECT_THROW(manager.loadModelSchema(schema({type("B", "A")})), RuntimeException);
    EXPECT_EQ(manager.getType("B")->getParent(), nullptr);
    // A later schema may re-parent a type while the chain stays acyclic.
    manager.loadModelSchema(schema({type("C", ""), type("B", "C")}));
    EXPECT_EQ(manager.getType("B")->getParent(), manager.getType("C"));
    EXPECT_EQ(manager.constructObject("A", REV)->getType(), manager.getType("A"));
    manager.loadModelSchema(schema({type("D", ""), type("B", "D"), type("E", "B")}));
    EXPECT_EQ(manager.getType("E")->getParent()->getParent(), manager.getType("D"));
    EXPECT_THROW(manager.loadModelSchema(schema({type("B", "A")})), RuntimeException);
    EXPECT_THROW(manager.loadModelSchema(schema({type("D", "E")})), RuntimeException);
    EXPECT_EQ(manager.getType("B")->getParent(), manager.getType("D"));
    EXPECT_EQ(manager.getType("D")->getParent(), nullptr);
    // A cycle through a type of the application's is refused as well.
    TypeImpl own("TYPE::Own", "Own");
    own.setParent(manager.getType("C"));
    manager.getType("A")->setParent(&own);
    EXPECT_THROW(manager.loadModelSchema(schema({type("C", "A")})), RuntimeException);
    EXPECT_EQ(manager.getType("C")->getParent(), nullptr);
}

// Later schemas re-parent two types at random: a schema is refused exactly
// when the chains it leaves would close a cycle, whatever the order of its
// links, and each object is of the class of the nearest type of its chain
// that has one, as the chain is when it is made.
TEST_F(ModelLoadTest, ReparentedChainsStayAcyclicAndObjectsTakeTheClassOfTheirChain) {
    const Names names{"Item", "Folder", "Dataset", "T0", "T1", "T2", "T3", "T4"};
    std::vector<Base::ModelType> roots;
    for (const std::string& name : names) roots.push_back(type(name, ""));
    manager.loadModelSchema(schema(roots));
    std::map<std::string, const std::type_info*> classes;
    for (const std::string& name : Names{"Item", "Folder", "Dataset"}) {
        const ModelObject& made = *manager.constructObject(name, "BOM::" + name);
        classes[name] = &typeid(made);
    }
    std::mt19937 random(46);
    for (int round = 0; round < 3000; ++round) {
        // Two links, in the order they come; the chains both leave decide.
        std::map<std::string, std::string> links;
        std::vector<Base::ModelType> wire;
        while (links.size() < 2) {
            const std::string& child = names[random() % names.size()];
            const std::string& parent = names[random() % names.size()];
            if (links.emplace(child, parent).second) wire.push_back(type(child, parent));
        }
        bool cycle = false;
        for (const auto& link : links) {
            std::size_t steps = 0;
            for (Type* t = manager.getType(link.first); t != nullptr && !cycle;) {
                auto moved = links.find(t->getName());
                t = moved != links.end() ? manager.getType(moved->second) : t->getParent();
                cycle = ++steps > names.size();
            }
        }
        try {
            manager.loadModelSchema(schema(wire));
            EXPECT_FALSE(cycle) << round;
        } catch (const RuntimeException&) {
            EXPECT_TRUE(cycle) << round;
        }
        for (const auto& [child, parent] : links) {
            EXPECT_TRUE(cycle || manager.getType(child)->getParent() == manager.getType(parent));
        }

        const std::string& made = names[random() % names.size()];
        Type* nearest = manager.getType(made);
        while (nearest != nullptr && classes.count(nearest->getName()) == 0) {
            nearest = nearest->getParent();
        }
        ModelObject* object = manager.constructObject(made, "BOM::" + std::to_string(round));
        EXPECT_EQ(typeid(*object), nearest ? *classes[nearest->getName()] : typeid(ModelObject));
    }
}

// Every type names a parent that the client has not seen: the ancestors
// arrive one level per request, as many levels as the server makes, and
// the stack does not grow with them.
TEST_F(ModelLoadTest, AChainOfParentsOfAnyDepthLoadsLevelByLevelWithoutRecursion) {
    const int depth = 3000;
    const auto level = [](int n) { return "Level" + std::to_string(n); };
    service->behaviour = [&](const Names& names) {
        std::vector<Base::ModelType> described;
        for (const std::string& name : names) {
            const int n = std::stoi(name.substr(5));
            described.push_back(type(name, n + 1 < depth ? level(n + 1) : ""));
        }
        manager.loadModelSchema(schema(described));
    };
    Quillomark::Testing::onStackOf(256 * 1024,
                                   [&] { manager.loadObjectData(object(ITEM, level(0))); });
    EXPECT_EQ(service->requests.size(), std::size_t(depth));
    int ancestors = 0;
    for (Type* t = manager.getObject(ITEM)->getType(); t->getParent(); t = t->getParent()) {
        ++ancestors;
    }
    EXPECT_EQ(ancestors, depth - 1);

    // A server that answers each fetch of a parent by describing the child
    // again under a new parent name does not keep the load asking.
    service->requests.clear();
    service->behaviour = [&](const Names&) {
        if (service->requests.size() > 100) throw RuntimeException();
        manager.loadModelSchema(
            schema({type("Renamed", "Parent" + std::to_string(service->requests.size()))}));
    };
    EXPECT_EQ(thrownBy([&] { manager.loadObjectData(object(DOC, "Renamed")); }).getMessage(),
              "Server keeps naming parent types it does not describe: requests 2, types asked "
              "for and described 1");
    EXPECT_EQ(service->requests.size(), 2u);
}

// The re-login's load of its user runs inside a fetch of the load that met
// the lost session. Neither load asks for what the other learnt the server
// does not describe, and a refusal of the outer load's own leaves no link
// in its chains waiting for the next load.
TEST_F(ModelLoadTest, LoadsNestedInAFetchShareWhatTheyLearnt) {
    std::map<std::string, std::string> parents;
    Names relogin;               // the request in whose fetch the user is loaded
    std::string user = "UserX";  // the user's type
    service->behaviour = [&](const Names& names) {
        if (names == relogin) {
            relogin.clear();
            EXPECT_THROW(manager.loadObjectData(object("QaUsrAAAAAAAAA", user)), RuntimeException);
        }
        std::vector<Base::ModelType> known;
        for (const std::string& name : names) {
            // "Bad" is described as the client cannot read it.
            if (parents.count(name) != 0) {
                known.push_back(type(name, parents.at(name), {{"p", name == "Bad" ? 0 : 8}}));
            }
        }
        manager.loadModelSchema(schema(known));
    };
    const auto asked = [&](const std::string& name) {
        return std::count_if(
            service->requests.begin(), service->requests.end(),
            [&](const Names& r) { return std::find(r.begin(), r.end(), name) != r.end(); });
    };

    parents = {{"A", "Ghost1"}, {"UserX", "Mid"}, {"Mid", "Ghost2"}};
    relogin = {"A", "UserX"};
    const std::vector<Base::ModelObject> reply{object(ITEM, "A"), object(DOC, "UserX")};
    EXPECT_THROW(manager.loadObjectData(reply), RuntimeException);
    EXPECT_EQ(asked("Ghost2"), 1);
    service->requests.clear();
    EXPECT_EQ(manager.loadObjectData(reply).size(), 2u);
    EXPECT_TRUE(service->requests.empty());

    // The outer load learnt of Ghost before the nested one needs it.
    parents = {{"B", "Ghost"}, {"C", "D"}, {"D", "E"}, {"E", ""}, {"UserY", "Ghost"}};
    relogin = {"E"};
    user = "UserY";
    manager.removeAllObjectsFromStore();
    EXPECT_THROW(manager.loadObjectData({object(ITEM, "B"), object(DOC, "C")}), RuntimeException);
    EXPECT_EQ(asked("Ghost"), 1);

    // A parent the client cannot read, met first by the nested load, fails
    // the outer load for what it is.
    parents = {{"F", "Bad"}, {"UserZ", "Bad"}, {"Bad", ""}};
    relogin = {"F"};
    user = "UserZ";
    EXPECT_EQ(thrownBy([&] { manager.loadObjectData(object(REV, "F")); }).getMessage(),
              "Server returned invalid prop");
    EXPECT_EQ(asked("Bad"), 1);
}

// Notes what it hears; `during` runs inside the change notification.
struct Recorder : ChangeListener, DeleteListener, PartialErrorListener {
    Names& log;
    ModelManagerImpl& manager;
    std::string name;
    std::function<void()> during;
    Recorder(Names& log, ModelManagerImpl& manager, std::string name)
        : log(log), manager(manager), name(std::move(name)) {}

    void modelObjectsChanged(const Objects& objects) override {
        std::string text = name + " changed:";
        for (ModelObject* o : objects) text += " " + o->getUid();
        log.push_back(text);
        if (during) during();
    }
    void modelObjectsDeleted(const Names& uids) override {
        std::string text = name + " deleted:";
        for (const std::string& uid : uids) {
            text += " " + uid;
            // The objects are still stored while the listeners hear of them.
            if (uid == ITEM && manager.getObject(uid) != nullptr) text += "(stored)";
        }
        log.push_back(text);
    }
    void handlePartialErrors(const std::vector<ErrorStack>& errors) override {
        log.push_back(name + " errors: " + std::to_string(errors.size()));
    }
};

Base::ErrorStack errorStack(const std::string& clientId, int index, const std::string& uid) {
    Base::ErrorStack stack;
    if (!clientId.empty()) stack.setClientId(clientId);
    if (index != 0) stack.setClientIndex(index);
    if (!uid.empty()) stack.setUid(uid);
    Base::ErrorValue value;
    value.setMessage("The object is locked.");
    value.setCode(215033);
    value.setLevel(3);
    stack.addErrorValue(value);
    return stack;
}

TEST_F(ModelLoadTest, ListenersHearChangesAndDeletionsEveryTimeAndErrorsOnlyWhenThereAreAny) {
    Names log;
    Recorder r(log, manager, "r");
    manager.addChangeListener(&r);
    manager.addChangeListener(&r);
    manager.addDeleteListener(&r);
    manager.addPartialErrorListener(&r);
    manager.addChangeListener(nullptr);
    manager.addDeleteListener(nullptr);
    manager.addPartialErrorListener(nullptr);
    manager.loadServiceData(Base::ServiceData());
    EXPECT_EQ(log, (Names{"r changed:", "r deleted:"}));

    log.clear();
    Base::ServiceData data;
    for (const std::string& uid : {ITEM, REV, DOC}) data.addDataObject(object(uid, "Item"));
    for (const std::string& uid : {ITEM, REV}) data.addUpdatedObj(ref(uid));
    data.addCreatedObj(ref(DOC));
    data.addPlainObj(ref(ITEM));
    data.addPlainObj(ref(""));
    data.addDeletedObj(ref(ITEM));
    data.addDeletedObj(ref("QaGoneAAAAAAAA"));
    data.addPartialError(errorStack("", 0, ""));
    data.addPartialError(errorStack("row-7", 7, DOC));
    ServiceData result = manager.loadServiceData(data);
    EXPECT_EQ(log, (Names{"r changed: " + ITEM + " " + REV,
                          "r deleted: " + ITEM + "(stored) QaGoneAAAAAAAA", "r errors: 2"}));
    EXPECT_THROW(manager.getObject(ITEM), RuntimeException);
    // The result holds no object that the same call removed.
    ModelObject* doc = manager.getObject(DOC);
    EXPECT_EQ(result.getUpdatedObjs(), Objects{manager.getObject(REV)});
    EXPECT_EQ(result.getCreatedObjs(), Objects{doc});
    EXPECT_EQ(result.getPlainObjs(), Objects{nullptr});
    EXPECT_EQ(result.getDeletedUids(), (Names{ITEM, "QaGoneAAAAAAAA"}));
    ASSERT_EQ(result.getPartialErrors().size(), 2u);
    const ErrorStack& bare = result.getPartialErrors()[0];
    EXPECT_EQ(bare.getClientId() + std::to_string(bare.getClientIndex()), "0");
    EXPECT_EQ(bare.getAssociatedObject(), nullptr);
    const ErrorStack& full = result.getPartialErrors()[1];
    EXPECT_EQ(full.getClientId(), "row-7");
    EXPECT_EQ(full.getClientIndex(), 7);
    EXPECT_EQ(full.getAssociatedObject(), doc);
    ASSERT_EQ(full.getErrorValueCount(), 1);
    EXPECT_EQ(full.getErrorValue(0).code, 215033);
    EXPECT_EQ(full.getErrorValue(0).message, "The object is locked.");
    EXPECT_EQ(full.getErrorValue(0).level, 3);

    log.clear();
    manager.removeChangeListener(&r);
    manager.removeDeleteListener(&r);
    manager.loadServiceData(Base::ServiceData());
    EXPECT_TRUE(log.empty());

    // An unknown UID in a result list fails before any listener hears.
    manager.addChangeListener(&r);
    Base::ServiceData unknown;
    unknown.addUpdatedObj(ref(ITEM));
    EXPECT_EQ(thrownBy([&] { manager.loadServiceData(unknown); }).getMessage(),
              "Asked for unloaded object");
    EXPECT_TRUE(log.empty());
}

TEST_F(ModelLoadTest, ListenersMayRegisterAndRemoveListenersWhileTheyAreCalled) {
    Names log;
    Recorder a(log, manager, "a"), b(log, manager, "b"), late(log, manager, "late");
    manager.addChangeListener(&a);
    manager.addChangeListener(&b);
    // Whichever is called first removes the other and adds a third.
    a.during = [&] { manager.removeChangeListener(&b), manager.addChangeListener(&late); };
    b.during = [&] { manager.removeChangeListener(&a), manager.addChangeListener(&late); };
    manager.loadServiceData(Base::ServiceData());
    EXPECT_EQ(log.size(), 1u);
    log.clear();
    a.during = b.during = nullptr;
    manager.loadServiceData(Base::ServiceData());
    EXPECT_EQ(log.size(), 2u);
    EXPECT_NE(std::find(log.begin(), log.end(), "late changed:"), log.end());
}

// Listeners that empty the store: the listeners called after them and the
// caller get no object that is gone.
TEST_F(ModelLoadTest, WhatListenersRemoveIsHandedToNoOneAfterThem) {
    struct Emptier : ChangeListener, PartialErrorListener {
        ModelManagerImpl& manager;
        std::vector<std::size_t>& heard;
        explicit Emptier(ModelManagerImpl& manager, std::vector<std::size_t>& heard)
            : manager(manager), heard(heard) {}
        void modelObjectsChanged(const Objects&) override {
            heard.push_back(0);
            manager.removeAllObjectsFromStore();
        }
        void handlePartialErrors(const std::vector<ErrorStack>&) override {
            manager.removeAllObjectsFromStore();
        }
    };
    struct Reader : ChangeListener {
        std::vector<std::size_t>& heard;
        explicit Reader(std::vector<std::size_t>& heard) : heard(heard) {}
        void modelObjectsChanged(const Objects& objects) override {
            std::size_t count = 0;
            for (ModelObject* o : objects) count += o->getUid().size() == 14 ? 1 : 0;
            heard.push_back(count + 1);
        }
    };
    std::vector<std::size_t> heard;
    Emptier emptier(manager, heard);
    Reader reader(heard);
    manager.addChangeListener(&emptier);
    manager.addChangeListener(&reader);
    Base::ServiceData data;
    for (const std::string& uid : {ITEM, REV, DOC}) data.addDataObject(object(uid, "Item"));
    data.addUpdatedObj(ref(ITEM));
    data.addCreatedObj(ref(REV));
    data.addPlainObj(ref(DOC));
    data.addPlainObj(ref(""));
    data.addPartialError(errorStack("", 0, REV));
    ServiceData result = manager.loadServiceData(data);
    // The reader hears the object only when the emptier comes after it.
    EXPECT_TRUE(heard == (std::vector<std::size_t>{0, 1}) ||
                heard == (std::vector<std::size_t>{2, 0}));
    EXPECT_TRUE(result.getUpdatedObjs().empty());
    EXPECT_TRUE(result.getCreatedObjs().empty());
    EXPECT_EQ(result.getPlainObjs(), Objects{nullptr});
    EXPECT_EQ(result.getPartialErrors().at(0).getAssociatedObject(), nullptr);

    // An object that a partial error names, removed by a partial-error
    // listener.
    manager.removeChangeListener(&emptier);
    manager.removeChangeListener(&reader);
    manager.addPartialErrorListener(&emptier);
    Base::ServiceData failed;
    failed.addDataObject(object(ITEM, "Item"));
    failed.addPlainObj(ref(ITEM));
    failed.addPartialError(errorStack("", 0, ITEM));
    result = manager.loadServiceData(failed);
    EXPECT_TRUE(result.getPlainObjs().empty());
    ASSERT_EQ(result.getPartialErrors().size(), 1u);
    EXPECT_EQ(result.getPartialErrors()[0].getAssociatedObject(), nullptr);
}

TEST_F(ModelLoadTest, AReferenceToAnObjectTheServerDeletedReadsAsUnloaded) {
    Base::ServiceData data;
    data.addDataObject(object(ITEM, "Item", {property("revision_list", {REV})}));
    data.addDataObject(object(REV, "ItemRevision"));
    manager.loadServiceData(data);
    // A reference to an object later in the same reply resolves.
    Property* list = manager.getObject(ITEM)->getProperty("revision_list");
    EXPECT_EQ(list->getModelObjectArrayValue(), Objects{manager.getObject(REV)});
    Base::ServiceData deletion;
    deletion.addDeletedObj(ref(REV));
    manager.loadServiceData(deletion);
    EXPECT_EQ(thrownBy([&] { list->getModelObjectArrayValue(); }).getMessage(),
              "Asked for unloaded object");
}

// The server describes Custom → Item → WorkspaceObject → POM_object one
// type per request. Whatever cuts a load of that chain short (a lost
// connection, a server error or running out of memory, at each request,
// in a load of objects, of service data or of a schema, or in the load of
// a re-login nested in another load's fetch), and also while a fetch of it
// runs, a type comes with its whole chain or not at all, and an object made
// meanwhile is of a placeholder; a later load makes that same object (its
// UID, its data, the pointer kept of it) a Model::Item, and hands it out so.
TEST_F(ModelLoadTest, NoTypeOrObjectIsHandedOutOfAChainWhoseLinksWait) {
    server["Custom"] = type("Custom", "Item");
    server["Holder"] = type("Holder", "", {{"held", 9}});
    const Names chain{"Custom", "Item", "WorkspaceObject", "POM_object"};
    const auto namesUp = [](Type* t) {
        Names names;
        for (; t != nullptr; t = t->getParent()) names.push_back(t->getName());
        return names;
    };
    const std::function<void()> failures[] = {
        [] { throw Quillomark::Schemas::Soa::_2006_03::Exceptions::ConnectionException("reset"); },
        [] { throw Quillomark::Schemas::Soa::_2006_03::Exceptions::ServiceException("failed"); },
        [] { throw std::bad_alloc(); }};
    struct Case {
        std::string entry;   // what meets the failure, or what else makes the object first
        std::string failAt;  // the request that fails, once
        int failure;
    };
    std::vector<Case> cases{{"placeholder", "", 0}, {"inside a fetch", "", 0}, {"listener", "", 0}};
    for (const char* entry : {"objects", "object", "service data", "schema", "re-login"}) {
        for (const std::string& name : chain) {
            for (int failure = 0; failure < 3; ++failure) cases.push_back({entry, name, failure});
        }
    }
    for (const Case& c : cases) {
        const std::string row = c.entry + " " + c.failAt + " " + std::to_string(c.failure);
        Connection connection("http://localhost:1/tc", nullptr, Connection::HTTP, Connection::REST,
                              false);
        auto& m = *static_cast<ModelManagerImpl*>(connection.getModelManager());
        auto* fetches = FakeInternalSessionService::install(connection);
        ModelObject* first = nullptr;
        const auto probe = [&] {
            for (std::size_t i = 0; i < chain.size(); ++i) {
                try {
                    EXPECT_EQ(namesUp(m.getType(chain[i])), Names(chain.begin() + i, chain.end()))
                        << row;
                } catch (const RuntimeException& e) {
                    EXPECT_EQ(e.getMessage(), "Type " + chain[i]) << row;
                }
            }
            ModelObject* made = m.constructObject("Custom", ITEM);
            const bool placeholder = made->getType()->getUid() == "UNKNOWN_TYPE_UID";
            EXPECT_EQ(namesUp(made->getType()), placeholder ? Names{"Custom"} : chain) << row;
            EXPECT_EQ(typeid(*made) == typeid(Model::Item), !placeholder) << row;
            if (first == nullptr) first = made;
        };
        std::string failAt = c.failAt;
        fetches->behaviour = [&](const Names& names) {
            if (c.entry == "re-login" && names == Names{"Holder"}) {
                try {
                    m.loadObjectData(object(ITEM, "Custom"));
                } catch (...) {
                }
                probe();
            }
            if (c.entry == "inside a fetch" && names == Names{"WorkspaceObject"}) probe();
            if (names == Names{failAt}) {
                failAt.clear();
                failures[c.failure]();
            }
            std::vector<Base::ModelType> known;
            for (const std::string& name : names) {
                if (server.count(name) != 0) known.push_back(server.at(name));
            }
            m.loadModelSchema(schema(known));
        };
        ModelObject* holder = m.loadObjectData(object(DOC, "Holder", {property("held", {ITEM})}));
        try {
            if (c.entry == "objects") m.loadObjectData({object(ITEM, "Custom")});
            if (c.entry == "object") m.loadObjectData(object(ITEM, "Custom"));
            if (c.entry == "service data" || c.entry == "inside a fetch") {
                Base::ServiceData data;
                data.addDataObject(object(ITEM, "Custom"));
                m.loadServiceData(data);
            }
            if (c.entry == "schema") m.loadModelSchema(schema({server.at("Custom")}));
        } catch (...) {
        }
        probe();
        EXPECT_EQ(holder->getProperty("held")->getModelObjectValue(), m.getObject(ITEM)) << row;

        // The load may also be a listener's, after the reply's lists are made.
        Names heard;
        Recorder listener(heard, m, "r");
        Base::ServiceData data;
        if (c.entry == "listener") {
            listener.during = [&] { m.loadObjectData(object(ITEM, "Custom")); };
            m.addChangeListener(&listener);
        } else {
            data.addDataObject(object(ITEM, "Custom"));
        }
        data.addUpdatedObj(ref(ITEM));
        data.addPlainObj(ref(ITEM));
        data.addPartialError(errorStack("", 0, ITEM));
        const ServiceData result = m.loadServiceData(data);
        ModelObject* now = m.getObject(ITEM);
        EXPECT_EQ(typeid(*now), typeid(Model::Item)) << row;
        EXPECT_EQ(namesUp(now->getType()), chain) << row;
        EXPECT_EQ(result.getUpdatedObjs(), Objects{now}) << row;
        EXPECT_EQ(result.getPlainObjs(), Objects{now}) << row;
        EXPECT_EQ(result.getPartialErrors().at(0).getAssociatedObject(), now) << row;
        EXPECT_EQ(holder->getProperty("held")->getModelObjectValue(), now) << row;
        // What the application kept of the object reads the same data.
        EXPECT_EQ(first->getUid(), ITEM) << row;
        EXPECT_EQ(first->getType(), now->getType()) << row;
    }
}

// An object made of a placeholder gives way to one of its loaded type's
// class; whichever way its UID then leaves the store, both go, once, and
// the UID may be made and refined again.
TEST_F(ModelLoadTest, AnObjectThatGaveWayLeavesTheStoreWithItsSuccessor) {
    const std::function<void(ModelObject*)> removals[] = {
        [&](ModelObject*) { manager.removeObjectsFromStore(Names{ITEM}); },
        [&](ModelObject* kept) {
            Objects list{kept};
            manager.removeObjectsFromStore(list);
        },
        [&](ModelObject*) {
            Base::ServiceData data;
            data.addDeletedObj(ref(ITEM));
            manager.loadServiceData(data);
        },
        [&](ModelObject*) { manager.removeAllObjectsFromStore(); },
        [&](ModelObject*) {},  // goes with the manager
    };
    int round = 0;
    for (const auto& remove : removals) {
        const std::string name = "Custom" + std::to_string(round++);
        server[name] = type(name, "Item");
        ModelObject* kept = manager.constructObject(name, ITEM);
        ModelObject* typed = manager.loadObjectData(object(ITEM, name));
        EXPECT_EQ(typeid(*typed), typeid(Model::Item)) << name;
        EXPECT_EQ(kept->getType(), typed->getType()) << name;
        remove(kept);
    }
}

// A load that lists a UID first by another type and then by the loaded
// type of its placeholder hands out the stored object for both.
TEST_F(ModelLoadTest, AnObjectListedTwiceIsHandedOutAsTheOneStored) {
    server["Custom"] = type("Custom", "Item");
    manager.constructObject("Custom", ITEM);
    const Objects loaded = manager.loadObjectData({object(ITEM, "Folder"), object(ITEM, "Custom")});
    EXPECT_EQ(loaded, Objects(2, manager.getObject(ITEM)));
}

// A server may give its types any UID, the placeholders' own too: an
// object of such a type that a later load describes by a descendant of
// another class must neither be lost to the reply that lists it nor stay
// behind, unfreed, once its UID leaves the store.
TEST_F(ModelLoadTest, ATypeNamedWithThePlaceholderUidLeavesNoObjectBehind) {
    server["Mid"] = type("Mid", "WorkspaceObject");
    server["Folder"] = type("Folder", "Mid");
    server["Item"] = type("Item", "Folder");
    for (auto& entry : server) entry.second.setUid("UNKNOWN_TYPE_UID");
    for (const std::string& uid : {ITEM, DOC}) {
        manager.loadObjectData(object(uid, "Mid"));
        manager.loadObjectData(object(uid, "Folder"));
        Names heard;
        Recorder listener(heard, manager, "r");
        listener.during = [&] { manager.loadObjectData(object(uid, "Item")); };
        manager.addChangeListener(&listener);
        Base::ServiceData data;
        data.addUpdatedObj(ref(uid));
        const ServiceData result = manager.loadServiceData(data);
        manager.removeChangeListener(&listener);
        EXPECT_EQ(result.getUpdatedObjs(), Objects{manager.getObject(uid)}) << uid;
        manager.removeObjectsFromStore(Names{uid});
    }
}

// Everything the model hands the application, held across every call that
// may change the store and read after it, as an application that calls on
// while it holds them reads them (in a loop over a list, say). What a call
// ends, by the model's promise, is not read: what lasts until the UID of
// FOLDER, ITEM, REV or OTHER leaves the store, or until a load sends
// FOLDER's properties again (RESENT). Every call is checked to have done
// what it names.
TEST_F(ModelLoadTest, WhatTheModelHandsOutLastsAcrossEveryCallThatChangesTheStore) {
    static const std::string OTHER = "QaOthAAAAAAAAA", NEW = "QaNewAAAAAAAAA",
                             USER = "QaUsrAAAAAAAAA", GONE = "QaGoneAAAAAAAA",
                             RESENT = "FOLDER's properties", ALL = "every object";
    server["Folder"] = type("Folder", "WorkspaceObject",
                            {{"contents", 9, true},
                             {"OVIK_external_object_link", 9, true},
                             {"object_name", 8},
                             {"tags", 8, true},
                             {"counts", 5, true},
                             {"date_released", 2},
                             {"owner", 9}});
    server["Custom"] = type("Custom", "Item");
    server["Dataset"] = type("Dataset", "WorkspaceObject");
    server["User"] = type("User", "POM_object");
    server["Extra"] = type("Extra", "");
    const auto folderData = [&](const std::string& label) {
        return object(
            FOLDER, "Folder",
            {property("contents", {REV, ITEM}), property("OVIK_external_object_link", {ITEM}),
             property("object_name", {label}), property("tags", {"a", "b"}),
             property("counts", {"1", "2"}), property("date_released", {"2008-03-12T14:20:05"}),
             property("owner", {REV}), property("note", {"x"})});
    };

    // The re-login runs against the loopback PLM service: a request on a
    // connection without a session logs in again, which loads the user.
    LoopbackPlmService plm;

    // Hands a listener's arguments on to what the test runs in its call,
    // once: that may load service data again.
    struct Hearer : ChangeListener, DeleteListener, PartialErrorListener {
        std::function<void()> on[3];
        const Objects* changed = nullptr;
        const Names* deleted = nullptr;
        const std::vector<ErrorStack>* errors = nullptr;
        void modelObjectsChanged(const Objects& objects) override {
            if (on[0]) changed = &objects;
            hear(0);
        }
        void modelObjectsDeleted(const Names& uids) override {
            if (on[1]) deleted = &uids;
            hear(1);
        }
        void handlePartialErrors(const std::vector<ErrorStack>& stacks) override {
            if (on[2]) errors = &stacks;
            hear(2);
        }
        void hear(int which) {
            if (on[which]) std::exchange(on[which], nullptr)();
        }
    };
    // A store as an application has it: ITEM and DOC made before their
    // types were loaded (loading ITEM gives it another class, DOC keeps its
    // own), REV and OTHER loaded, and FOLDER loaded with references to them
    // by a reply whose service data the application keeps.
    struct World {
        explicit World(const std::string& hostPath)
            : connection(hostPath, &credentials, Connection::HTTP, Connection::REST, false) {
            credentials.credentials = {LoopbackPlmService::USER, LoopbackPlmService::PASSWORD, "",
                                       "", ""};
        }
        Quillomark::Testing::RecordingCredentialManager credentials;
        Connection connection;
        ModelManagerImpl& m = *static_cast<ModelManagerImpl*>(connection.getModelManager());
        FakeInternalSessionService* fetches = FakeInternalSessionService::install(connection);
        std::function<void()> inNextFetch;  // a re-login's load
        ModelObject *item, *doc, *rev, *other, *folder;
        ServiceData result;
        Preferences preferences;
        Hearer hearer;
        Model::Folder& typed() { return dynamic_cast<Model::Folder&>(*folder); }
        Property* property(const std::string& name) { return folder->getProperty(name); }
    };
    const auto setUp = [&](World& w) {
        w.fetches->behaviour = [&](const Names& names) {
            if (w.inNextFetch) std::exchange(w.inNextFetch, nullptr)();
            std::vector<Base::ModelType> known;
            for (const std::string& name : names) {
                if (server.count(name) != 0) known.push_back(server.at(name));
            }
            w.m.loadModelSchema(schema(known));
        };
        w.item = w.m.constructObject("Custom", ITEM);
        w.doc = w.m.constructObject("Item", DOC);
        w.rev = w.m.loadObjectData(object(REV, "ItemRevision"));
        w.other =
            w.m.loadObjectData(std::vector<Base::ModelObject>{object(OTHER, "ItemRevision")})[0];
        Base::ServiceData data;
        data.addDataObject(folderData("Bracket"));
        data.addUpdatedObj(ref(FOLDER));
        data.addCreatedObj(ref(REV));
        data.addPlainObj(ref(ITEM));
        data.addDeletedObj(ref(GONE));
        data.addPartialError(errorStack("", 0, REV));
        w.result = w.m.loadServiceData(data);
        Base::Preferences preferences;
        Base::Preference colour;
        colour.setName("colour");
        Base::PreferenceValue red;
        red.setValue("red");
        colour.addValue(red);
        preferences.addPref(colour);
        w.preferences = w.m.loadPreferences(preferences);
        w.folder = w.m.getObject(FOLDER);
        w.m.addChangeListener(&w.hearer);
        w.m.addDeleteListener(&w.hearer);
        w.m.addPartialErrorListener(&w.hearer);
    };

    // The calls, each with what it ends, run and checked to do what it names.
    struct Change {
        std::string name;
        Names ends;
        std::function<void(World&)> run;
    };
    std::vector<Change> changes;
    const auto change = [&](std::string name, Names ends, std::function<void(World&)> run) {
        changes.push_back(Change{std::move(name), std::move(ends), std::move(run)});
    };
    change("a load that adds an object of a type not loaded", {}, [&](World& w) {
        w.m.loadObjectData(object(NEW, "Dataset"));
        EXPECT_EQ(w.fetches->requests.back(), Names{"Dataset"});
    });
    change("a load that adds properties to the holder", {}, [&](World& w) {
        w.m.loadObjectData(object(FOLDER, "Folder", {property("extra", {"1"})}));
        EXPECT_EQ(w.folder->getPropertyNames().size(), 9u);
    });
    change("a load that refines a placeholder into another class", {}, [&](World& w) {
        ModelObject* now = w.m.loadObjectData(object(ITEM, "Custom"));
        EXPECT_TRUE(now != w.item && typeid(*now) == typeid(Model::Item));
    });
    change("a load that refines a placeholder in its class", {}, [&](World& w) {
        EXPECT_EQ(w.m.loadObjectData(object(DOC, "Item")), w.doc);
        EXPECT_EQ(w.doc->getType(), w.m.getType("Item"));
    });
    change("a re-login, in another load's fetch", {}, [&](World& w) {
        w.inNextFetch = [&] {
            Quillomark::Soa::Common::Xml::SAXToNodeParser reply;
            SessionManager::getSessionManager(&w.connection)
                ->getRestSender()
                ->invoke(LoopbackPlmService::QUERY_SERVICE, LoopbackPlmService::QUERY_OPERATION,
                         "<findFolderInput folderName=\"Home\"/>", reply);
        };
        const std::size_t before = plm.requests().size();
        w.m.loadObjectData(object(NEW, "Dataset"));
        const Names requests = plm.requests();
        EXPECT_EQ(Names(requests.begin() + before, requests.end()),
                  (Names{"Query-2007-06-Finder/findFolder", "Core-2006-03-Session/login",
                         "Core-2007-01-Session/setObjectPropertyPolicy",
                         "Query-2007-06-Finder/findFolder"}));
        EXPECT_NE(w.m.getObject(NEW), nullptr);
    });
    change("a schema that re-parents the holder's type", {}, [&](World& w) {
        w.m.loadModelSchema(schema({server.at("Extra"), type("Folder", "Extra")}));
        EXPECT_EQ(w.folder->getType()->getParent(), w.m.getType("Extra"));
    });
    change("a load that fails part-way", {}, [&](World& w) {
        EXPECT_THROW(w.m.loadObjectData({object(NEW, "ItemRevision"), object(USER, "Nonsense")}),
                     RuntimeException);
        EXPECT_NE(w.m.getObject(NEW), nullptr);
    });
    change("a load that sends the holder's properties again", {RESENT}, [&](World& w) {
        w.m.loadObjectData(folderData("Bracket 2"));
        EXPECT_EQ(w.property("object_name")->getStringValue(), "Bracket 2");
    });
    for (const std::string& uid : {OTHER, REV}) {
        change("service data that deletes " + uid, {uid}, [&, uid](World& w) {
            Base::ServiceData data;
            data.addDeletedObj(ref(uid));
            w.m.loadServiceData(data);
            EXPECT_THROW(w.m.getObject(uid), RuntimeException);
        });
    }
    change("a listener that removes ITEM during a load", {ITEM}, [&](World& w) {
        Names heard;
        Recorder remover(heard, w.m, "remover");
        remover.during = [&] { w.m.removeObjectsFromStore(Names{ITEM}); };
        w.m.addChangeListener(&remover);
        w.m.loadServiceData(Base::ServiceData());
        w.m.removeChangeListener(&remover);
        EXPECT_THROW(w.m.getObject(ITEM), RuntimeException);
    });
    change("a removal of OTHER by UID", {OTHER}, [&](World& w) {
        w.m.removeObjectsFromStore(Names{OTHER});
        EXPECT_THROW(w.m.getObject(OTHER), RuntimeException);
    });
    change("a removal of REV by pointer", {REV}, [&](World& w) {
        Objects removed{w.rev};
        w.m.removeObjectsFromStore(removed);
        EXPECT_THROW(w.m.getObject(REV), RuntimeException);
    });
    change("a removal of every object", {ALL}, [&](World& w) {
        w.m.removeAllObjectsFromStore();
        EXPECT_THROW(w.m.getObject(FOLDER), RuntimeException);
    });

    // Reads the objects between the held iterators: each has the UID
    // listed and, in a list the model keeps, is the object now stored
    // under it.
    const auto readAll = [](World& w, Objects::const_iterator at, Objects::const_iterator end,
                            const Names& uids, bool kept) {
        ASSERT_EQ(static_cast<std::size_t>(end - at), uids.size());
        for (const std::string& uid : uids) {
            EXPECT_EQ((*at)->getUid(), uid);
            if (kept) {
                EXPECT_EQ(*at, w.m.getObject(uid));
            }
            ++at;
        }
    };
    // What the application holds, what ends it, and the listener (0 to 2)
    // that hands it, which holds it during its call; taking it returns the
    // read after.
    struct Hold {
        std::string what;
        Names endsWith;
        int listener;
        std::function<std::function<void()>(World&)> take;
    };
    std::vector<Hold> holds;
    const auto hold = [&](std::string what, Names endsWith, int listener,
                          std::function<std::function<void()>(World&)> take) {
        holds.push_back(Hold{std::move(what), std::move(endsWith), listener, std::move(take)});
    };
    hold("an object constructObject made of a placeholder", {ITEM}, -1, [&](World& w) {
        return [&w, o = w.item] {
            EXPECT_EQ(o->getUid(), ITEM);
            EXPECT_EQ(o->getType(), w.m.getObject(ITEM)->getType());
        };
    });
    hold("its UID", {ITEM}, -1,
         [&](World& w) { return [&uid = w.item->getUid()] { EXPECT_EQ(uid, ITEM); }; });
    hold("its placeholder type", {}, -1,
         [&](World& w) { return [t = w.item->getType()] { EXPECT_EQ(t->getName(), "Custom"); }; });
    hold("an object of loadObjectData's list", {OTHER}, -1,
         [&](World& w) { return [o = w.other] { EXPECT_EQ(o->getUid(), OTHER); }; });
    hold("the object loadObjectData of one returned", {REV}, -1, [&](World& w) {
        return [o = w.rev] { EXPECT_EQ(o->getType()->getName(), "ItemRevision"); };
    });
    hold("an object getObject returned", {FOLDER}, -1,
         [&](World& w) { return [o = w.m.getObject(FOLDER)] { EXPECT_EQ(o->getUid(), FOLDER); }; });
    hold("a property", {FOLDER, RESENT}, -1, [&](World& w) {
        return [p = w.property("object_name")] { EXPECT_EQ(p->getStringValue(), "Bracket"); };
    });
    hold("a reference list and iterators into it", {FOLDER, REV, ITEM, RESENT}, -1, [&](World& w) {
        Property* p = w.property("contents");
        const Objects& list = p->getModelObjectArrayValue();
        return [&, p, begin = list.begin(), end = list.end()] {
            const Objects& again = p->getModelObjectArrayValue();
            readAll(w, begin, end, {REV, ITEM}, true);
            EXPECT_TRUE(&again == &list && begin == again.begin());
        };
    });
    hold("a reference", {FOLDER, REV, RESENT}, -1, [&](World& w) {
        Property* p = w.property("owner");
        return [p, o = p->getModelObjectValue()] {
            EXPECT_EQ(p->getModelObjectValue(), o);
            EXPECT_EQ(o->getUid(), REV);
        };
    });
    hold("a typed object list and iterators into it", {FOLDER, ITEM, RESENT}, -1, [&](World& w) {
        const Objects& list = w.typed().get_OVIK_external_object_link();
        return [&, begin = list.begin(), end = list.end()] {
            const Objects& again = w.typed().get_OVIK_external_object_link();
            readAll(w, begin, end, {ITEM}, true);
            EXPECT_TRUE(&again == &list && begin == again.begin());
        };
    });
    hold("a typed count and element", {FOLDER, REV, ITEM, RESENT}, -1, [&](World& w) {
        return [&w, first = w.typed().get_contents_at(0), n = w.typed().count_contents()] {
            EXPECT_EQ(w.typed().count_contents(), n);
            EXPECT_EQ(w.typed().get_contents_at(0), first);
            EXPECT_EQ(first->getUid(), REV);
        };
    });
    hold("a text of a typed accessor", {FOLDER, RESENT}, -1, [&](World& w) {
        return [p = w.property("object_name"), &text = w.typed().get_object_name()] {
            EXPECT_EQ(&p->getStringValue(), &text);
            EXPECT_EQ(text, "Bracket");
        };
    });
    hold("a date of a typed accessor", {FOLDER, RESENT}, -1, [&](World& w) {
        return [p = w.property("date_released"), &date = w.typed().get_date_released()] {
            EXPECT_EQ(&p->getDateValue(), &date);
            EXPECT_EQ(date, DateTime(2008, 3, 12, 14, 20, 5));
        };
    });
    hold("a list of texts and iterators into it", {FOLDER, RESENT}, -1, [&](World& w) {
        Property* p = w.property("tags");
        const Names& list = p->getStringArrayValue();
        return [p, &list, begin = list.begin(), end = list.end()] {
            EXPECT_EQ(&p->getStringArrayValue(), &list);
            EXPECT_EQ(Names(begin, end), (Names{"a", "b"}));
        };
    });
    hold("a list of numbers", {FOLDER, RESENT}, -1, [&](World& w) {
        Property* p = w.property("counts");
        const std::vector<int>& list = p->getIntArrayValue();
        return [p, &list, begin = list.begin()] {
            EXPECT_EQ(&p->getIntArrayValue(), &list);
            EXPECT_EQ(begin[1], 2);
        };
    });
    hold("the defaults of a property without description and of the other form", {}, -1,
         [&](World& w) {
             return [&none = w.property("note")->getStringValue(),
                     &noObjects = w.property("note")->getModelObjectArrayValue(),
                     &noTexts = w.property("object_name")->getStringArrayValue()] {
                 EXPECT_TRUE(none.empty() && noObjects.empty() && noTexts.empty());
             };
         });
    hold("a property's description and its name", {}, -1, [&](World& w) {
        PropertyDescription* d = w.property("contents")->getPropertyDescription();
        return [d, &name = d->getName()] { EXPECT_TRUE(name == "contents" && d->isArray()); };
    });
    hold("a type of the manager", {}, -1, [&](World& w) {
        return [t = w.m.getType("Folder")] {
            EXPECT_EQ(t->getPropertyDescription("object_name")->getName(), "object_name");
        };
    });
    hold("the lists of returned service data and their objects", {FOLDER, REV, ITEM}, -1,
         [&](World& w) {
             const ServiceData& r = w.result;
             return [&, &updated = r.getUpdatedObjs(), &created = r.getCreatedObjs(),
                     &plain = r.getPlainObjs(), &deleted = r.getDeletedUids()] {
                 readAll(w, updated.begin(), updated.end(), {FOLDER}, false);
                 readAll(w, created.begin(), created.end(), {REV}, false);
                 readAll(w, plain.begin(), plain.end(), {ITEM}, false);
                 EXPECT_EQ(deleted, Names{GONE});
             };
         });
    hold("the values of preferences and the shared empty list", {}, -1, [&](World& w) {
        return [&values = w.preferences.getPreference("colour"),
                &none = w.preferences.getPreference("size")] {
            EXPECT_TRUE(values == Names{"red"} && none.empty());
        };
    });
    hold("a partial error of returned service data and its object", {REV}, -1, [&](World& w) {
        return [&error = w.result.getPartialErrors().at(0)] {
            EXPECT_EQ(error.getErrorValue(0).message, "The object is locked.");
            EXPECT_EQ(error.getAssociatedObject()->getUid(), REV);
        };
    });
    hold("the objects a change listener is handed", {FOLDER}, 0, [&](World& w) {
        const Objects& list = *w.hearer.changed;
        return [&, begin = list.begin(), end = list.end()] {
            readAll(w, begin, end, {FOLDER}, false);
        };
    });
    hold("the UIDs a delete listener is handed", {}, 1, [&](World& w) {
        return [begin = w.hearer.deleted->begin()] { EXPECT_EQ(*begin, GONE); };
    });
    hold("the errors a partial-error listener is handed", {REV}, 2, [&](World& w) {
        return [&errors = *w.hearer.errors] {
            EXPECT_EQ(errors.at(0).getAssociatedObject()->getUid(), REV);
        };
    });

    int read = 0, ended = 0;
    for (const Hold& h : holds) {
        for (const Change& c : changes) {
            SCOPED_TRACE(h.what + " across " + c.name);
            bool ends = false;
            for (const std::string& end : c.ends) {
                ends = ends ||
                       (end == ALL ? !h.endsWith.empty()
                                   : std::count(h.endsWith.begin(), h.endsWith.end(), end) != 0);
            }
            World w(plm.hostPath());
            setUp(w);
            const auto cell = [&] {
                const std::function<void()> readAfter = h.take(w);
                c.run(w);
                if (!ends) readAfter();
                ++(ends ? ended : read);
            };
            if (h.listener < 0) {
                cell();
                continue;
            }
            w.hearer.on[h.listener] = cell;
            Base::ServiceData heard;
            heard.addUpdatedObj(ref(FOLDER));
            heard.addDeletedObj(ref(GONE));
            heard.addPartialError(errorStack("", 0, REV));
            w.m.loadServiceData(heard);
        }
    }
    EXPECT_EQ(read + ended, static_cast<int>(holds.size() * changes.size()));
    EXPECT_EQ(ended, 49);
}

TEST_F(ModelLoadTest, PreferencesCollectTheValuesOfEveryOccurrenceOfAName) {
    Base::Preferences wire;
    for (auto [name, values] : std::vector<std::pair<std::string, Names>>{
             {"colour", {"red", "green"}}, {"size", {}}, {"colour", {"blue"}}}) {
        Base::Preference p;
        p.setName(name);
        for (const std::string& v : values) {
            Base::PreferenceValue value;
            value.setValue(v);
            p.addValue(value);
        }
        wire.addPref(p);
    }
    Preferences prefs = manager.loadPreferences(wire);
    EXPECT_EQ(prefs.getPreference("colour"), (Names{"red", "green", "blue"}));
    EXPECT_TRUE(prefs.containsPreference("size"));
    EXPECT_EQ(prefs.getPreferences().size(), 2u);
}

}  // namespace
