#include <soa/client/CanceledOperationException.hxx>
#include <soa/client/DefaultExceptionHandler.hxx>
#include <soa/client/NotLoadedException.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>
#include <soa/schemas/exceptions/InvalidCredentialsException.hxx>
#include <soa/schemas/exceptions/InvalidUserException.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>
#include <soa/schemas/exceptions/ServiceException.hxx>

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace {

namespace Ex = Quillomark::Schemas::Soa::_2006_03::Exceptions;
using Quillomark::Soa::Client::CanceledOperationException;
using Quillomark::Soa::Client::DefaultExceptionHandler;
using Quillomark::Soa::Client::NotLoadedException;
using Quillomark::Soa::Client::RuntimeException;

// Captures std::cout for the lifetime of the object.
class CoutCapture {
public:
    CoutCapture() : old(std::cout.rdbuf(buffer.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(old); }
    std::string text() const { return buffer.str(); }

private:
    std::ostringstream buffer;
    std::streambuf* old;
};

TEST(ClientExceptionsTest, DefaultsAndValues) {
    RuntimeException unknown;
    EXPECT_EQ(unknown.getType(), RuntimeException::UNKNOWN_ERROR);
    EXPECT_EQ(static_cast<int>(unknown.getType()), 6);
    EXPECT_EQ(unknown.getMessage(), "");
    RuntimeException notLoaded(RuntimeException::NOT_LOADED, "gone");
    EXPECT_EQ(static_cast<int>(notLoaded.getType()), 3);
    EXPECT_EQ(notLoaded.getMessage(), "gone");
    EXPECT_EQ(CanceledOperationException().getMessage(), "Operation was canceled.");
    EXPECT_EQ(NotLoadedException().getMessage(),
              "The object has not been loaded in the client data model.");
    EXPECT_EQ(NotLoadedException("x").getMessage(), "x");
}

TEST(ServiceExceptionsTest, NamesAndHierarchy) {
    EXPECT_EQ(Ex::ConnectionException("m").getLocalName(), "ConnectionException");
    EXPECT_EQ(Ex::ProtocolException("m").getLocalName(), "ProtocolException");
    EXPECT_EQ(Ex::InvalidUserException("m").getLocalName(), "InvalidUserException");
    EXPECT_EQ(Ex::ServiceException("m").getLocalName(), "ServiceException");
    EXPECT_EQ(Ex::ServiceException("m").getNamespace(), Ex::EXCEPTIONS_NAMESPACE);

    Ex::ProtocolException protocol("bad reply");
    Ex::SoaException& base = protocol;
    base.setMessage("changed");
    EXPECT_EQ(protocol.getMessage(), "changed");

    // A handler for the internal server error also takes the transport errors;
    // one for SoaException lets the client's own exceptions through.
    try {
        throw Ex::ConnectionException("down");
    } catch (Ex::InternalServerException& e) {
        EXPECT_EQ(e.getMessage(), "down");
    }
    EXPECT_THROW(
        {
            try {
                throw RuntimeException(RuntimeException::GENERAL_ERROR, "x");
            } catch (Ex::SoaException&) {
                FAIL() << "caught by SoaException";
            }
        },
        RuntimeException);
}

TEST(DefaultExceptionHandlerTest, InternalServerErrorIsReportedAndEndsTheRequest) {
    DefaultExceptionHandler handler;
    CoutCapture out;
    Ex::ConnectionException e("Failed to connect to the server: http://h");
    try {
        handler.handleException(e);
        FAIL() << "returned";
    } catch (const RuntimeException& r) {
        EXPECT_EQ(r.getType(), RuntimeException::GENERAL_ERROR);
        EXPECT_EQ(r.getMessage(), "Failed to connect to the server: http://h");
    }
    EXPECT_EQ(out.text(),
              "The server returned and internal server error.\n"
              "Failed to connect to the server: http://h\n"
              "The application will terminate.");
}

TEST(DefaultExceptionHandlerTest, CanceledAuthenticationIsReportedAndEndsTheRequest) {
    DefaultExceptionHandler handler;
    CoutCapture out;
    CanceledOperationException e;
    try {
        handler.handleException(e);
        FAIL() << "returned";
    } catch (const RuntimeException& r) {
        EXPECT_EQ(r.getType(), RuntimeException::GENERAL_ERROR);
        EXPECT_EQ(r.getMessage(), "Operation was canceled.");
    }
    EXPECT_EQ(out.text(),
              "It appears that the client cancelled authentication.\n"
              "Operation was canceled.\n"
              "Unclear how to proceed.");
}

}  // namespace
