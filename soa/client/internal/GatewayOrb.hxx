#pragma once

#include <soa/client/idl/QmCorbaServiceGateway.hh>

#include <string>

namespace Quillomark::Soa::Client {

// A share of the process's one ORB. Every IIOP sender that is connected or
// connecting, and anything else in the process that calls the gateway
// through this library, holds one. Giving a share back only releases the
// reference: the ORB, also one that the library initialised itself, lives
// to the end of the process unless the application destroys it.
class GatewayOrb {
public:
    // Initialises the ORB, or joins the one that exists. Throws what
    // CORBA::ORB_init throws, and what refuseInheritedOrb throws, before
    // anything is touched; std::bad_alloc, for good, when the nil
    // references could not be made.
    GatewayOrb();
    ~GatewayOrb();
    GatewayOrb(const GatewayOrb&) = delete;
    GatewayOrb& operator=(const GatewayOrb&) = delete;

    CORBA::ORB_ptr get() const { return orb.in(); }
    CORBA::ORB_ptr operator->() const { return orb.in(); }

    // Whether this process was forked after the library first took a share
    // of an ORB (made or joined) in a process it comes from: the ORB is
    // there without its threads, its connections shared with that process,
    // and nothing of it may be used. Takes no lock.
    static bool inheritedByAFork();
    // Throws RuntimeException (GENERAL_ERROR) that says so when it is.
    static void refuseInheritedOrb();

    // How many shares exist at the moment.
    static long shares();
    // Whether the process has an ORB at the moment, made by anyone.
    static bool exists();

    // The largest GIOP message the ORB accepts (as an ORB option value): the
    // ORB's own default would refuse replies of more than 2 MiB, and replies
    // of a gigabyte and more must be carried.
    static const char* const MAX_MESSAGE_SIZE;

private:
    // Made from the share taken under the ORB lock, never default-made
    // before the library's nil references are.
    CORBA::ORB_var orb;
};

// IIOP work under way: a connect, from before it makes or joins the ORB
// until what it made is kept or released; a call through a gateway
// reference, until its reply is read or the call failed; the release of a
// connection's references. omniORB destroys what such work uses (its list
// of URI handlers, what ORB_init reads, its connections) among its statics
// at exit. The exit waits, before they go, for the work that other threads
// have under way, 5 s at most by the steady clock: making a gateway
// reference asks the server whether the object is a gateway, and a call
// waits for its reply, which a silent server leaves unanswered. Work still
// under way then has the process end with its exit status before they go.
// From the wait on none begins: made once the process has begun to exit,
// this is refused (false), having counted nothing.
class IiopUnderWay {
public:
    IiopUnderWay();
    ~IiopUnderWay();
    IiopUnderWay(const IiopUnderWay&) = delete;
    IiopUnderWay& operator=(const IiopUnderWay&) = delete;

    explicit operator bool() const { return admitted; }

private:
    bool admitted;
};

// A gateway reference made from its address, in IIOP work under way.
// Throws ConnectionException with `failure` and the ORB's reason.
QmCorbaServiceGateway_ptr gatewayReference(CORBA::ORB_ptr orb, const std::string& address,
                                           const std::string& failure);

// Describes a CORBA exception: its repository id and, for a system
// exception, its minor code with the code's name and whether the call
// completed, e.g. "IDL:omg.org/CORBA/TRANSIENT:1.0 (minor 0x41540002
// TRANSIENT_ConnectFailed, completed NO)".
std::string describeCorbaException(const CORBA::Exception& e);

}  // namespace Quillomark::Soa::Client
