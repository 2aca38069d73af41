#include <soa/client/idl/QmCorbaServiceGateway.hh>

#include <gtest/gtest.h>

#include <string>

namespace {

std::string idOf(CORBA::TypeCode_ptr tc) { return CORBA::String_var(tc->id()).in(); }

TEST(GatewayTypesTest, AliasesNestTheWholeChainDownToTheOctetSequence) {
    // qm_uid_t -> QmString_t -> QmByteSeq_t -> sequence<octet>
    CORBA::TypeCode_var tc = CORBA::TypeCode::_duplicate(_tc_qm_uid_t);
    for (const char* id : {"IDL:qm_uid_t:1.0", "IDL:QmString_t:1.0", "IDL:QmByteSeq_t:1.0"}) {
        ASSERT_EQ(tc->kind(), CORBA::tk_alias);
        EXPECT_EQ(idOf(tc), id);
        tc = tc->content_type();
    }
    ASSERT_EQ(tc->kind(), CORBA::tk_sequence);
    EXPECT_EQ(tc->length(), 0u);
    EXPECT_EQ(CORBA::TypeCode_var(tc->content_type())->kind(), CORBA::tk_octet);

    // A sequence type of its own, not an alias of QmByteSeq_t.
    CORBA::TypeCode_var buffer = _tc_QmBufferSeq_t->content_type();
    EXPECT_EQ(buffer->kind(), CORBA::tk_sequence);
    EXPECT_EQ(idOf(_tc_QmMimeMediaTypeParam_t), "IDL:QmMimeMediaTypeParam_t:1.0");
    EXPECT_EQ(_tc_QmCorbaServiceGateway->kind(), CORBA::tk_objref);
    EXPECT_EQ(idOf(_tc_QmCorbaServiceGateway), "IDL:QmCorbaServiceGateway:1.0");

    // Struct members are written as QmString_t, not as the MIME aliases.
    CORBA::TypeCode_var mime = _tc_QmMimeType_t->content_type();
    ASSERT_EQ(mime->kind(), CORBA::tk_struct);
    ASSERT_EQ(mime->member_count(), 3u);
    EXPECT_STREQ(mime->member_name(2), "parameters");
    EXPECT_EQ(idOf(CORBA::TypeCode_var(mime->member_type(2))), "IDL:QmString_t:1.0");
}

TEST(GatewayTypesTest, UnionHasOneTrueCaseAndRoundTripsThroughAnAny) {
    CORBA::TypeCode_var tc = _tc_QmStringValue_t->content_type();
    ASSERT_EQ(tc->kind(), CORBA::tk_union);
    EXPECT_EQ(idOf(tc), "IDL:QmStringValue_u:1.0");
    EXPECT_EQ(CORBA::TypeCode_var(tc->discriminator_type())->kind(), CORBA::tk_boolean);
    EXPECT_EQ(tc->default_index(), -1);
    ASSERT_EQ(tc->member_count(), 1u);
    EXPECT_STREQ(tc->member_name(0), "string_value");
    CORBA::Boolean label = false;
    ASSERT_TRUE(CORBA::Any_var(tc->member_label(0)) >>= CORBA::Any::to_boolean(label));
    EXPECT_TRUE(label);

    QmStringValue_u empty;
    EXPECT_FALSE(empty._d());
    QmString_t text(3);
    text.length(3);
    text[0] = 'a';
    text[1] = 0;
    text[2] = 'b';
    QmStringValue_u value;
    value.string_value(text);

    CORBA::Any any;
    any <<= value;
    const QmStringValue_u* out = nullptr;
    ASSERT_TRUE(any >>= out);
    ASSERT_TRUE(out->_d());
    ASSERT_EQ(out->string_value().length(), 3u);
    EXPECT_EQ(out->string_value()[1], 0);
    EXPECT_EQ(out->string_value()[2], 'b');

    any <<= empty;
    ASSERT_TRUE(any >>= out);
    EXPECT_FALSE(out->_d());
    const QmByteSeq_t* wrongType = nullptr;
    EXPECT_FALSE(any >>= wrongType);
}

}  // namespace
