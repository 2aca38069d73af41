#include <soa/client/ChangeListener.hxx>
#include <soa/client/ErrorStack.hxx>
#include <soa/client/Preferences.hxx>
#include <soa/client/ServiceData.hxx>

#include <gtest/gtest.h>

#include <stdexcept>

namespace Quillomark::Testing {

// Builds the client values that only the model manager makes.
class ClientValues {
public:
    static Quillomark::Soa::Client::ErrorStack errorStack(
        const std::vector<Quillomark::Soa::Client::ErrorValue>& values) {
        Quillomark::Soa::Client::ErrorStack stack;
        stack.clientId = "row-1";
        stack.errorValues = values;
        return stack;
    }
    static Quillomark::Soa::Client::Preferences preferences(
        const std::map<std::string, std::vector<std::string>>& map) {
        Quillomark::Soa::Client::Preferences result;
        result.preferences = map;
        return result;
    }
    static void addDeleted(Quillomark::Soa::Client::ServiceData& data, const std::string& uid) {
        data.deletedUids.push_back(uid);
    }
};

}  // namespace Quillomark::Testing

namespace {

using Quillomark::Soa::Client::ErrorStack;
using Quillomark::Soa::Client::ErrorValue;
using Quillomark::Soa::Client::Preferences;
using Quillomark::Soa::Client::ServiceData;
using Quillomark::Testing::ClientValues;

TEST(ClientErrorStack, ReadsItsValuesAndRefusesIndexesOutOfRange) {
    ErrorStack stack = ClientValues::errorStack({{1, "first", 2}, {3, "second", 4}});
    ASSERT_EQ(stack.getErrorValueCount(), 2);
    EXPECT_EQ(stack.getErrorValue(1).message, "second");
    EXPECT_EQ(stack.getErrorValue(0).level, 2);
    EXPECT_THROW(stack.getErrorValue(2), std::out_of_range);
    EXPECT_THROW(stack.getErrorValue(-1), std::out_of_range);

    ErrorStack empty = ClientValues::errorStack({});
    EXPECT_EQ(empty.getErrorValueCount(), 0);
    EXPECT_EQ(empty.getClientIndex(), 0);
    EXPECT_EQ(empty.getAssociatedObject(), nullptr);
    EXPECT_THROW(empty.getErrorValue(0), std::out_of_range);

    ErrorStack copy(stack);
    copy = empty;
    EXPECT_EQ(copy.getErrorValueCount(), 0);
    EXPECT_EQ(stack.getErrorValueCount(), 2);
}

TEST(ClientPreferences, AbsentNamesShareOneEmptyListAndAddNothing) {
    Preferences preferences = ClientValues::preferences({{"colour", {"red", "blue"}}});
    EXPECT_TRUE(preferences.containsPreference("colour"));
    EXPECT_EQ(preferences.getPreference("colour"), (std::vector<std::string>{"red", "blue"}));
    const std::vector<std::string>& missing = preferences.getPreference("size");
    EXPECT_TRUE(missing.empty());
    EXPECT_EQ(&missing, &Preferences().getPreference("other"));
    EXPECT_FALSE(preferences.containsPreference("size"));
    EXPECT_EQ(preferences.getPreferences().size(), 1u);
}

TEST(ClientServiceData, DefaultIsEmptyAndCopiesAreIndependent) {
    ServiceData data;
    EXPECT_TRUE(data.getCreatedObjs().empty());
    EXPECT_TRUE(data.getUpdatedObjs().empty());
    EXPECT_TRUE(data.getPlainObjs().empty());
    EXPECT_TRUE(data.getDeletedUids().empty());
    EXPECT_TRUE(data.getPartialErrors().empty());
    ServiceData copy(data);
    ClientValues::addDeleted(copy, "QaBcAAAAAAAAAA");
    EXPECT_TRUE(data.getDeletedUids().empty());
    EXPECT_EQ(copy.getDeletedUids().size(), 1u);
}

}  // namespace
