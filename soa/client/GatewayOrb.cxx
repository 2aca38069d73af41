#include <soa/client/internal/GatewayOrb.hxx>

#include <cstdio>
#include <mutex>

namespace Quillomark::Soa::Client {

namespace {

// The ORB argument vector is one process-wide, writable array handed to
// every ORB_init with an argument count of 1.
char orbName[] = "taoorb";
char* orbArgv[] = {orbName, nullptr};

// Shares are taken and given back under one lock, so that a destroy cannot
// overtake a new holder's ORB_init.
std::mutex orbLock;
long orbShares = 0;
// The ORB that the library initialised itself, while shares of it are left,
// and how many; null while the ORB in use is one that the application made.
// The shares hold references to it, so no later ORB can take its address.
CORBA::ORB_ptr orbMadeHere = nullptr;
long madeHereShares = 0;

}  // namespace

// 2 GiB: room for a 1 GiB reply and more, while staying clear of the top of
// the 32-bit message-size range.
const char* const GatewayOrb::MAX_MESSAGE_SIZE = "2147483648";

namespace {

// Initialises the ORB or joins the one that exists, and counts the share,
// all under the lock. omniORB makes each nil reference on first use under a
// lock that it too makes on first use, unguarded: two threads making their
// first nil references at once can each make one such lock, then hold one
// and release the other, leaving it held for good, or fill omniORB's list
// of nil references together. Every nil reference the library uses is made
// here, under this lock, before any other use; so the ORB_var of a share is
// made from what this returns, never default-made before it.
CORBA::ORB_ptr takeShare() {
    const char* options[][2] = {{"giopMaxMsgSize", GatewayOrb::MAX_MESSAGE_SIZE},
                                {nullptr, nullptr}};
    std::lock_guard<std::mutex> guard(orbLock);
    CORBA::ORB::_nil();
    CORBA::Object::_nil();
    QmCorbaServiceGateway::_nil();
    // An ORB that exists before this ORB_init is the application's (or one
    // the library made earlier and still holds); only one made here is the
    // library's to destroy.
    const bool joining = GatewayOrb::exists();
    int argc = 1;
    CORBA::ORB_ptr orb = CORBA::ORB_init(argc, orbArgv, "", options);
    if (!joining) {
        orbMadeHere = orb;
        madeHereShares = 0;
    } else if (orb != orbMadeHere) {
        // The library's ORB was destroyed by the application, which made
        // this one.
        orbMadeHere = nullptr;
    }
    if (orb == orbMadeHere) ++madeHereShares;
    ++orbShares;
    return orb;
}

}  // namespace

GatewayOrb::GatewayOrb() : orb(takeShare()) {}

GatewayOrb::~GatewayOrb() {
    std::lock_guard<std::mutex> guard(orbLock);
    --orbShares;
    // The last share of the library's own ORB ends it, whether its
    // connection ended with its sender, on a failed connect or on a gateway
    // object that went away: left running with no connection, it would be
    // the ORB that an application making its own is handed.
    if (orb.in() == orbMadeHere && --madeHereShares == 0) {
        orbMadeHere = nullptr;
        try {
            orb->destroy();
        } catch (const CORBA::Exception&) {
            // The application destroyed it already.
        }
    }
    orb = CORBA::ORB::_nil();
}

bool GatewayOrb::exists() {
    // omniORB answers for its interceptors only between ORB_init and destroy.
    try {
        omniORB::getInterceptors();
        return true;
    } catch (const CORBA::INITIALIZE&) {
        return false;
    }
}

long GatewayOrb::shares() {
    std::lock_guard<std::mutex> guard(orbLock);
    return orbShares;
}

std::string describeCorbaException(const CORBA::Exception& e) {
    std::string text = e._rep_id();
    if (const auto* system = CORBA::SystemException::_downcast(&e)) {
        char minor[16];
        std::snprintf(minor, sizeof minor, "0x%lx", static_cast<unsigned long>(system->minor()));
        text += " (minor ";
        text += minor;
        if (const char* name = system->NP_minorString()) {
            text += ' ';
            text += name;
        }
        text += ", completed ";
        switch (system->completed()) {
            case CORBA::COMPLETED_YES: text += "YES"; break;
            case CORBA::COMPLETED_NO: text += "NO"; break;
            default: text += "MAYBE"; break;
        }
        text += ')';
    }
    return text;
}

}  // namespace Quillomark::Soa::Client
