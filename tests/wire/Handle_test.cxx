#include <soa/common/Handle.hxx>

#include <gtest/gtest.h>

namespace {

using Quillomark::Soa::Common::Xml::BaseObject;
using Quillomark::Soa::Common::Xml::Handle;
using Quillomark::Soa::Common::Xml::TryingToCreateNullHandle;

int liveObjects = 0;

class CountedImpl : public BaseObject {
public:
    CountedImpl() { ++liveObjects; }
    CountedImpl(const CountedImpl& other) : BaseObject(other), value(other.value) { ++liveObjects; }
    ~CountedImpl() override { --liveObjects; }
    CountedImpl* reallyClone() const override { return new CountedImpl(*this); }
    int value = 0;
};

class Value : public Handle<CountedImpl> {
public:
    Value() : Handle(new CountedImpl) {}
    explicit Value(CountedImpl* object) : Handle(object) {}
    int refs() const { return getHandleObject().askRefCount(); }
    CountedImpl& object() const { return getHandleObject(); }
};

// An object that holds the only reference to another one.
class Holder : public BaseObject {
public:
    Holder* reallyClone() const override { return new Holder(*this); }
    Value held;
};

class HolderValue : public Handle<Holder> {
public:
    HolderValue() : Handle(new Holder) {}
    Holder& object() const { return getHandleObject(); }
};

class HandleTest : public ::testing::Test {
protected:
    void SetUp() override { liveObjects = 0; }
    void TearDown() override { EXPECT_EQ(liveObjects, 0); }
};

TEST_F(HandleTest, CopiesShareAndTheLastReleaseDeletesOnce) {
    {
        Value first;
        EXPECT_EQ(first.refs(), 1);
        {
            Value copy(first);
            EXPECT_EQ(first.refs(), 2);
            copy.object().value = 7;
            EXPECT_EQ(first.object().value, 7);
            std::vector<Value> many(3, first);
            EXPECT_EQ(first.refs(), 5);
        }
        EXPECT_EQ(first.refs(), 1);
        EXPECT_EQ(liveObjects, 1);
    }
    EXPECT_EQ(liveObjects, 0);
}

TEST_F(HandleTest, AssignmentMovesExactlyOneReference) {
    Value a, b;
    Value sharesA(a);
    const Value& itself = a;
    a = itself;
    EXPECT_EQ(a.refs(), 2);
    sharesA = a;  // already the same object
    EXPECT_EQ(a.refs(), 2);

    sharesA = b;
    EXPECT_EQ(a.refs(), 1);
    EXPECT_EQ(b.refs(), 2);
    a = b;  // a's object had its last reference here
    EXPECT_EQ(liveObjects, 1);
    EXPECT_EQ(b.refs(), 3);
}

TEST_F(HandleTest, AssigningFromInsideTheObjectBeingReleasedIsSafe) {
    // The holder keeps the only reference to its value's object; assigning
    // that value to the handle of the holder must not use it after release.
    HolderValue outer;
    Value inner = outer.object().held;
    HolderValue other;
    outer = other;  // releases the holder while `inner` still shares its value
    EXPECT_EQ(inner.refs(), 1);

    HolderValue lonely;
    lonely.object().held.object().value = 5;
    Value fromLonely(lonely.object().held);
    Value target;
    target = fromLonely;
    EXPECT_EQ(target.object().value, 5);
}

TEST_F(HandleTest, NullObjectIsRefusedAndACloneHasItsOwnCount) {
    EXPECT_THROW(Value(nullptr), TryingToCreateNullHandle);

    Value original;
    Value second(original);
    original.object().value = 3;
    CountedImpl* clone = original.object().reallyClone();
    EXPECT_EQ(clone->askRefCount(), 0);
    EXPECT_EQ(clone->value, 3);
    Value bound(clone);
    EXPECT_EQ(bound.refs(), 1);
    EXPECT_EQ(original.refs(), 2);
}

}  // namespace
