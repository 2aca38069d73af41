// Replies that arrive as XML text: parsed into wire values and loaded, with
// the missing types fetched from a loopback server through the connection's
// own internal session service.

#include <soa/client/Connection.hxx>
#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/Property.hxx>
#include <soa/client/ServiceData.hxx>
#include <soa/client/Type.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/schemas/base/ServiceData.hxx>
#include <soa/services/core/SessionService.hxx>

#include "tests/support/LoopbackHttpServer.hxx"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace Quillomark::Soa::Client;
using Quillomark::Soa::Common::DateTime;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;
using Quillomark::Testing::HttpReply;
using Quillomark::Testing::LoopbackHttpServer;
namespace Base = Quillomark::Schemas::Soa::_2006_03::Base;

const char* const TYPES_PATH = "/RestServices/Internal-Core-2006-03-Types/getTypeDescriptions";

const char* const ITEM_SCHEMA = R"(<modelSchema>
  <types name="Item" uid="TYPE::Item" parentTypeName="WorkspaceObject">
    <propDescriptors name="item_id" type="8" anArray="false" modifiable="false"/>
    <propDescriptors name="revision_list" type="9" anArray="true" modifiable="false"/>
  </types>
  <types name="ItemRevision" uid="TYPE::ItemRevision" parentTypeName="WorkspaceObject">
    <propDescriptors name="items_tag" type="9" anArray="false" modifiable="false"/>
    <propDescriptors name="creation_date" type="2" anArray="false" modifiable="false"/>
  </types>
</modelSchema>)";

const char* const ROOT_SCHEMA =
    R"(<modelSchema><types name="WorkspaceObject" uid="TYPE::WorkspaceObject"/></modelSchema>)";

class XmlLoadingTest : public ::testing::Test {
protected:
    LoopbackHttpServer server;
    Connection connection{server.url(), nullptr, Connection::HTTP, Connection::REST, true};
    ModelManagerImpl& manager = *static_cast<ModelManagerImpl*>(connection.getModelManager());
};

TEST_F(XmlLoadingTest, AServiceDataReplyLoadsWithItsTypesFetchedFromTheServer) {
    server.push(HttpReply::ok(ITEM_SCHEMA));
    server.push(HttpReply::ok(ROOT_SCHEMA));

    SAXToNodeParser parser;
    Base::ServiceData wire;
    wire.parse(parser.parseString(R"(<serviceData>
  <updatedObjs uid="QaBcAAAAAAAAAA"/>
  <createdObjs uid="QaBdAAAAAAAAAA"/>
  <dataObjects uid="QaBcAAAAAAAAAA" type="Item">
    <properties name="item_id" uiValue="000123"><values value="000123"/></properties>
    <properties name="revision_list" uiValue="A, B">
      <values value="QaBdAAAAAAAAAA"/><values value=""/>
    </properties>
  </dataObjects>
  <dataObjects uid="QaBdAAAAAAAAAA" type="ItemRevision">
    <properties name="items_tag" uiValue="000123"><values value="QaBcAAAAAAAAAA"/></properties>
    <properties name="creation_date" uiValue="12 March&#10;2008">
      <values value="2008-03-12T14:20:05"/>
    </properties>
  </dataObjects>
  <dataObjects uid="AAAAAAAAAAAAAA" type="unknownType"/>
  <partialErrors clientId="row-7" clientIndex="7" uid="QaBdAAAAAAAAAA">
    <errorValues message="The object is locked." code="215033" level="3"/>
  </partialErrors>
</serviceData>)"));
    ServiceData result = manager.loadServiceData(wire);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, TYPES_PATH);
    EXPECT_EQ(requests[0].body,
              "<getTypeDescriptionsInput><typeNames value=\"Item\"/><typeNames "
              "value=\"ItemRevision\"/></getTypeDescriptionsInput>");
    EXPECT_EQ(requests[1].body,
              "<getTypeDescriptionsInput><typeNames value=\"WorkspaceObject\"/>"
              "</getTypeDescriptionsInput>");

    ModelObject* item = manager.getObject("QaBcAAAAAAAAAA");
    ModelObject* revision = manager.getObject("QaBdAAAAAAAAAA");
    EXPECT_EQ(result.getUpdatedObjs(), std::vector<ModelObject*>{item});
    EXPECT_EQ(result.getCreatedObjs(), std::vector<ModelObject*>{revision});
    ASSERT_EQ(result.getPartialErrors().size(), 1u);
    EXPECT_EQ(result.getPartialErrors()[0].getAssociatedObject(), revision);
    EXPECT_EQ(result.getPartialErrors()[0].getErrorValue(0).message, "The object is locked.");

    EXPECT_EQ(item->getType()->getParent()->getName(), "WorkspaceObject");
    EXPECT_EQ(item->getProperty("item_id")->getStringValue(), "000123");
    EXPECT_EQ(item->getProperty("revision_list")->getModelObjectArrayValue(),
              (std::vector<ModelObject*>{revision, nullptr}));
    EXPECT_EQ(revision->getProperty("items_tag")->getModelObjectValue(), item);
    Property* date = revision->getProperty("creation_date");
    EXPECT_EQ(date->getDateValue(), DateTime(2008, 3, 12, 14, 20, 5));
    EXPECT_EQ(date->getDisplayValue(), "12 March\n2008");
}

TEST_F(XmlLoadingTest, ALoginHandsBackTheUserAndGroupMemberAsStoredObjects) {
    server.push(HttpReply::ok(R"(<loginResponse>
  <user uid="QaUsrAAAAAAAAA" type="Item"/><groupMember uid="QaGrpAAAAAAAAA" type="Item"/>
  <serviceData><plainObjs uid="QaUsrAAAAAAAAA"/></serviceData>
</loginResponse>)"));
    server.push(HttpReply::ok(ITEM_SCHEMA));
    server.push(HttpReply::ok(ROOT_SCHEMA));
    auto* service = Quillomark::Services::Core::SessionService::getService(&connection);
    auto response = service->login("u", "p", "g", "r", "d");
    EXPECT_EQ(response.user, manager.getObject("QaUsrAAAAAAAAA"));
    EXPECT_EQ(response.groupMember, manager.getObject("QaGrpAAAAAAAAA"));
    EXPECT_EQ(response.serviceData.getPlainObjs(), std::vector<ModelObject*>{response.user});

    server.push(HttpReply::ok("<loginResponse/>"));  // without user and group member
    EXPECT_EQ(service->login("u", "p", "g", "r", "d").user, nullptr);
}

}  // namespace
