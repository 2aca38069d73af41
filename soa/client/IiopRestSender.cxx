#include <soa/client/IiopRestSender.hxx>

#include <platform/os/internal/Forks.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/internal/GatewayOrb.hxx>
#include <soa/client/internal/RequestName.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>

#include <cstring>
#include <limits>

namespace Quillomark::Soa::Client {

namespace Exceptions = Quillomark::Schemas::Soa::_2006_03::Exceptions;

struct IiopRestSender::Connection {
    // Members go in reverse: the gateway reference before the ORB share.
    GatewayOrb orb;
    QmCorbaServiceGateway_var gateway;
};

namespace {

const char CORBALOC[] = "corbaloc:";

// The request travels as it is: the text is already UTF-8. The sequence
// only looks at the caller's bytes for the length of the call. A request
// longer than a sequence can say is refused as a failed call: cut to the
// length that fits, it would send a different request.
QmByteSeq_t toByteSeq(const std::string& request) {
    if (request.size() > std::numeric_limits<CORBA::ULong>::max()) {
        throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
    }
    const auto length = static_cast<CORBA::ULong>(request.size());
    auto* bytes = reinterpret_cast<CORBA::Octet*>(const_cast<char*>(request.data()));
    return QmByteSeq_t(length, length, bytes, false);
}

// Every byte of the reply, embedded zero bytes included, replaces what
// `response` held.
void fromByteSeq(const QmByteSeq_t& reply, std::string& response) {
    if (reply.length() == 0) {
        response.clear();
    } else {
        response.assign(reinterpret_cast<const char*>(reply.get_buffer()), reply.length());
    }
}

// After these the reference can never work again: the ORB under it was
// destroyed or the server no longer knows the object.
bool referenceIsDead(const CORBA::Exception& e) {
    return CORBA::BAD_INV_ORDER::_downcast(&e) != nullptr ||
           CORBA::OBJECT_NOT_EXIST::_downcast(&e) != nullptr;
}

}  // namespace

IiopRestSender::IiopRestSender(SessionManager* sessionManager)
    : RestSender(sessionManager), address(sessionManager->getHostPath()) {
    if (address.compare(0, std::strlen(CORBALOC), CORBALOC) != 0) {
        address.insert(0, CORBALOC);
    }
}

// The connection gives its share of the ORB back; the ORB lives on. A
// forked child leaves the connection it inherited alone: releasing its
// references takes locks that a thread of the parent may have held at the
// fork. So does a process that has begun to exit: omniORB's statics, which
// the release uses, may be going.
IiopRestSender::~IiopRestSender() {
    if (!connection) return;
    const IiopUnderWay underWay;
    if (!underWay || GatewayOrb::inheritedByAFork()) {
        Quillomark::Platform::Os::leaveAlone(connection.release());
        return;
    }
    connection.reset();
}

void IiopRestSender::connect(const std::string& address) {
    const std::string failure = "Could not connect to \"" + address + "\" via IIOP\n";
    // Ends after what a failed connect made is released.
    const IiopUnderWay underWay;
    if (!underWay) throw Exceptions::ConnectionException(failure + "the process is exiting");
    std::unique_ptr<Connection> fresh;
    try {
        fresh = std::make_unique<Connection>();
    } catch (const CORBA::Exception& e) {
        throw Exceptions::ConnectionException(failure + describeCorbaException(e));
    }
    fresh->gateway = gatewayReference(fresh->orb.get(), address, failure);
    if (CORBA::is_nil(fresh->gateway.in())) {
        // A nil object, or one that is not a gateway: calling through it
        // could only crash, so this is a failed connect.
        throw Exceptions::ConnectionException(failure +
                                              "the object is not a QmCorbaServiceGateway");
    }
    connection = std::move(fresh);
}

void IiopRestSender::send(const std::string& service, const std::string& operation,
                          const std::string& request, std::string& response) {
    checkRequestName(service);
    checkRequestName(operation);
    // Before anything of the ORB is touched, the connection too: its
    // replies would come on a socket that the parent shares.
    GatewayOrb::refuseInheritedOrb();
    if (!connection) {
        connect(address);
    }
    const IiopUnderWay underWay;
    if (!underWay) {
        throw Exceptions::ProtocolException("Error making call via IIOP.\nthe process is exiting");
    }
    try {
        const QmByteSeq_t requestBytes = toByteSeq(request);
        QmByteSeq_t_var reply =
            connection->gateway->invokeMethod(service.c_str(), operation.c_str(), requestBytes);
        fromByteSeq(reply.in(), response);
    } catch (const CORBA::Exception& e) {
        std::string message = "Error making call via IIOP.\n" + describeCorbaException(e);
        if (referenceIsDead(e)) {
            // Let the next send connect anew instead of failing for good.
            connection.reset();
        }
        throw Exceptions::ProtocolException(message);
    }
}

}  // namespace Quillomark::Soa::Client
