// A gateway server for the IIOP tests. It runs in a process of its own (the
// ORB is one per process, and the client's ORB lives in the test process),
// listens on 127.0.0.1 at the port given as its first argument and serves
// the gateway under the object key "QmGateway" and, under "NotAGateway", an
// object that denies being a gateway. A second argument, when given, is the
// ORB's native char code set (such as "UTF-8"), in which the names of a call
// arrive. It writes "ready" on standard output once it accepts calls, and
// exits with 2 when it cannot listen.
//
// invokeMethod, by operation name:
//   "echo"       the request bytes, unchanged
//   "calls"      how many calls of invokeMethod came before this one
//   "sized"      as many bytes as the request's decimal number asks for
//   "raise"      raises NO_IMPLEMENT (minor 42, completed YES)
//   "deactivate" answers "" and then removes the gateway object
//   otherwise    "<service>|<operation>|" followed by the request bytes

#include <soa/client/idl/QmCorbaServiceGateway.hh>
#include <soa/client/internal/GatewayOrb.hxx>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char GATEWAY_KEY[] = "QmGateway";
const char NOT_A_GATEWAY_KEY[] = "NotAGateway";

QmByteSeq_t* makeReply(const std::string& bytes) {
    const auto length = static_cast<CORBA::ULong>(bytes.size());
    auto* reply = new QmByteSeq_t(length);
    reply->length(length);
    if (length != 0) {
        std::memcpy(reply->get_buffer(), bytes.data(), length);
    }
    return reply;
}

class Gateway : public POA_QmCorbaServiceGateway {
public:
    Gateway(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa)
        : orb(CORBA::ORB::_duplicate(orb)), poa(PortableServer::POA::_duplicate(poa)) {}

    QmByteSeq_t* invokeMethod(const char* service, const char* operation,
                              const QmByteSeq_t& request) override {
        const std::string body(reinterpret_cast<const char*>(request.get_buffer()),
                               request.length());
        const std::string op = operation;
        const unsigned long before = calls++;
        if (op == "calls") {
            return makeReply(std::to_string(before));
        }
        if (op == "echo") {
            return makeReply(body);
        }
        if (op == "sized") {
            std::string reply(std::strtoul(body.c_str(), nullptr, 10), '\0');
            for (std::size_t i = 0; i < reply.size(); ++i) {
                reply[i] = static_cast<char>(i % 251);
            }
            return makeReply(reply);
        }
        if (op == "raise") {
            throw CORBA::NO_IMPLEMENT(42, CORBA::COMPLETED_YES);
        }
        if (op == "deactivate") {
            PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId(GATEWAY_KEY);
            poa->deactivate_object(id.in());
            return makeReply("");
        }
        return makeReply(std::string(service) + "|" + op + "|" + body);
    }
    char* getPDIServerIOR() override { return CORBA::string_dup(""); }
    char* getEnvironmentVariable(const char*) override { return CORBA::string_dup(""); }
    void setPoolManagerIOR(const char*) override {}
    void shutdown() override { orb->shutdown(false); }

private:
    CORBA::ORB_var orb;
    PortableServer::POA_var poa;
    std::atomic<unsigned long> calls{0};
};

// Exists, but is not a gateway: a checked narrow to the gateway yields nil.
class NotAGateway : public Gateway {
public:
    using Gateway::Gateway;
    CORBA::Boolean _is_a(const char* id) override {
        return std::strcmp(id, QmCorbaServiceGateway::_PD_repoId) != 0 && Gateway::_is_a(id);
    }
};

void activate(PortableServer::POA_ptr poa, PortableServer::Servant servant, const char* key) {
    PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId(key);
    poa->activate_object_with_id(id.in(), servant);
    servant->_remove_ref();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s <port> [<native char code set>]\n", argv[0]);
        return 1;
    }
    const std::string endpoint = std::string("giop:tcp:127.0.0.1:") + argv[1];
    const char* options[][2] = {
        {"endPoint", endpoint.c_str()},
        {"giopMaxMsgSize", Quillomark::Soa::Client::GatewayOrb::MAX_MESSAGE_SIZE},
        {argc == 3 ? "nativeCharCodeSet" : nullptr, argc == 3 ? argv[2] : nullptr},
        {nullptr, nullptr}};
    try {
        int orbArgc = 1;
        CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, argv, "", options);
        // The persistent-key POA serves objects under plain keys, so that
        // "corbaloc:iiop:127.0.0.1:<port>/QmGateway" names the gateway.
        CORBA::Object_var object = orb->resolve_initial_references("omniINSPOA");
        PortableServer::POA_var poa = PortableServer::POA::_narrow(object.in());
        activate(poa.in(), new Gateway(orb.in(), poa.in()), GATEWAY_KEY);
        activate(poa.in(), new NotAGateway(orb.in(), poa.in()), NOT_A_GATEWAY_KEY);
        PortableServer::POAManager_var manager = poa->the_POAManager();
        manager->activate();
        std::printf("ready\n");
        std::fflush(stdout);
        orb->run();
        orb->destroy();
    } catch (const CORBA::Exception& e) {
        std::fprintf(stderr, "gateway test server: %s\n",
                     Quillomark::Soa::Client::describeCorbaException(e).c_str());
        return 2;
    }
    return 0;
}
